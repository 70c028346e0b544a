#include "framework/Strings.h"

#include <cstdlib>
#include <cwchar>

#include "framework/Module.h"

namespace fw {

int LoadStringInto(UINT id, wchar_t* buffer, int size) noexcept {
    if (size <= 0) return 0;
    buffer[0] = L'\0';
    int n = LoadStringW(ResourceInstance(), id, buffer, size);
    if (n <= 0) buffer[0] = L'\0';
    return n > 0 ? n : 0;
}

bool CString::Load(UINT id) noexcept {
    text_.reset();
    const wchar_t* resource = nullptr;
    // With a size of 0 the call hands out the text in place, unterminated, with its length.
    int n = ::LoadStringW(ResourceInstance(), id, reinterpret_cast<wchar_t*>(&resource), 0);
    if (n <= 0 || resource == nullptr) return false;
    text_.reset(static_cast<wchar_t*>(malloc((static_cast<size_t>(n) + 1) * sizeof(wchar_t))));
    if (!text_) return false;
    wmemcpy(text_.get(), resource, static_cast<size_t>(n));
    text_.get()[n] = L'\0';
    return true;
}

} // namespace fw
