// Texts from the module's string table. A missing text is an empty one.
#pragma once
#include <windows.h>

#include "framework/Handles.h"

namespace fw {

// Into a fixed buffer, cut at its size less one character.
int LoadStringInto(UINT id, wchar_t* buffer, int size) noexcept;

// The whole text, of any length.
class CString {
public:
    CString() = default;
    explicit CString(UINT id) noexcept { Load(id); }
    bool Load(UINT id) noexcept;
    const wchar_t* c_str() const noexcept { return text_ ? text_.get() : L""; }
    operator const wchar_t*() const noexcept { return c_str(); }

private:
    unique_malloc<wchar_t> text_;
};

} // namespace fw
