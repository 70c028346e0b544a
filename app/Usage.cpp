#include "app/Usage.h"

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/MessageBox.h"
#include "framework/Strings.h"

void ShowUsage() noexcept {
    fw::CString text(IDS_USAGE);
    fw::ShowMessageBox(GetActiveWindow(), text, L"Zorvalind PlugIns ARM 64-bit Setup", MB_OK | MB_ICONINFORMATION);
}
