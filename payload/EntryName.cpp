#include "payload/Payload.h"

#include <cwchar>
#include <cwctype>

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

} // namespace

bool IsSafeEntryName(const wchar_t* name) {
    if (name == nullptr || IsSeparator(name[0])) return false;
    if (wcschr(name, L':') != nullptr) return false;
    const wchar_t* component = name;
    for (const wchar_t* p = name;; ++p) {
        if (*p == L'\0' || IsSeparator(*p)) {
            size_t length = static_cast<size_t>(p - component);
            if (length == 2 && component[0] == L'.' && component[1] == L'.') return false;
            if (IsReservedDevice(component, length)) return false;
            if (*p == L'\0') return true;
            component = p + 1;
        }
    }
}
