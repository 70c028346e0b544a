#include "app/CommandLine.h"

#include <cwchar>

bool CopyCommandLine(const wchar_t* commandLine, wchar_t (&copy)[kCommandLineChars]) noexcept {
    wmemset(copy, L'\0', kCommandLineChars);
    wcsncpy(copy, commandLine, kCommandLineChars - 1);
    return wcsnlen(commandLine, kCommandLineChars) >= static_cast<size_t>(kCommandLineChars);
}

PathSwitch ReadPathSwitch(const wchar_t* commandCopy, bool copyCut, const wchar_t* name, wchar_t* value) noexcept {
    const wchar_t* found = wcsstr(commandCopy, name);
    if (found == nullptr) return PathSwitch::Absent;
    const wchar_t* text = found + wcslen(name);
    // `/log= "C:\x.log"`: the blank would keep the quote in the value.
    size_t blanks = 0;
    while (text[blanks] == L' ' || text[blanks] == L'\t') ++blanks;
    if (text[blanks] == L'"') text += blanks;
    size_t n = 0;
    while (n < kSwitchValueLimit && text[n] != L'\0' && text[n] != L'/') {
        value[n] = text[n];
        ++n;
    }
    value[n] = L'\0';
    // A value that runs into the cut is a prefix of what was written.
    const bool cut = copyCut && text[n] == L'\0';
    if (n < kSwitchValueLimit && !cut) return PathSwitch::Given;
    value[0] = L'\0';
    return PathSwitch::TooLong;
}

namespace {
void TrimTrailingBlanks(wchar_t* text) {
    size_t length = wcslen(text);
    while (length > 0 && text[length - 1] == L' ') text[--length] = L'\0';
}
bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }
} // namespace

void TrimQuotedPath(wchar_t* text) noexcept {
    TrimTrailingBlanks(text);
    size_t length = wcslen(text);
    if (length > 0 && text[length - 1] == L'"') text[--length] = L'\0';
    if (text[0] == L'"') wmemmove(text, text + 1, length);  // the terminator moves too
    TrimTrailingBlanks(text);
}

bool IsAbsoluteFolder(const wchar_t* folder) noexcept {
    const wchar_t first = folder[0];
    if ((first >= L'A' && first <= L'Z') || (first >= L'a' && first <= L'z'))
        return folder[1] == L':' && IsSeparator(folder[2]);
    if (!IsSeparator(first) || !IsSeparator(folder[1])) return false;
    const wchar_t* server = folder + 2;
    size_t length = 0;
    while (server[length] != L'\0' && !IsSeparator(server[length])) ++length;
    if (length == 0 || server[length] == L'\0') return false;
    // "\\.\" and "\\?\" lead into the device namespace, not to a share.
    if (length == 1 && (server[0] == L'.' || server[0] == L'?')) return false;
    const wchar_t* share = server + length + 1;
    return share[0] != L'\0' && !IsSeparator(share[0]);
}
