#include "wizard/FolderText.h"

#include <cwchar>

#include "framework/PathSplit.h"

void TrimFolderText(wchar_t* text) noexcept {
    constexpr size_t kChars = 260;
    size_t length = wcslen(text);
    while (length > 0 && text[length - 1] == L' ') text[--length] = L'\0';
    if (text[0] != L' ' || length >= kChars) return;
    wchar_t temporary[kChars];
    const wchar_t* first = text;
    while (*first == L' ') ++first;
    wcscpy(temporary, first);
    wcscpy(text, temporary);
}

bool HasDrive(const wchar_t* folder) noexcept {
    wchar_t drive[3];
    return fw::SplitPathDrive(folder, drive) && drive[0] != L'\0';
}
