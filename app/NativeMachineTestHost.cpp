// Test-host build only: lets the whole program run under Wine on an x86-64 machine.
#include <cwchar>

#include "app/Platform.h"

bool QueryNativeMachine(USHORT* nativeMachine) noexcept {
    wchar_t value[16];
    DWORD n = GetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_NATIVE_MACHINE", value, 16);
    if (n > 0 && n < 16) {
        *nativeMachine = static_cast<USHORT>(wcstoul(value, nullptr, 16));
        return true;
    }
    return QuerySystemNativeMachine(nativeMachine);
}
