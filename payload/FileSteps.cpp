#include "payload/FileSteps.h"

#include <cwchar>

#include "payload/ReservedNames.h"

bool Gone(DWORD error) noexcept { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

bool IsNameFree(const wchar_t* path) noexcept {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && Gone(GetLastError());
}

bool RenameHandle(HANDLE file, const wchar_t* path) noexcept {
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return false;
    const size_t chars = wcslen(path);
    alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + kLongPathChars * sizeof(wchar_t)] = {};
    if (chars >= kLongPathChars) return false;
    FILE_RENAME_INFO* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(chars * sizeof(wchar_t));
    wmemcpy(info->FileName, path, chars + 1);
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + chars * sizeof(wchar_t))) != FALSE;
}

bool DeleteHandle(HANDLE file) noexcept {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

bool MoveToSpentName(HANDLE file, const wchar_t* path) noexcept {
    const wchar_t* slash = wcsrchr(path, L'\\');
    wchar_t folder[kLongPathChars], spent[kLongPathChars];
    size_t folderChars = 0;
    if (slash == nullptr || !AppendPath(folder, folderChars, path, static_cast<size_t>(slash - path) + 1)) return false;
    for (int attempt = 0; attempt < 16; ++attempt) {
        if (!NumberedName(folder, kSpentSuffix, spent)) return false;
        if (RenameHandle(file, spent)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// Asked of the file system alone: the Win32 call that also reports the volume's serial costs
// a volume query per file.
bool FileIdOf(HANDLE file, uint64_t& index) noexcept {
    struct IoStatus {
        union {
            LONG status;
            PVOID pointer;
        };
        ULONG_PTR information;
    };
    using QueryFile = LONG(NTAPI*)(HANDLE, IoStatus*, PVOID, ULONG, int);
    constexpr int kFileInternalInformation = 6;
    static const QueryFile query = reinterpret_cast<QueryFile>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
    if (query != nullptr) {
        IoStatus io{};
        LARGE_INTEGER id{};
        if (query(file, &io, &id, sizeof id, kFileInternalInformation) >= 0) {
            index = static_cast<uint64_t>(id.QuadPart);
            return true;
        }
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    index = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    return true;
}
