#pragma once
#include <windows.h>

// Loads DLLs from the system folder only, where the system supports it.
BOOL HardenDllSearchPath() noexcept;
bool IsWindowsXPOrLater() noexcept;
// True only when the native machine is known to be ARM64.
bool IsArm64Host() noexcept;

// The native machine as IsWow64Process2 reports it; false when it is missing or fails.
bool QuerySystemNativeMachine(USHORT* nativeMachine) noexcept;

// What the platform gate asks. The shipped build asks the system; the test-host build
// answers from ZORVALIND_SETUP_TEST_NATIVE_MACHINE when that is set.
bool QueryNativeMachine(USHORT* nativeMachine) noexcept;

// False where no user can see this process's windows: a window station without
// WSF_VISIBLE, or session 0 whatever its station says. A box there waits for ever.
bool IsInteractiveStation() noexcept;
// Its decision from the two queries, each null where it failed: session 0 is unseen, else the
// station's WSF_VISIBLE decides; a station that cannot be asked counts as seen in a known
// session of a user.
bool IsSeenStation(const DWORD* session, const DWORD* stationFlags) noexcept;

enum class Privilege { Standard, Elevated, System };
// SYSTEM is elevated too, and told apart: it is what deployment tools run as.
Privilege QueryPrivilege() noexcept;
