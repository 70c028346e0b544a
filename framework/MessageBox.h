// Every message box of the program goes through here, so unit tests can answer it
// without a window; the program itself never replaces the function.
#pragma once
#include <windows.h>

namespace fw {
using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) noexcept;
void SetMessageBoxFunction(MessageBoxFunction function) noexcept;  // null: MessageBoxW
} // namespace fw
