#include "app/OneSetup.h"

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"

bool SetupLock::Acquire() noexcept {
    SetLastError(ERROR_SUCCESS);
    mutex_.reset(CreateMutexW(nullptr, FALSE, kSetupMutexName));
    const DWORD error = GetLastError();
    if (!fw::Valid(mutex_)) return false;
    if (error == ERROR_ALREADY_EXISTS) {
        mutex_.reset();
        return false;
    }
    return true;
}

void ReportAnotherSetup(bool silent) noexcept {
    if (silent) {
        wchar_t message[260];
        fw::LoadStringInto(IDS_ANOTHER_SETUP, message, 260);
        WriteLogEntry(message);
        return;
    }
    fw::CString text(IDS_ANOTHER_SETUP);
    fw::ShowMessageBox(GetActiveWindow(), text, L"Zorvalind PlugIns ARM 64-bit Setup", MB_OK | MB_ICONWARNING);
}
