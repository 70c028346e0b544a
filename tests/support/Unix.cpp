#include "support/Unix.h"

#include <windows.h>

#include <cstring>

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

void RunShell(const std::wstring& script, const std::wstring& arg0, const std::wstring& arg1, const std::wstring& arg2) {
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    static unsigned counter = 0;
    const std::wstring marker =
        std::wstring(temp) + L"shell-done-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++);
    DeleteFileW(marker.c_str());
    const std::wstring unixMarker = UnixPath(marker);
    if (unixMarker.empty()) return;
    // The marker path is the last argument; the script's own arguments keep $0, $1, $2.
    std::wstring command = L"/bin/sh -c \"" + script + L"; touch \\\"${" + std::to_wstring(3) + L"}\\\"\" \"" + arg0 +
                           L"\" \"" + arg1 + L"\" \"" + arg2 + L"\" \"" + unixMarker + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    for (int i = 0; i < 1000 && GetFileAttributesW(marker.c_str()) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(10);
    DeleteFileW(marker.c_str());
}
