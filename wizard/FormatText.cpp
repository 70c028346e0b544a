#include "wizard/FormatText.h"

void FormatStrings(const wchar_t* format, const wchar_t* const* args, int count, wchar_t* out, size_t outChars) noexcept {
    if (outChars == 0) return;
    size_t n = 0;
    int next = 0;
    auto put = [&](wchar_t c) {
        if (n + 1 < outChars) out[n++] = c;
    };
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (p[0] == L'%' && p[1] == L's') {
            for (const wchar_t* a = next < count ? args[next] : L""; *a != L'\0'; ++a) put(*a);
            ++next;
            ++p;
        } else if (p[0] == L'%' && p[1] == L'%') {
            put(L'%');
            ++p;
        } else {
            put(*p);
        }
    }
    out[n] = L'\0';
}
