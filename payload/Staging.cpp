#include "payload/Payload.h"

#include <cwchar>

#include "framework/Handles.h"
#include "framework/Module.h"
#include "payload/Transaction.h"

namespace {

constexpr DWORD kStagingChars = 520;

// The name the system knows the open file or folder by, every link on the way resolved.
bool FinalPath(HANDLE file, wchar_t (&final)[kStagingChars]) {
    const DWORD n = GetFinalPathNameByHandleW(file, final, kStagingChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 0 && n < kStagingChars;
}

// The temporary folder as it really is, pinned: opened without delete sharing, so that
// neither it nor a folder above it can be renamed or swapped for a link while we use it,
// and named by its final path, with every link on the way resolved. A folder on another
// machine is refused: what a server returns proves nothing.
bool PinTemporaryFolder(const wchar_t* temp, fw::unique_hfile& folder, wchar_t (&final)[kStagingChars]) {
    folder.reset(CreateFileW(temp, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(folder)) return false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &basic, sizeof basic) ||
        (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        return false;
    if (!FinalPath(folder.get(), final) || wcsncmp(final, L"\\\\?\\", 4) != 0 || _wcsnicmp(final, L"\\\\?\\UNC\\", 8) == 0)
        return false;
    const wchar_t root[] = {final[4], final[5], L'\\', L'\0'};
    return root[1] == L':' && GetDriveTypeW(root) != DRIVE_REMOTE;
}

bool SameFile(HANDLE file, const wchar_t* path) {
    wchar_t final[kStagingChars];
    return FinalPath(file, final) && _wcsicmp(final, path) == 0;
}

// Anything may stand at the staging name, put there by a process that wants us to write
// through it. It goes, without being followed: a link is removed, never its target. True
// when the name is free afterwards.
bool ClearStagingName(const wchar_t* path) {
    if (!DeleteFileW(path)) {
        // A read-only file, or an empty folder, opened as itself.
        fw::unique_hfile left(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILE_STANDARD_INFO standard{};
        FILE_BASIC_INFO basic{};
        // The attribute of a file with a second name elsewhere is not ours to change.
        if (fw::Valid(left) && SameFile(left.get(), path) &&
            GetFileInformationByHandleEx(left.get(), FileStandardInfo, &standard, sizeof standard) &&
            (standard.Directory || standard.NumberOfLinks == 1)) {
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
    return IsNameFree(path);
}

} // namespace

int ExtractPayload(const wchar_t* targetFolder, InstallReport* report) {
    // A killed run is undone or finished before anything else can fail, staging included.
    InstallTransaction transaction;
    if (!transaction.Begin(targetFolder, report)) return -1;
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
    wchar_t temp[kStagingChars] = {};
    const DWORD tempChars = GetTempPathW(kStagingChars, temp);
    if (tempChars == 0 || tempChars >= kStagingChars) return -1;
    fw::unique_hfile folder;
    if (!PinTemporaryFolder(temp, folder, staging)) return -1;
    size_t length = wcslen(staging);
    if (staging[length - 1] != L'\\') staging[length++] = L'\\';
    if (length + wcslen(kStagedArchiveName) >= kStagingChars) return -1;
    wcscpy(staging + length, kStagedArchiveName);

    if (!ClearStagingName(staging)) return -1;
    // Created new and held to the end: shared for reading only, nobody else can write,
    // rename or delete it, and the system deletes it when the handle closes, also when
    // the process is killed.
    fw::unique_hfile staged(CreateFileW(staging, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(staged) || !SameFile(staged.get(), staging)) return -1;
    DWORD written = 0;
    if (!WriteFile(staged.get(), archive, size, &written, nullptr) || written != size) return -1;
    if (TransactionProbe != nullptr) TransactionProbe(2, 0);
    return ExtractArchiveInto(staged.get(), targetFolder, transaction, 0, report);
}
