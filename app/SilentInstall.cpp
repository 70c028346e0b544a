#include "app/SilentInstall.h"

#include <windows.h>

#include <cwchar>

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "app/InstallFolderRegistry.h"
#include "app/MessageIds.h"
#include "app/ViewerWindow.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"
#include "install/InstallPlugins.h"

namespace {
constexpr int kMessageChars = 260;
}

int RunSilentInstall() noexcept {
    wchar_t folder[kCommandLineChars] = {};
    wchar_t commandCopy[kCommandLineChars];
    wchar_t caption[260];
    wchar_t message[kMessageChars];
    wcscpy(caption, L"Zorvalind PlugIns ARM 64-bit Setup");
    CopyCommandLine(GetCommandLineW(), commandCopy);

    if (ReadFolderSwitch(commandCopy, folder)) {
        TrimQuotedPath(folder);
    } else if (FindInstallFolderInRegistry(folder) == 0) {
        fw::LoadStringInto(IDS_NO_FOLDER_SILENT, message, kMessageChars);
        WriteLogEntry(message);
    }
    if (wcsstr(commandCopy, L"/app") != nullptr) GetDefaultInstallFolder(folder);

    if (folder[0] == L'\0') {
        wcscpy(message, L"No install folder!");
        WriteLogEntry(message);
        return kExitNoFolder;
    }
    if (IsViewerRunning()) {
        fw::LoadStringInto(IDS_VIEWER_RUNNING, message, kMessageChars);
        WriteLogEntry(message);
        return kExitViewerRunning;
    }
    return InstallPlugins(folder, caption) == InstallOutcome::Installed ? kExitInstalled : kExitInstallFailed;
}
