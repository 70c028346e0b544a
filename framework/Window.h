#pragma once
#include <windows.h>

namespace fw {

// A window object of the framework: it knows its window while that exists.
class CWnd {
public:
    virtual ~CWnd() = default;
    HWND GetSafeHwnd() const noexcept { return m_hWnd; }
    HWND m_hWnd = nullptr;
};

} // namespace fw
