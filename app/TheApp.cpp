#include "app/TheApp.h"

#include <commctrl.h>

#include <cwchar>

#include "app/ExitCodes.h"
#include "app/MessageIds.h"
#include "app/OneSetup.h"
#include "app/Platform.h"
#include "app/RunLog.h"
#include "app/SilentInstall.h"
#include "app/TitleFont.h"
#include "app/Uninstall.h"
#include "app/Usage.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"
#include "install/InstallPlugins.h"
#include "wizard/DestinationPage.h"
#include "wizard/WizardSheet.h"

// The sheet first, then the application: at exit the application goes first, then the
// sheet with its title font.
CWizPropertySheet TheSheet;
TheApp theApp;

namespace {
const wchar_t kRefusal[] = L"Sorry, this installer requires Windows ARM version.\nThe installer will exit.";
}

BOOL TheApp::InitInstance() {
    HardenDllSearchPath();
    const wchar_t* commandLine = GetCommandLineW();
    const bool silent = wcsstr(commandLine, L"/silent") != nullptr;
    // Where nobody sees a window (session 0, a station of a service), a box would wait for a
    // click that never comes: what it would say goes to the log, and the code stands.
    const bool interactive = IsInteractiveStation();
    const bool toLog = silent || !interactive;
    // Only read here, so that the refusal goes to the log asked for; nothing is opened yet.
    if (toLog) UseLogSwitch(commandLine);
    // The gate before everything else: on another host nothing happens but the refusal.
    if (!IsArm64Host()) {
        // Before the "/silent" test: the one window a silent run may show.
        if (interactive)
            fw::ShowMessageBox(GetActiveWindow(), kRefusal, L"Zorvalind ARM64 PlugIns Installer", MB_OK | MB_ICONERROR);
        else
            WriteLogEntry(kRefusal);
        SetExitCode(kExitRefusedHost);
        return FALSE;
    }
    // Found and resolved before the first entry opens a "/log=" file: from then on the
    // process refuses links that non-administrators made.
    SilentFolder folder;
    if (silent) ResolveSilentFolder(commandLine, folder);
    LogRunStart(commandLine, silent ? &folder : nullptr);
    const bool usage = wcsstr(commandLine, L"/?") != nullptr;
    const int code = Run(commandLine, silent, interactive, folder);
    SetExitCode(code);
    LogRunEnd(code, wcsstr(commandLine, L"/uninstall") != nullptr, code == kExitInstalled && !usage);
    return FALSE;
}

int TheApp::Run(const wchar_t* commandLine, bool silent, bool interactive, const SilentFolder& folder) {
    if (wcsstr(commandLine, L"/?") != nullptr) {
        // Asked for, so shown in silent mode too; nothing else happens.
        if (interactive)
            ShowUsage();
        else
            WriteLogEntry(fw::CString(IDS_USAGE));
        return 0;
    }
    if (!silent && !interactive) {
        WriteLogEntry(kUnseenWizard);
        return kExitWizardLeft;
    }
    SetupLock lock;  // held until this returns, so for the whole run
    if (!lock.Acquire()) {
        ReportAnotherSetup(silent || !interactive);
        return kExitInstallInProgress;
    }

    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);

    if (silent) SilentMode = 1;
    if (wcsstr(commandLine, L"/uninstall") != nullptr) return RunUninstall(silent, folder);
    if (SilentMode != 0) return RunSilentInstall(folder);
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

    if (!TheSheet.Installed) return kExitWizardLeft;
    if (TheSheet.Outcome == InstallOutcome::Busy) return kExitInstallInProgress;
    return TheSheet.Outcome == InstallOutcome::Installed ? kExitInstalled : kExitInstallFailed;
}
