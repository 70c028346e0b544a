#include "payload/ReservedNames.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>

#include "payload/Payload.h"

namespace {

constexpr wchar_t kPartPrefix[] = L"~zl";
constexpr wchar_t kBackupPrefix[] = L"~zlbak.";
constexpr wchar_t kBackupSuffix[] = L".~zl";
constexpr size_t kNumberedChars = 3 + 8 + 1 + 5 + 5;

bool IsHex(const wchar_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!iswxdigit(p[i])) return false;
    return true;
}

} // namespace

bool IsNumberedName(const wchar_t* name, size_t chars, const wchar_t* suffix) noexcept {
    return chars == kNumberedChars && _wcsnicmp(name, kPartPrefix, 3) == 0 && IsHex(name + 3, 8) && name[11] == L'-' &&
           IsHex(name + 12, 5) && _wcsicmp(name + 17, suffix) == 0;
}

bool IsOneName(const wchar_t* name) noexcept {
    return IsSafeEntryName(name) && wcschr(name, L'\\') == nullptr && wcschr(name, L'/') == nullptr;
}

bool IsBackupName(const wchar_t* name, size_t chars) noexcept {
    const size_t prefix = wcslen(kBackupPrefix), tail = wcslen(kBackupSuffix);
    if (chars <= prefix + tail || _wcsnicmp(name, kBackupPrefix, prefix) != 0 || _wcsicmp(name + chars - tail, kBackupSuffix) != 0)
        return false;
    const size_t inner = chars - prefix - tail;
    wchar_t original[MAX_PATH];
    if (inner >= MAX_PATH) return false;
    wmemcpy(original, name + prefix, inner);
    original[inner] = L'\0';
    return IsOneName(original);
}

bool BackupPathOf(const wchar_t* path, wchar_t (&backup)[kLongPathChars]) noexcept {
    const wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return false;
    size_t length = 0;
    return AppendPath(backup, length, path, static_cast<size_t>(slash - path) + 1) && AppendPath(backup, length, kBackupPrefix) &&
           AppendPath(backup, length, slash + 1) && AppendPath(backup, length, kBackupSuffix);
}

bool OriginalPathOf(const wchar_t* backup, wchar_t (&path)[kLongPathChars]) noexcept {
    const wchar_t* slash = wcsrchr(backup, L'\\');
    if (slash == nullptr) return false;
    const wchar_t* name = slash + 1;
    const size_t prefix = wcslen(kBackupPrefix), chars = wcslen(name), tail = wcslen(kBackupSuffix);
    if (chars <= prefix + tail) return false;
    size_t length = 0;
    return AppendPath(path, length, backup, static_cast<size_t>(name - backup)) &&
           AppendPath(path, length, name + prefix, chars - prefix - tail);
}

bool NumberedName(const wchar_t* folder, const wchar_t* suffix, wchar_t (&path)[kLongPathChars]) noexcept {
    static unsigned counter = 0;
    wchar_t name[40];
    swprintf(name, 40, L"%ls%08lx-%05x%ls", kPartPrefix, GetCurrentProcessId(), counter++ & 0xFFFFF, suffix);
    size_t length = 0;
    path[0] = L'\0';
    return AppendPath(path, length, folder) && AppendPath(path, length, name);
}
