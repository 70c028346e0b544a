#include "support/ReadOnly.h"

#include <windows.h>

#include <string>

namespace {

bool g_used = false;

// Wine's own export; absent on Windows, where the attribute alone is enough.
std::wstring UnixPath(const std::wstring& path) {
    using Fn = char*(CDECL*)(const wchar_t*);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    if (proc == nullptr) return {};
    Fn fn;
    static_assert(sizeof fn == sizeof proc);
    memcpy(&fn, &proc, sizeof fn);
    char* unix = fn(path.c_str());
    if (unix == nullptr) return {};
    wchar_t wide[4096];
    int n = MultiByteToWideChar(CP_UTF8, 0, unix, -1, wide, 4096);
    HeapFree(GetProcessHeap(), 0, unix);
    return n > 0 ? std::wstring(wide) : std::wstring();
}

// Wine starts Unix programs but cannot wait for them: the command leaves a marker file
// when it is done, and that is what is waited for.
void Chattr(const wchar_t* flags, const std::wstring& path) {
    const std::wstring unix = UnixPath(path);
    if (unix.empty()) return;
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    static unsigned counter = 0;
    const std::wstring marker = std::wstring(temp) + L"chattr-done-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                std::to_wstring(counter++);
    DeleteFileW(marker.c_str());
    std::wstring command = L"/bin/sh -c \"chattr $0 \\\"$1\\\"; touch \\\"$2\\\"\" \"" + std::wstring(flags) +
                           L"\" \"" + unix + L"\" \"" + UnixPath(marker) + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 500 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    DeleteFileW(marker.c_str());
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
