#include "install/InstallPlugins.h"

#include <windows.h>

#include <cwchar>

#include "app/MessageIds.h"
#include "framework/MessageBox.h"
#include "framework/PathList.h"
#include "framework/Strings.h"
#include "install/DirectoryPath.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"
#include "install/ReportLog.h"
#include "payload/HeldFolder.h"
#include "payload/InstallReport.h"
#include "payload/LongPath.h"
#include "payload/Payload.h"

int SilentMode = 0;

namespace {

constexpr size_t kWorkChars = 520;
constexpr int kNoFolderChars = 256;

void Report(UINT id, const wchar_t* caption, UINT style, wchar_t* silentBuffer, int silentChars) {
    if (SilentMode != 0) {
        fw::LoadStringInto(id, silentBuffer, silentChars);
        WriteLogEntry(silentBuffer);
        return;
    }
    fw::CString text(id);
    fw::ShowMessageBox(GetActiveWindow(), text, caption, style);
}

// By handle once each one's final path is checked, never by name: a folder above swapped for
// a link since it was made would take the removal elsewhere.
void RemoveCreatedFolders(fw::PathList& created) {
    for (size_t i = created.Count(); i > 0; --i) {
        wchar_t path[kLongPathChars];
        size_t length = 0;
        if (LongFolderPath(created.At(i - 1), path, length)) {
            path[length - 1] = L'\0';
            RemoveEmptyFolder(path);
        }
    }
    created.Clear();
}

} // namespace

InstallOutcome InstallPlugins(const wchar_t* folder, const wchar_t* caption) noexcept {
    wchar_t work[kWorkChars] = {};
    if (folder[0] == L'\0') {
        wchar_t message[kNoFolderChars];
        Report(SilentMode != 0 ? IDS_NO_FOLDER_SILENT : IDS_NO_FOLDER, caption, MB_OK | MB_ICONERROR, message,
               kNoFolderChars);
        return InstallOutcome::EmptyFolder;
    }

    InstallReport report;
    // The folder is resolved once, through the links an administrator may have set up on the
    // way; only then are links that others made refused, and only the resolved path is used.
    wchar_t resolved[kWorkChars];
    if (ResolveFinalFolder(folder, resolved, kWorkChars)) folder = resolved;
    report.redirectionTrust = TurnOnRedirectionTrust();

    // Room for a backslash, "Plugins" and the backslash the path creation adds; a longer
    // folder is never cut to a prefix that nobody named.
    const size_t folderChars = wcsnlen(folder, kWorkChars);
    const bool fits = folderChars + 1 + 7 + 1 < kWorkChars;
    wchar_t target[kWorkChars] = {};
    fw::PathList created;
    if (fits) {
        wcscpy(work, folder);
        size_t length = folderChars;
        if (work[length - 1] != L'\\') work[length++] = L'\\';
        wcscpy(work + length, L"Plugins");
        CreateDirectoryPath(work, &created);
        wcscpy(target, work);
    }
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    if (!fits) report.Fail(InstallStep::Preparing, nullptr, 0, InstallReason::NoRoom);
    const int result = fits ? ExtractPayload(target, &report) : -1;
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    LogSkippedFolders(report);

    if (result != 0) {
        // A failed install leaves the folder as it found it, the levels made on the way included.
        RemoveCreatedFolders(created);
        LogInstallReport(report);
        const bool inUse = report.failure.reason == InstallReason::FolderInUse;
        Report(inUse ? IDS_ANOTHER_SETUP : IDS_CANT_INSTALL, caption, MB_OK | (inUse ? MB_ICONWARNING : MB_ICONERROR), target,
               static_cast<int>(kWorkChars));
        return report.Busy() ? InstallOutcome::Busy : InstallOutcome::ExtractionFailed;
    }
    if (SilentMode == 0) {
        fw::CString text(IDS_INSTALLED);
        fw::ShowMessageBox(GetActiveWindow(), text, caption, MB_OK | MB_ICONINFORMATION);
    }
    return InstallOutcome::Installed;
}
