#include "install/UninstallPlugins.h"

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"
#include "install/ReportLog.h"
#include "payload/InstallReport.h"
#include "payload/Payload.h"

namespace {
constexpr int kMessageChars = 260;
} // namespace

void ReportRemoval(UINT id, const wchar_t* caption, UINT style, bool silent) noexcept {
    if (silent) {
        wchar_t message[kMessageChars];
        fw::LoadStringInto(id, message, kMessageChars);
        WriteLogEntry(message);
        return;
    }
    fw::CString text(id);
    fw::ShowMessageBox(GetActiveWindow(), text, caption, style);
}

UninstallOutcome UninstallPlugins(const wchar_t* pluginsFolder, const wchar_t* caption, bool silent,
                                  bool logSuccess) noexcept {
    SetCursor(LoadCursorW(nullptr, IDC_WAIT));
    InstallReport report;
    report.redirectionTrust = TurnOnRedirectionTrust();
    const int result = RemovePayload(pluginsFolder, &report);
    SetCursor(LoadCursorW(nullptr, IDC_ARROW));
    LogSkippedFolders(report);
    if (result != 0) {
        LogInstallReport(report);
        const bool inUse = report.failure.reason == InstallReason::FolderInUse;
        ReportRemoval(inUse ? IDS_ANOTHER_SETUP : IDS_CANT_UNINSTALL, caption, MB_OK | (inUse ? MB_ICONWARNING : MB_ICONERROR),
                      silent);
        return report.Busy() ? UninstallOutcome::Busy : UninstallOutcome::Failed;
    }
    if (!silent || logSuccess) ReportRemoval(IDS_UNINSTALLED, caption, MB_OK | MB_ICONINFORMATION, silent);
    return UninstallOutcome::Removed;
}
