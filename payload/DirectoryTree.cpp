#include "payload/Payload.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <direct.h>

#include "framework/Handles.h"

int MakeDirectoryTree(const wchar_t* path) {
    const size_t length = wcslen(path);
    if (length == 0) return 0;
    fw::unique_malloc<wchar_t> copy(static_cast<wchar_t*>(calloc(length + 1, sizeof(wchar_t))));
    if (!copy) return UNZ_INTERNALERROR;
    wchar_t* buffer = copy.get();
    wmemcpy(buffer, path, length);
    if (buffer[length - 1] == L'/') buffer[length - 1] = L'\0';

    if (_wmkdir(buffer) == 0) return 1;

    // Level by level from the second character, so a leading separator never gives an empty name.
    wchar_t* cursor = buffer + 1;
    for (;;) {
        while (*cursor != L'\0' && *cursor != L'\\' && *cursor != L'/') ++cursor;
        const wchar_t held = *cursor;
        *cursor = L'\0';
        if (_wmkdir(buffer) == -1 && errno == ENOENT) return 0;
        if (held == L'\0') return 1;
        *cursor = held;
        ++cursor;
    }
}
