// Test-host build only: lets the whole program run under Wine on an x86-64 machine, and
// lets a test stop an install at a chosen point to kill it there.
#include <cwchar>

#include "app/Platform.h"
#include "payload/Transaction.h"

bool QueryNativeMachine(USHORT* nativeMachine) noexcept {
    wchar_t value[16];
    DWORD n = GetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", value, 16);
    if (n > 0 && n < 16) {
        *nativeMachine = static_cast<USHORT>(wcstoul(value, nullptr, 16));
        return true;
    }
    return QuerySystemNativeMachine(nativeMachine);
}

namespace {

int holdStage = -1;
unsigned holdIndex = 0;

// Signals the test and waits for it to end the process; goes on after a minute.
void HoldHere(int stage, unsigned index) {
    if (stage != holdStage || index != holdIndex) return;
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\ZorvalindSetupTestHeld");
    if (held == nullptr) return;
    SetEvent(held);
    Sleep(60000);
    CloseHandle(held);
}

// ZORVALIND_SETUP_TEST_HOLD=<stage>:<index>, the stages of TransactionProbe.
struct InstallHold {
    InstallHold() {
        wchar_t value[32];
        DWORD n = GetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", value, 32);
        if (n == 0 || n >= 32 || swscanf(value, L"%d:%u", &holdStage, &holdIndex) != 2) return;
        TransactionProbe = HoldHere;
    }
} installHold;

} // namespace
