#include "app/TheApp.h"

#include <commctrl.h>

#include <cwchar>

#include "app/ExitCodes.h"
#include "app/OneSetup.h"
#include "app/Platform.h"
#include "app/SilentInstall.h"
#include "app/TitleFont.h"
#include "app/Uninstall.h"
#include "app/Usage.h"
#include "framework/MessageBox.h"
#include "install/InstallPlugins.h"
#include "wizard/DestinationPage.h"
#include "wizard/WizardSheet.h"

// The sheet first, then the application: at exit the application goes first, then the
// sheet with its title font.
CWizPropertySheet TheSheet;
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
    const wchar_t* commandLine = GetCommandLineW();
    if (wcsstr(commandLine, L"/?") != nullptr) {
        // Asked for, so shown in silent mode too; nothing else happens.
        ShowUsage();
        SetExitCode(0);
        return FALSE;
    }
    const bool silent = wcsstr(commandLine, L"/silent") != nullptr;
    // Before the lock: its refusal is an entry of this run too.
    if (silent) UseLogSwitch(commandLine);
    SetupLock lock;  // held until the hook returns, so for the whole run
    if (!lock.Acquire()) {
        ReportAnotherSetup(silent);
        SetExitCode(kExitInstallInProgress);
        return FALSE;
    }

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);

    if (silent) SilentMode = 1;
    if (wcsstr(commandLine, L"/uninstall") != nullptr) {
        SetExitCode(RunUninstall(silent));
        return FALSE;
    }
    if (SilentMode != 0) {
        SetExitCode(RunSilentInstall());
        return FALSE;
    }
    BuildTitleLogFont(TitleLogFont, ScreenPixelsPerInch(), IsWindowsXPOrLater());
    if (HFONT font = CreateFontIndirectW(&TitleLogFont)) TheSheet.TitleFont.Attach(font);

    CWizPropertyPage page(101);
    page.FirstActivation = 1;
    page.Navigable = 1;
    page.OwnerSheet = nullptr;
    TheSheet.AddPage(&page);
    page.OwnerSheet = &TheSheet;
    SetMainWindow(&TheSheet);
    TheSheet.DoModal();

    if (!TheSheet.Installed)
        SetExitCode(kExitWizardLeft);
    else
        SetExitCode(TheSheet.Outcome == InstallOutcome::Installed ? kExitInstalled : kExitInstallFailed);
    return FALSE;
}
