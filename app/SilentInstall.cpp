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

    switch (ReadFolderSwitch(commandCopy, folder)) {
    case PathSwitch::Given:
        TrimQuotedPath(folder);
        break;
    case PathSwitch::TooLong:  // left empty: no usable folder, unless "/app" gives one
        break;
    case PathSwitch::Absent:
        if (FindInstallFolderInRegistry(folder) == 0) {
            fw::LoadStringInto(IDS_NO_FOLDER_SILENT, message, kMessageChars);
            WriteLogEntry(message);
        }
        break;
    }
    if (wcsstr(commandCopy, L"/app") != nullptr) GetDefaultInstallFolder(folder);

    if (folder[0] == L'\0' || !IsAbsoluteFolder(folder)) {
        wcscpy(message, L"No install folder!");
        WriteLogEntry(message);
        return kExitNoFolder;
    }
    if (IsViewerRunning()) {
        fw::LoadStringInto(IDS_VIEWER_RUNNING, message, kMessageChars);
        WriteLogEntry(message);
        return kExitViewerRunning;
    }
    if (InstallPlugins(folder, caption) != InstallOutcome::Installed) return kExitInstallFailed;
    // A log that was asked for tells the success too.
    if (wcsstr(commandCopy, L"/log=") != nullptr) {
        fw::LoadStringInto(IDS_INSTALLED, message, kMessageChars);
        WriteLogEntry(message);
    }
    return kExitInstalled;
}

void UseLogSwitch(const wchar_t* commandLine) noexcept {
    wchar_t commandCopy[kCommandLineChars];
    CopyCommandLine(commandLine, commandCopy);
    wchar_t value[kCommandLineChars] = {};
    const PathSwitch found = ReadPathSwitch(commandCopy, L"/log=", value);
    if (found == PathSwitch::Absent) return;
    TrimQuotedPath(value);
    wchar_t full[kInstallLogPathChars] = {};
    DWORD length = 0;
    if (value[0] != L'\0') length = GetFullPathNameW(value, kInstallLogPathChars, full, nullptr);
    SetInstallLogPath(length > 0 && length < kInstallLogPathChars ? full : L"");
}
