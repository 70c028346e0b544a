#include "app/CommandLine.h"

#include <cwchar>

void CopyCommandLine(const wchar_t* commandLine, wchar_t (&copy)[kCommandLineChars]) noexcept {
    wmemset(copy, L'\0', kCommandLineChars);
    wcsncpy(copy, commandLine, kCommandLineChars - 1);
}

bool ReadFolderSwitch(const wchar_t* commandCopy, wchar_t* folder) noexcept {
    static const wchar_t kSwitch[] = L"/folder=";
    // 260 positions counted from the switch itself, whose 8 characters count too.
    constexpr size_t kValueLimit = 260 - (sizeof kSwitch / sizeof kSwitch[0] - 1);
    const wchar_t* found = wcsstr(commandCopy, kSwitch);
    if (found == nullptr) return false;
    const wchar_t* value = found + (sizeof kSwitch / sizeof kSwitch[0] - 1);
    size_t n = 0;
    while (n < kValueLimit && value[n] != L'\0' && value[n] != L'/') {
        folder[n] = value[n];
        ++n;
    }
    folder[n] = L'\0';
    return true;
}

namespace {
void TrimTrailingBlanks(wchar_t* text) {
    size_t length = wcslen(text);
    while (length > 0 && text[length - 1] == L' ') text[--length] = L'\0';
}
} // namespace

void TrimQuotedPath(wchar_t* text) noexcept {
    TrimTrailingBlanks(text);
    size_t length = wcslen(text);
    if (length > 0 && text[length - 1] == L'"') text[--length] = L'\0';
    if (text[0] == L'"') wmemmove(text, text + 1, length);  // the terminator moves too
    TrimTrailingBlanks(text);
}
