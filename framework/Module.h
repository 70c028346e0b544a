// The module whose resources (strings, dialogs, icons, the payload) the program uses.
#pragma once
#include <windows.h>

namespace fw {
HINSTANCE ResourceInstance() noexcept;
void SetResourceInstance(HINSTANCE instance) noexcept;
} // namespace fw
