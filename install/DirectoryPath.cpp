#include "install/DirectoryPath.h"

#include <cerrno>
#include <cwchar>
#include <direct.h>

#include "framework/PathList.h"
#include "framework/PathSplit.h"

namespace {
constexpr int kPathChars = 260;
}

int CreateDirectoryPath(wchar_t* path, fw::PathList* created) noexcept {
    size_t length = wcslen(path);
    if (length == 0) return 0;
    if (path[length - 1] != L'\\') {
        path[length++] = L'\\';
        path[length] = L'\0';
    }
    if (length >= kPathChars) return 0;
    // A share's levels start below \\server\share\, which can only be there already.
    size_t first = 0;
    if (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.') {
        const wchar_t* share = wcschr(path + 2, L'\\');
        const wchar_t* below = share != nullptr && share[1] != L'\\' ? wcschr(share + 1, L'\\') : nullptr;
        if (share == path + 2 || below == nullptr) return 0;
        first = static_cast<size_t>(below - path) + 1;
    } else {
        wchar_t drive[3];
        if (!fw::SplitPathDrive(path, drive) || drive[0] == L'\0') return 0;
    }

    wchar_t saved[kPathChars] = {};
    if (_wgetcwd(saved, kPathChars) == nullptr) saved[0] = L'\0';
    if (_wchdir(path) == 0) {
        _wchdir(saved);
        return 1;
    }

    // A split path has at most 2 + 255 characters, so every level fits.
    wchar_t level[kPathChars] = {};
    wmemcpy(level, path, first);
    for (size_t i = first; i < length; ++i) {
        if (path[i] != L'\\') {
            level[i] = path[i];
            continue;
        }
        level[i] = L'\0';
        const int made = _wmkdir(level);
        if (made == -1 && errno == ENOENT) return 0;
        if (made == 0 && created != nullptr) created->Add(level);
        level[i] = L'\\';
    }
    const int made = _wmkdir(path);
    if (made == -1 && errno == ENOENT) return 0;
    if (made == 0 && created != nullptr) created->Add(path);
    return 1;
}
