// Test-host build only: lets the whole program run under Wine on an x86-64 machine, and
// lets a test stop an install at a chosen point to kill it there.
#include <cwchar>

#include "app/Platform.h"
#include "payload/StepDeadline.h"
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

int holdStage = -1, stallStage = -1;
unsigned holdIndex = 0, stallIndex = 0;

// Signals the test and waits for it to end the process; goes on after a minute.
void HoldHere() {
    HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\ZorvalindSetupTestHeld");
    if (held == nullptr) return;
    SetEvent(held);
    Sleep(60000);
    CloseHandle(held);
}

// A file step that never ends by itself, as an open waiting for an oplock break that nobody
// acknowledges: a synchronous read of a pipe that nobody writes, which only a cancel ends.
void StallHere() {
    HANDLE reader = nullptr, writer = nullptr;
    if (!CreatePipe(&reader, &writer, nullptr, 0)) return;
    char byte = 0;
    DWORD read = 0;
    ReadFile(reader, &byte, 1, &read, nullptr);
    CloseHandle(reader);
    CloseHandle(writer);
}

void Probe(int stage, unsigned index) {
    if (stage == holdStage && index == holdIndex) HoldHere();
    if (stage == stallStage && index == stallIndex) StallHere();
}

// ZORVALIND_SETUP_TEST_HOLD=<stage>:<index> and ZORVALIND_SETUP_TEST_STALL=<stage>:<index>, at
// the stages of TransactionProbe; ZORVALIND_SETUP_TEST_STEP_LIMIT_MS shortens a file step's limit.
bool ReadStage(const wchar_t* name, int& stage, unsigned& index) {
    wchar_t value[32];
    const DWORD n = GetEnvironmentVariableW(name, value, 32);
    return n > 0 && n < 32 && swscanf(value, L"%d:%u", &stage, &index) == 2;
}

struct InstallHold {
    InstallHold() {
        const bool hold = ReadStage(L"ZORVALIND_SETUP_TEST_HOLD", holdStage, holdIndex);
        const bool stall = ReadStage(L"ZORVALIND_SETUP_TEST_STALL", stallStage, stallIndex);
        if (hold || stall) TransactionProbe = Probe;
        wchar_t value[16];
        const DWORD n = GetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STEP_LIMIT_MS", value, 16);
        if (n > 0 && n < 16) FileStepLimitMs = static_cast<DWORD>(wcstoul(value, nullptr, 10));
    }
} installHold;

} // namespace
