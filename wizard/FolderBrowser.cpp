#include "wizard/FolderBrowser.h"

#include <shlobj.h>

#include <cwchar>

#include "app/MessageIds.h"
#include "framework/Handles.h"
#include "framework/Strings.h"

int CALLBACK BrowseCallbackProc(HWND dialog, UINT message, LPARAM, LPARAM data) {
    if (message == BFFM_INITIALIZED) {
        wchar_t start[260];
        wcsncpy(start, reinterpret_cast<const wchar_t*>(data), 259);
        start[259] = L'\0';
        const size_t length = wcslen(start);
        // C:\ stays as it is; C:\Data\ is selected as C:\Data.
        if (length > 3 && start[length - 1] == L'\\') start[length - 1] = L'\0';
        SendMessageW(dialog, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(start));
    }
    return 0;
}

int BrowseForFolder(HWND owner, wchar_t* path) noexcept {
    wchar_t title[50];
    wchar_t displayName[260];
    fw::LoadStringInto(IDS_INSTALL_FOLDER_TITLE, title, 50);
    BROWSEINFOW info{};
    info.hwndOwner = owner;
    info.pidlRoot = nullptr;
    info.pszDisplayName = displayName;
    info.lpszTitle = title;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = BrowseCallbackProc;
    info.lParam = reinterpret_cast<LPARAM>(path);
    info.iImage = 0;
    fw::unique_pidl chosen(SHBrowseForFolderW(&info));
    if (!chosen) return 0;
    // Into a buffer of its own: a 259-character folder leaves no room for the backslash,
    // and then the field is left as it was.
    wchar_t folder[MAX_PATH + 1] = {};
    const BOOL got = SHGetPathFromIDListW(chosen.get(), folder);
    chosen.reset();
    if (!got) return 0;
    size_t length = wcslen(folder);
    if (length > 0 && folder[length - 1] != L'\\') {
        if (length + 1 >= 260) return 0;
        folder[length++] = L'\\';
        folder[length] = L'\0';
    }
    wcscpy(path, folder);
    return 1;
}
