#include "payload/LongPath.h"

#include <windows.h>

#include <cwchar>

bool AppendPath(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text, size_t n) noexcept {
    if (length + n >= kLongPathChars) return false;
    wmemcpy(path + length, text, n);
    length += n;
    path[length] = L'\0';
    return true;
}

bool AppendPath(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text) noexcept {
    return AppendPath(path, length, text, wcslen(text));
}

// The long-path form, so that a part file's longer name never hits the 260-character limit.
bool LongFolderPath(const wchar_t* folder, wchar_t (&out)[kLongPathChars], size_t& length) noexcept {
    wchar_t full[kLongPathChars];
    const DWORD n = GetFullPathNameW(folder, kLongPathChars, full, nullptr);
    if (n == 0 || n >= kLongPathChars) return false;
    length = 0;
    out[0] = L'\0';
    bool ok;
    if (wcsncmp(full, L"\\\\?\\", 4) == 0)
        ok = AppendPath(out, length, full);
    else if (full[0] == L'\\' && full[1] == L'\\')
        ok = AppendPath(out, length, L"\\\\?\\UNC\\") && AppendPath(out, length, full + 2);
    else
        ok = AppendPath(out, length, L"\\\\?\\") && AppendPath(out, length, full);
    if (ok && out[length - 1] != L'\\') ok = AppendPath(out, length, L"\\");
    return ok;
}
