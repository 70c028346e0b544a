#include "payload/HeldFolder.h"

#include <cwchar>

#include "payload/LongPath.h"

bool FinalPathOf(HANDLE handle, wchar_t* path, DWORD chars) noexcept {
    const DWORD n = GetFinalPathNameByHandleW(handle, path, chars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 0 && n < chars;
}

bool IsAt(HANDLE handle, const wchar_t* expected) noexcept {
    wchar_t final[kLongPathChars];
    if (FinalPathOf(handle, final, kLongPathChars)) return _wcsicmp(final, expected) == 0;
    if (GetLastError() != ERROR_MORE_DATA && GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    // Wine resolves no final path longer than MAX_PATH; the path below the volume, which it
    // resolves the same way, still tells a link apart.
    alignas(FILE_NAME_INFO) unsigned char buffer[sizeof(FILE_NAME_INFO) + kLongPathChars * sizeof(wchar_t)];
    FILE_NAME_INFO* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, info, sizeof buffer - sizeof(wchar_t))) return false;
    const size_t chars = info->FileNameLength / sizeof(wchar_t);
    const wchar_t* below = nullptr;  // expected without its volume
    if (_wcsnicmp(expected, L"\\\\?\\UNC\\", 8) == 0)
        below = expected + 7;
    else if (wcsncmp(expected, L"\\\\?\\", 4) == 0 && expected[4] != L'\0' && expected[5] == L':')
        below = expected + 6;
    return below != nullptr && wcslen(below) == chars && _wcsnicmp(info->FileName, below, chars) == 0;
}

bool HoldFolder(const wchar_t* path, fw::unique_hfile& held, DWORD& error) noexcept {
    // Listing and traversing take part in sharing checks; without delete sharing nobody can
    // rename or delete it, or a folder above it, while it is held.
    held.reset(CreateFileW(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(held)) {
        error = GetLastError();
        return false;
    }
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(held.get(), FileBasicInfo, &info, sizeof info)) {
        error = GetLastError();
        held.reset();
        return false;
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        error = ERROR_DIRECTORY;
        held.reset();
        return false;
    }
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || !IsAt(held.get(), path)) {
        error = ERROR_UNTRUSTED_MOUNT_POINT;
        held.reset();
        return false;
    }
    return true;
}

bool RemoveEmptyFolder(const wchar_t* path) noexcept {
    // By handle, once its final path is checked: a folder above swapped for a link between
    // the check and a removal by name would take the removal elsewhere.
    fw::unique_hfile folder(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(folder)) return false;
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != FILE_ATTRIBUTE_DIRECTORY ||
        !IsAt(folder.get(), path))
        return false;
    // Refused for a folder that is not empty.
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(folder.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}
