#include "install/FolderTrust.h"

#include <windows.h>

#include <cwchar>

#include "framework/Handles.h"

namespace {

constexpr DWORD kFinalChars = 1100;
// Windows 10 22H2 and Windows 11 know the policy; the headers here do not.
constexpr int kRedirectionTrustPolicy = 16;
constexpr DWORD kEnforceRedirectionTrust = 0x1;
RedirectionTrust current = RedirectionTrust::NotTried;

RedirectionTrust Found(RedirectionTrust trust) {
    current = trust;
    return trust;
}

} // namespace

bool ResolveFinalFolder(const wchar_t* folder, wchar_t* out, size_t chars) noexcept {
    fw::unique_hfile handle(CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(handle)) return false;
    wchar_t final[kFinalChars];
    const DWORD n = GetFinalPathNameByHandleW(handle.get(), final, kFinalChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= kFinalChars) return false;
    wchar_t plain[kFinalChars];
    if (wcsncmp(final, L"\\\\?\\UNC\\", 8) == 0) {
        plain[0] = L'\\';
        lstrcpynW(plain + 1, final + 7, kFinalChars - 1);
    } else if (wcsncmp(final, L"\\\\?\\", 4) == 0) {
        lstrcpynW(plain, final + 4, kFinalChars);
    } else {
        lstrcpynW(plain, final, kFinalChars);
    }
    const size_t length = wcslen(plain);
    if (length >= chars) return false;
    wmemcpy(out, plain, length + 1);
    return true;
}

RedirectionTrust CurrentRedirectionTrust() noexcept { return current; }

RedirectionTrust TurnOnRedirectionTrust() noexcept {
    using SetPolicy = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    using GetPolicy = BOOL(WINAPI*)(HANDLE, PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) return Found(RedirectionTrust::Unavailable);
    const auto set = reinterpret_cast<SetPolicy>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetProcessMitigationPolicy")));
    const auto get = reinterpret_cast<GetPolicy>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetProcessMitigationPolicy")));
    if (set == nullptr || get == nullptr) return Found(RedirectionTrust::Unavailable);
    DWORD flags = kEnforceRedirectionTrust;
    // Older builds refuse the policy; Wine accepts it and enables nothing. Only what the
    // system reads back counts.
    set(static_cast<PROCESS_MITIGATION_POLICY>(kRedirectionTrustPolicy), &flags, sizeof flags);
    DWORD now = 0;
    if (!get(GetCurrentProcess(), static_cast<PROCESS_MITIGATION_POLICY>(kRedirectionTrustPolicy), &now, sizeof now))
        return Found(RedirectionTrust::Unavailable);
    return Found((now & kEnforceRedirectionTrust) != 0 ? RedirectionTrust::On : RedirectionTrust::Unavailable);
}
