#include "app/SilentInstall.h"

#include <windows.h>

#include <cwchar>

#include "app/ExitCodes.h"
#include "app/InstallFolderRegistry.h"
#include "app/MessageIds.h"
#include "app/ViewerWindow.h"
#include "framework/Strings.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"
#include "install/InstallPlugins.h"

namespace {
constexpr int kMessageChars = 260;
}

void ResolveSilentFolder(const wchar_t* commandLine, SilentFolder& folder) noexcept {
    wchar_t commandCopy[kCommandLineChars];
    const bool cut = CopyCommandLine(commandLine, commandCopy);
    folder.path[0] = L'\0';
    folder.source = FolderSource::None;
    folder.unregistered = false;
    switch (ReadFolderSwitch(commandCopy, cut, folder.path)) {
    case PathSwitch::Given:
        TrimQuotedPath(folder.path);
        folder.source = FolderSource::Switch;
        break;
    case PathSwitch::TooLong:  // left empty: no usable folder, unless "/app" gives one
        break;
    case PathSwitch::Absent:
        if (FindInstallFolderInRegistry(folder.path) == 0)
            folder.unregistered = true;
        else
            folder.source = FolderSource::Registry;
        break;
    }
    if (wcsstr(commandCopy, L"/app") != nullptr) {
        GetDefaultInstallFolder(folder.path);
        folder.source = FolderSource::App;
    }
    folder.resolved[0] = L'\0';
    if (IsAbsoluteFolder(folder.path) && !ResolveFinalFolder(folder.path, folder.resolved, kCommandLineChars))
        folder.resolved[0] = L'\0';
}

int RunSilentInstall(const SilentFolder& folder) noexcept {
    wchar_t caption[260];
    wchar_t message[kMessageChars];
    wcscpy(caption, L"Zorvalind PlugIns ARM 64-bit Setup");
    if (folder.unregistered) {
        fw::LoadStringInto(IDS_NO_FOLDER_SILENT, message, kMessageChars);
        WriteLogEntry(message);
    }
    if (folder.path[0] == L'\0' || !IsAbsoluteFolder(folder.path)) {
        wcscpy(message, L"No install folder!");
        WriteLogEntry(message);
        return kExitNoFolder;
    }
    if (IsViewerRunning()) {
        fw::LoadStringInto(IDS_VIEWER_RUNNING, message, kMessageChars);
        WriteLogEntry(message);
        return kExitViewerRunning;
    }
    const InstallOutcome outcome = InstallPlugins(folder.Target(), caption);
    if (outcome == InstallOutcome::Busy) return kExitInstallInProgress;
    if (outcome != InstallOutcome::Installed) return kExitInstallFailed;
    // A log that was asked for tells the success too.
    if (InstallLogWasGiven()) {
        fw::LoadStringInto(IDS_INSTALLED, message, kMessageChars);
        WriteLogEntry(message);
    }
    return kExitInstalled;
}

void UseLogSwitch(const wchar_t* commandLine) noexcept {
    wchar_t commandCopy[kCommandLineChars];
    const bool cut = CopyCommandLine(commandLine, commandCopy);
    wchar_t value[kCommandLineChars] = {};
    const PathSwitch found = ReadPathSwitch(commandCopy, cut, L"/log=", value);
    if (found == PathSwitch::Absent) return;
    TrimQuotedPath(value);
    wchar_t full[kInstallLogPathChars] = {};
    DWORD length = 0;
    if (value[0] != L'\0') length = GetFullPathNameW(value, kInstallLogPathChars, full, nullptr);
    SetInstallLogPath(length > 0 && length < kInstallLogPathChars ? full : L"");
}
