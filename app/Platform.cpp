#include "app/Platform.h"

#include <cwchar>

#include "framework/Handles.h"

namespace {
template <class Fn> Fn Resolve(HMODULE module, const char* name) {
    FARPROC proc = module != nullptr ? GetProcAddress(module, name) : nullptr;
    Fn fn = nullptr;
    static_assert(sizeof fn == sizeof proc);
    memcpy(&fn, &proc, sizeof fn);
    return fn;
}
} // namespace

BOOL HardenDllSearchPath() noexcept {
    wchar_t path[260] = {};
    UINT n = GetSystemDirectoryW(path, 260);
    if (n == 0 || n >= 260) path[0] = L'\0';
    size_t length = wcslen(path);
    if (length > 0 && path[length - 1] != L'\\' && length + 1 < 260) path[length++] = L'\\';
    if (length + wcslen(L"kernel32.dll") >= 260) return FALSE;
    wcscpy(path + length, L"kernel32.dll");
    using SetDirs = BOOL(WINAPI*)(DWORD);
    auto setDirs = Resolve<SetDirs>(GetModuleHandleW(path), "SetDefaultDllDirectories");
    return setDirs != nullptr ? setDirs(LOAD_LIBRARY_SEARCH_SYSTEM32) : FALSE;
}

bool IsWindowsXPOrLater() noexcept {
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    info.dwMajorVersion = 5;
    info.dwMinorVersion = 1;
    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_SERVICEPACKMAJOR, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&info, VER_MAJORVERSION | VER_MINORVERSION | VER_SERVICEPACKMAJOR, mask) != FALSE;
}

bool QuerySystemNativeMachine(USHORT* nativeMachine) noexcept {
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto isWow64Process2 = Resolve<IsWow64Process2Fn>(GetModuleHandleW(L"kernel32"), "IsWow64Process2");
    if (isWow64Process2 == nullptr) return false;
    USHORT process = 0;
    *nativeMachine = 0;
    return isWow64Process2(GetCurrentProcess(), &process, nativeMachine) != FALSE;
}

bool IsArm64Host() noexcept {
    USHORT native = 0;
    return QueryNativeMachine(&native) && native == IMAGE_FILE_MACHINE_ARM64;
}

bool IsSeenStation(const DWORD* session, const DWORD* stationFlags) noexcept {
    if (session != nullptr && *session == 0) return false;
    if (stationFlags != nullptr) return (*stationFlags & WSF_VISIBLE) != 0;
    // In a user's session somebody is most likely there: a failed query must not cost them
    // the wizard. Where not even the session is known, nothing says anybody is.
    return session != nullptr;
}

bool IsInteractiveStation() noexcept {
    DWORD session = 0;
    const bool sessionKnown = ProcessIdToSessionId(GetCurrentProcessId(), &session) != FALSE;
    HWINSTA station = GetProcessWindowStation();  // not ours to close
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    const bool flagsKnown =
        station != nullptr && GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed) != FALSE;
    return IsSeenStation(sessionKnown ? &session : nullptr, flagsKnown ? &flags.dwFlags : nullptr);
}

Privilege QueryPrivilege() noexcept {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return Privilege::Standard;
    fw::unique_hfile token(raw);
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } user{};
    DWORD needed = 0;
    if (GetTokenInformation(token.get(), TokenUser, &user, sizeof user, &needed) &&
        IsWellKnownSid(user.user.User.Sid, WinLocalSystemSid))
        return Privilege::System;
    TOKEN_ELEVATION elevation{};
    if (GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &needed) &&
        elevation.TokenIsElevated != 0)
        return Privilege::Elevated;
    return Privilege::Standard;
}
