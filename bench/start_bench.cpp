// A GUI program that does nothing of the setup's work: it imports the same system DLLs
// and initialises the common controls, then exits. Its start shows what Wine's process
// start costs, apart from the install.
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = 0xFF;
    InitCommonControlsEx(&controls);
    // Never true: keeps the imports the setup has.
    if (commandLine != nullptr && commandLine[0] == L'\x1') {
        HDC dc = GetDC(nullptr);
        GetDeviceCaps(dc, LOGPIXELSX);
        ReleaseDC(nullptr, dc);
        wchar_t path[MAX_PATH];
        SHGetPathFromIDListW(nullptr, path);
        CoTaskMemFree(nullptr);
        RegCloseKey(HKEY_LOCAL_MACHINE);
    }
    return 0;
}
