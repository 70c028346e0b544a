#include "framework/MessageBox.h"

namespace fw {
namespace {
MessageBoxFunction g_messageBox = nullptr;
}

int ShowMessageBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) noexcept {
    return (g_messageBox != nullptr ? g_messageBox : MessageBoxW)(owner, text, caption, type);
}

void SetMessageBoxFunction(MessageBoxFunction function) noexcept { g_messageBox = function; }
} // namespace fw
