#include "framework/PathSplit.h"

#include <cwchar>

namespace fw {

bool SplitPath(const wchar_t* path, wchar_t (&drive)[3], wchar_t (&directory)[256]) noexcept {
    constexpr size_t kPartLimit = 255;
    drive[0] = L'\0';
    directory[0] = L'\0';
    const wchar_t* rest = path;
    if (path[0] != L'\0' && path[1] == L':') rest = path + 2;
    const wchar_t* lastSeparator = nullptr;
    const wchar_t* lastDot = nullptr;
    for (const wchar_t* p = rest; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/') lastSeparator = p;
        else if (*p == L'.') lastDot = p;
    }
    const wchar_t* name = lastSeparator != nullptr ? lastSeparator + 1 : rest;
    if (lastDot != nullptr && lastDot < name) lastDot = nullptr;
    const wchar_t* end = rest + wcslen(rest);
    const wchar_t* ext = lastDot != nullptr ? lastDot : end;
    const size_t directoryChars = static_cast<size_t>(name - rest);
    if (directoryChars > kPartLimit || static_cast<size_t>(ext - name) > kPartLimit ||
        static_cast<size_t>(end - ext) > kPartLimit)
        return false;
    if (rest != path) {
        drive[0] = path[0];
        drive[1] = L':';
        drive[2] = L'\0';
    }
    wmemcpy(directory, rest, directoryChars);
    directory[directoryChars] = L'\0';
    return true;
}

bool SplitPathDrive(const wchar_t* path, wchar_t (&drive)[3]) noexcept {
    wchar_t directory[256];
    return SplitPath(path, drive, directory);
}

} // namespace fw
