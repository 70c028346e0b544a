#pragma once
#include <windows.h>

#include "framework/Handles.h"

namespace fw {

// Owns one GDI font; the font is deleted with the object.
class CFont {
public:
    void Attach(HFONT font) noexcept { font_.reset(font); }
    HFONT GetSafeHandle() const noexcept { return font_.get(); }

private:
    unique_hfont font_;
};

} // namespace fw
