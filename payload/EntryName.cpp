#include "payload/Payload.h"

#include <cstring>
#include <cwchar>
#include <cwctype>

#include "libdeflate.h"
#include "payload/InstallReport.h"

namespace {

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Windows opens these as devices in any folder and with any extension.
bool IsReservedDevice(const wchar_t* component, size_t length) {
    size_t base = 0;
    while (base < length && component[base] != L'.') ++base;
    while (base > 0 && component[base - 1] == L' ') --base;
    wchar_t upper[5] = {};
    if (base < 3 || base > 4) return false;
    for (size_t i = 0; i < base; ++i) upper[i] = static_cast<wchar_t>(towupper(component[i]));
    if (base == 3)
        return wcscmp(upper, L"CON") == 0 || wcscmp(upper, L"PRN") == 0 ||
               wcscmp(upper, L"AUX") == 0 || wcscmp(upper, L"NUL") == 0;
    bool port = wcsncmp(upper, L"COM", 3) == 0 || wcsncmp(upper, L"LPT", 3) == 0;
    return port && upper[3] >= L'1' && upper[3] <= L'9';
}

bool ForbiddenCharacter(wchar_t c) { return c < 32 || wcschr(L"<>:\"|?*", c) != nullptr; }

bool Decode(UINT codePage, DWORD flags, const char* bytes, int length, wchar_t* wide, int wideChars) {
    if (length == 0) {
        wide[0] = L'\0';
        return true;
    }
    const int n = MultiByteToWideChar(codePage, flags, bytes, length, wide, wideChars - 1);
    if (n <= 0) return false;
    wide[n] = L'\0';
    return true;
}

bool HasHighBytes(const char* bytes, unsigned length) {
    for (unsigned i = 0; i < length; ++i)
        if (static_cast<unsigned char>(bytes[i]) > 127) return true;
    return false;
}

uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const unsigned char* p) { return Le16(p) | (static_cast<uint32_t>(Le16(p + 2)) << 16); }

// Info-ZIP's Unicode path field (0x7075): the UTF-8 name of an entry whose header name is
// in a legacy code page; it counts only while its CRC matches that header name.
bool UnicodePathField(const char* stored, unsigned length, const unsigned char* extra, unsigned extraLength,
                      wchar_t* wide, int wideChars) {
    for (unsigned at = 0; at + 4 <= extraLength;) {
        const unsigned tag = Le16(extra + at), size = Le16(extra + at + 2);
        if (at + 4 + size > extraLength) return false;
        const unsigned char* field = extra + at + 4;
        if (tag == 0x7075 && size >= 5 && field[0] == 1 &&
            Le32(field + 1) == libdeflate_crc32(0, stored, length))
            return Decode(CP_UTF8, MB_ERR_INVALID_CHARS, reinterpret_cast<const char*>(field + 5),
                          static_cast<int>(size - 5), wide, wideChars);
        at += 4 + size;
    }
    return false;
}

} // namespace

bool DecodeEntryName(const char* stored, unsigned length, unsigned long flag, unsigned long versionMadeBy,
                     const unsigned char* extra, unsigned extraLength, wchar_t* wide, int wideChars) {
    if ((flag & 0x800) != 0) return Decode(CP_UTF8, MB_ERR_INVALID_CHARS, stored, static_cast<int>(length), wide, wideChars);
    if (UnicodePathField(stored, length, extra, extraLength, wide, wideChars)) return true;
    // macOS and Info-ZIP on Unix write UTF-8 without saying so.
    const unsigned long host = (versionMadeBy >> 8) & 0xFF;
    if ((host == 3 || host == 19) && HasHighBytes(stored, length) &&
        Decode(CP_UTF8, MB_ERR_INVALID_CHARS, stored, static_cast<int>(length), wide, wideChars))
        return true;
    // Unmarked names are in the OEM code page, as Windows' own ZIP folder reads them.
    return Decode(CP_OEMCP, 0, stored, static_cast<int>(length), wide, wideChars);
}

InstallReason EntryNameFault(const wchar_t* name) {
    if (name == nullptr || IsSeparator(name[0])) return InstallReason::NameLeavesFolder;
    const wchar_t* component = name;
    for (const wchar_t* p = name;; ++p) {
        if (*p != L'\0' && !IsSeparator(*p)) {
            if (ForbiddenCharacter(*p)) return InstallReason::NameForbiddenCharacter;
            continue;
        }
        const size_t length = static_cast<size_t>(p - component);
        if (length == 0) {
            // Only a folder's trailing separator (or the empty name) ends in an empty component.
            return *p != L'\0' ? InstallReason::NameLeavesFolder : InstallReason::None;
        }
        // Win32 drops a trailing dot or blank: "a.dll." would land on "a.dll"; "." and ".." too.
        if (component[length - 1] == L'.' || component[length - 1] == L' ')
            return (length == 2 && component[0] == L'.') ? InstallReason::NameLeavesFolder
                                                          : InstallReason::NameTrailingDotOrBlank;
        if (IsReservedDevice(component, length)) return InstallReason::NameIsDevice;
        if (*p == L'\0') return InstallReason::None;
        component = p + 1;
    }
}

bool IsSafeEntryName(const wchar_t* name) { return EntryNameFault(name) == InstallReason::None; }
