// How a run ends, for deployment tools (the numbers administrators know from common installers).
#pragma once

enum ExitCode : int {
    kExitInstalled = 0,       // the pack was installed completely
    kExitRefusedHost = 1,     // not Windows on ARM64
    kExitWizardLeft = 2,      // the wizard was left without installing
    kExitNoFolder = 3,        // silent: no folder from "/folder=", the registry or "/app"
    kExitInstallFailed = 4,   // the installation failed
    kExitViewerRunning = 7,   // silent: the viewer is running
    kExitInstallInProgress = 1618,  // another setup is installing: retry later (the code Windows Installer uses)
};
