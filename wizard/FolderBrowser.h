#pragma once
#include <windows.h>

// The system's folder dialog, opening at the folder in path (260 characters). 1 with the
// chosen folder in path, ending in a backslash; 0 when cancelled or not a file-system folder.
int BrowseForFolder(HWND owner, wchar_t* path) noexcept;

int CALLBACK BrowseCallbackProc(HWND dialog, UINT message, LPARAM parameter, LPARAM data);
