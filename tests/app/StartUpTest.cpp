// The start-up hook on this x86-64 host, where the platform gate must refuse.
#include <gtest/gtest.h>

#include "app/ExitCodes.h"
#include "app/TheApp.h"
#include "install/InstallPlugins.h"
#include "support/MessageBoxes.h"

extern TheApp theApp;

namespace {

TEST(StartUp, RefusesAnotherHostWithAnErrorBoxBeforeAnythingElse) {
    CapturedBoxes boxes;
    EXPECT_FALSE(theApp.InitInstance());
    EXPECT_EQ(boxes.Shown(),
              (std::vector<ShownBox>{{L"Sorry, this installer requires Windows ARM version.\nThe installer will exit.",
                                      L"Zorvalind ARM64 PlugIns Installer", MB_OK | MB_ICONERROR}}));
    EXPECT_EQ(theApp.ExitCode(), kExitRefusedHost);
    EXPECT_EQ(SilentMode, 0);
}

} // namespace
