// The start-up hook on this x86-64 host, where the platform gate must refuse.
#include <gtest/gtest.h>

#include "app/ExitCodes.h"
#include "app/Platform.h"
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

// Whether anybody can see the windows, from the session and the station's flags; a query that
// failed is null. A box where nobody sees it waits for ever; a run that counts as unseen where
// a person sits refuses them the wizard.
TEST(StartUp, WhoSeesTheWindowsFollowsSessionAndStation) {
    const DWORD session0 = 0, session1 = 1, session2 = 2, visible = WSF_VISIBLE, hidden = 0;
    struct Case {
        const char* what;
        const DWORD* session;
        const DWORD* flags;
        bool seen;
    };
    const Case cases[] = {
        {"a user's visible station", &session1, &visible, true},
        {"a user's station without WSF_VISIBLE", &session2, &hidden, false},
        {"session 0, whatever its station says", &session0, &visible, false},
        {"session 0, station not asked", &session0, nullptr, false},
        {"a user's session, the station query failed", &session1, nullptr, true},
        {"session unknown, visible station", nullptr, &visible, true},
        {"session unknown, hidden station", nullptr, &hidden, false},
        {"nothing known", nullptr, nullptr, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(IsSeenStation(c.session, c.flags), c.seen);
    }
}

} // namespace
