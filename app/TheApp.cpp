#include "app/TheApp.h"

#include <commctrl.h>

#include <cwchar>

#include "app/ExitCodes.h"
#include "app/Platform.h"
#include "app/SilentInstall.h"
#include "framework/MessageBox.h"
#include "install/InstallPlugins.h"

TheApp theApp;

BOOL TheApp::InitInstance() {
    HardenDllSearchPath();
    if (!IsArm64Host()) {
        // Before the "/silent" test: the one window a silent run may show.
        fw::ShowMessageBox(GetActiveWindow(),
                           L"Sorry, this installer requires Windows ARM version.\nThe installer will exit.",
                           L"Zorvalind ARM64 PlugIns Installer", MB_OK | MB_ICONERROR);
        SetExitCode(kExitRefusedHost);
        return FALSE;
    }
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);

    if (wcsstr(GetCommandLineW(), L"/silent") != nullptr) SilentMode = 1;
    if (SilentMode != 0) {
        SetExitCode(RunSilentInstall());
        return FALSE;
    }
    // Interactive installs are not part of this build yet.
    SetExitCode(kExitWizardLeft);
    return FALSE;
}
