#include "app/Uninstall.h"

#include <windows.h>

#include <cwchar>

#include "app/CommandLine.h"
#include "app/ExitCodes.h"
#include "app/InstallFolderRegistry.h"
#include "app/MessageIds.h"
#include "app/SilentInstall.h"
#include "app/ViewerWindow.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"
#include "install/UninstallPlugins.h"

namespace {

constexpr wchar_t kCaption[] = L"Zorvalind PlugIns ARM 64-bit Setup";
constexpr size_t kPluginsChars = kCommandLineChars + 16;
constexpr DWORD kQuestionChars = kPluginsChars + 128;

void Report(UINT id, UINT style, bool silent) { ReportRemoval(id, kCaption, style, silent); }

// The folder as an install takes it; empty when there is none. A removal deletes files, so a
// folder that depends on where the run started is no folder, with or without a window.
void FindFolder(const wchar_t* commandCopy, bool copyCut, wchar_t (&folder)[kCommandLineChars]) {
    switch (ReadFolderSwitch(commandCopy, copyCut, folder)) {
    case PathSwitch::Given:
        TrimQuotedPath(folder);
        break;
    case PathSwitch::TooLong:  // left empty: it may have been cut
        break;
    case PathSwitch::Absent:
        FindInstallFolderInRegistry(folder);
        break;
    }
    if (wcsstr(commandCopy, L"/app") != nullptr) GetDefaultInstallFolder(folder);
    if (!IsAbsoluteFolder(folder)) folder[0] = L'\0';
}

// "<folder>\Plugins\", or false when it does not fit.
bool PluginsFolderOf(const wchar_t* folder, wchar_t (&plugins)[kPluginsChars]) {
    const size_t length = wcslen(folder);
    const bool separator = length > 0 && folder[length - 1] == L'\\';
    if (length + (separator ? 0 : 1) + wcslen(L"Plugins\\") >= kPluginsChars) return false;
    wcscpy(plugins, folder);
    if (!separator) wcscat(plugins, L"\\");
    wcscat(plugins, L"Plugins\\");
    return true;
}

bool ViewerRefuses(bool silent) {
    if (!IsViewerRunning()) return false;
    Report(IDS_VIEWER_RUNNING, MB_OK | MB_ICONWARNING, silent);
    return true;
}

// "Remove the Zorvalind plug-ins from <Plugins>?", No by default.
bool Confirmed(const wchar_t* plugins) {
    wchar_t shown[kPluginsChars];
    lstrcpynW(shown, plugins, static_cast<int>(kPluginsChars));
    const size_t length = wcslen(shown);
    if (length > 3) shown[length - 1] = L'\0';  // without its trailing backslash, as people write it
    fw::CString format(IDS_UNINSTALL_QUESTION);
    wchar_t question[kQuestionChars] = {};
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(shown)};
    if (FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, format.c_str(), 0, 0, question,
                       kQuestionChars, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args))) == 0)
        return false;
    return fw::ShowMessageBox(GetActiveWindow(), question, kCaption, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) ==
           IDYES;
}

} // namespace

int RunUninstall(bool silent, const SilentFolder& found) noexcept {
    wchar_t commandCopy[kCommandLineChars];
    const bool cut = CopyCommandLine(GetCommandLineW(), commandCopy);
    wchar_t folder[kCommandLineChars] = {};
    if (silent) {
        if (found.unregistered) Report(IDS_NO_FOLDER_SILENT, 0, true);
        if (IsAbsoluteFolder(found.path)) lstrcpynW(folder, found.Target(), kCommandLineChars);
    } else {
        FindFolder(commandCopy, cut, folder);
        // Resolved once, as for an install: links on the way are followed here and nowhere after.
        wchar_t resolved[kCommandLineChars];
        if (folder[0] != L'\0' && ResolveFinalFolder(folder, resolved, kCommandLineChars)) wcscpy(folder, resolved);
    }
    wchar_t plugins[kPluginsChars] = {};
    if (folder[0] == L'\0' || !PluginsFolderOf(folder, plugins)) {
        if (silent) {
            WriteLogEntry(L"No install folder!");
        } else {
            Report(IDS_NO_FOLDER, MB_OK | MB_ICONERROR, false);
        }
        return kExitNoFolder;
    }
    if (ViewerRefuses(silent)) return kExitViewerRunning;
    if (!silent) {
        if (!Confirmed(plugins)) return kExitWizardLeft;  // No: nothing was touched
        if (ViewerRefuses(false)) return kExitViewerRunning;  // started while the question was open
    }
    const bool logSuccess = wcsstr(commandCopy, L"/log=") != nullptr;
    switch (UninstallPlugins(plugins, kCaption, silent, logSuccess)) {
    case UninstallOutcome::Removed: return kExitInstalled;
    case UninstallOutcome::Busy: return kExitInstallInProgress;
    case UninstallOutcome::Failed: break;
    }
    return kExitInstallFailed;
}
