#include "support/ReadOnly.h"

#include <windows.h>

#include <string>

#include "support/Unix.h"

namespace {

bool g_used = false;

void Chattr(const wchar_t* flags, const std::wstring& path) {
    const std::wstring unix = UnixPath(path);
    if (!unix.empty()) RunShell(L"chattr $0 \\\"$1\\\"", flags, unix);
}

bool Writable(const std::wstring& path) {
    if (GetFileAttributesW(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY) {
        const std::wstring probe = path + L"\\~probe";
        HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (h == INVALID_HANDLE_VALUE) return false;
        CloseHandle(h);
        return true;
    }
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    CloseHandle(h);
    return true;
}

} // namespace

bool MakeReadOnly(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return false;
    SetFileAttributesW(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
    if (!Writable(path)) return true;
    g_used = true;
    Chattr(L"+i", path);  // waits until it has taken effect
    return !Writable(path);
}

void UndoReadOnly(const std::wstring& path) {
    if (!g_used) return;
    Chattr(L"-R -i", path);
}
