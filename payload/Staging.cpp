#include "payload/Payload.h"

#include <cwchar>

#include "framework/Handles.h"
#include "framework/Module.h"
#include "payload/Transaction.h"

namespace {

constexpr DWORD kStagingChars = 520;

// The temporary folder is the user's: anything may stand at the staging name, put there by
// a process that wants us to write through it. It goes, without being followed: a link
// is removed, never its target. True when the name is free afterwards.
bool ClearStagingName(const wchar_t* path) {
    if (!DeleteFileW(path)) {
        // A read-only file, or an empty folder, opened as itself.
        fw::unique_hfile left(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (fw::Valid(left)) {
            FILE_BASIC_INFO basic{};
            if (GetFileInformationByHandleEx(left.get(), FileBasicInfo, &basic, sizeof basic) &&
                (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
                basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
                if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
                SetFileInformationByHandle(left.get(), FileBasicInfo, &basic, sizeof basic);
            }
            FILE_DISPOSITION_INFO disposition{TRUE};
            SetFileInformationByHandle(left.get(), FileDispositionInfo, &disposition, sizeof disposition);
        }
    }
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

} // namespace

int ExtractPayload(const wchar_t* targetFolder) {
    wchar_t staging[kStagingChars] = {};
    HMODULE module = fw::ResourceInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPayloadResourceId), L"ZIP");
    if (resource == nullptr) return -1;
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return -1;
    const void* archive = LockResource(loaded);
    if (archive == nullptr) return -1;
    const DWORD size = SizeofResource(module, resource);
    if (size == 0) return -1;

    // Without a temporary folder the name would land wherever the current directory is.
    const DWORD tempChars = GetTempPathW(kStagingChars, staging);
    if (tempChars == 0 || tempChars >= kStagingChars) return -1;
    size_t length = wcslen(staging);
    if (staging[length - 1] != L'\\') staging[length++] = L'\\';
    if (length + wcslen(kStagedArchiveName) >= kStagingChars) return -1;
    wcscpy(staging + length, kStagedArchiveName);

    if (!ClearStagingName(staging)) return -1;
    // Created new and held to the end: shared for reading only, nobody else can write,
    // rename or delete it, and the system deletes it when the handle closes, also when
    // the process is killed.
    fw::unique_hfile staged(CreateFileW(staging, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
    if (!fw::Valid(staged)) return -1;
    DWORD written = 0;
    if (!WriteFile(staged.get(), archive, size, &written, nullptr) || written != size) return -1;
    if (TransactionProbe != nullptr) TransactionProbe(2, 0);
    return ExtractArchiveFromFile(staged.get(), targetFolder, 0);
}
