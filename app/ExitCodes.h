// How a run ends, for deployment tools (the numbers administrators know from common installers).
#pragma once

enum ExitCode : int {
    kExitInstalled = 0,       // the pack was installed completely, or is gone after "/uninstall"
    kExitRefusedHost = 1,     // not Windows on ARM64
    kExitWizardLeft = 2,      // the wizard was left without installing, or the removal declined
    kExitNoFolder = 3,        // silent or "/uninstall": no folder from "/folder=", the registry or "/app"
    kExitInstallFailed = 4,   // the installation or the removal failed
    kExitViewerRunning = 7,   // silent or "/uninstall": the viewer is running
    kExitInstallInProgress = 1618,  // another setup is installing: retry later (the code Windows Installer uses)
};
