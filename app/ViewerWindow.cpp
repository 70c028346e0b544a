#include "app/ViewerWindow.h"

#include <windows.h>

bool IsViewerRunning() noexcept { return FindWindowW(L"Zorvalind", nullptr) != nullptr; }
