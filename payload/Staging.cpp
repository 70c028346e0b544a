#include "payload/Payload.h"

#include <cstring>
#include <cwchar>

#include "framework/Handles.h"
#include "framework/Module.h"
#include "payload/InstallReport.h"
#include "payload/FileSteps.h"
#include "payload/Transaction.h"

namespace {

constexpr DWORD kStagingChars = 520;

// For SYSTEM, GetTempPath2W gives C:\Windows\SystemTemp (or %SystemTemp%), which only SYSTEM
// and administrators can use; GetTempPathW gives C:\Windows\Temp, where every user can
// create the staging name first and hold it. Every other account gets the same from both.
// Windows 10 and Server builds before 20348 without the updates of March 2025, and Wine, lack it.
DWORD TemporaryFolder(wchar_t (&temp)[kStagingChars]) {
    using GetTempPath2Fn = DWORD(WINAPI*)(DWORD, LPWSTR);
    FARPROC proc = GetProcAddress(GetModuleHandleW(L"kernel32"), "GetTempPath2W");
    GetTempPath2Fn getTempPath2 = nullptr;
    static_assert(sizeof getTempPath2 == sizeof proc);
    memcpy(&getTempPath2, &proc, sizeof proc);
    return getTempPath2 != nullptr ? getTempPath2(kStagingChars, temp) : GetTempPathW(kStagingChars, temp);
}

// The failure of the staging step: path is what it was working on; the system's code is
// the one of the moment, unless a reason says it all.
int Failed(InstallReport* report, const wchar_t* path, InstallReason reason = InstallReason::None) {
    DWORD error = 0;
    if (reason == InstallReason::None) {
        error = GetLastError();
        if (error == ERROR_SUCCESS) error = ERROR_GEN_FAILURE;
    }
    // The final path's "\\?\" is not how an administrator writes it.
    if (path != nullptr && wcsncmp(path, L"\\\\?\\", 4) == 0 && path[5] == L':') path += 4;
    if (report != nullptr) report->Fail(InstallStep::Staging, path, error, reason);
    return -1;
}

// The name the system knows the open file or folder by, every link on the way resolved.
bool FinalPath(HANDLE file, wchar_t (&final)[kStagingChars]) {
    const DWORD n = GetFinalPathNameByHandleW(file, final, kStagingChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 0 && n < kStagingChars;
}

// The temporary folder as it really is, pinned: opened without delete sharing, so that
// neither it nor a folder above it can be renamed or swapped for a link while we use it,
// and named by its final path, with every link on the way resolved. A folder on another
// machine is refused: what a server returns proves nothing.
// False with the system's code set, or with remote set for a folder on another machine.
bool PinTemporaryFolder(const wchar_t* temp, fw::unique_hfile& folder, wchar_t (&final)[kStagingChars], bool& remote) {
    remote = false;
    folder.reset(CreateFileW(temp, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(folder)) return false;
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &basic, sizeof basic)) return false;
    if ((basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        return false;
    }
    if (!FinalPath(folder.get(), final)) {
        if (GetLastError() == ERROR_SUCCESS) SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    remote = wcsncmp(final, L"\\\\?\\", 4) != 0 || _wcsnicmp(final, L"\\\\?\\UNC\\", 8) == 0;
    const wchar_t root[] = {final[4], final[5], L'\\', L'\0'};
    remote = remote || root[1] != L':' || GetDriveTypeW(root) == DRIVE_REMOTE;
    return !remote;
}

bool SameFile(HANDLE file, const wchar_t* path) {
    wchar_t final[kStagingChars];
    return FinalPath(file, final) && _wcsicmp(final, path) == 0;
}

// Anything may stand at the staging name, put there by a process that wants us to write
// through it. It goes, without being followed: a link is removed, never its target. 0
// when the name is free afterwards, else the system's code of the step that failed last.
DWORD ClearStagingName(const wchar_t* path) {
    DWORD error = ERROR_SUCCESS;
    if (!DeleteFileW(path)) {
        error = GetLastError();
        // A read-only file, or an empty folder, opened as itself.
        fw::unique_hfile left(CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        FILE_STANDARD_INFO standard{};
        FILE_BASIC_INFO basic{};
        // The attribute of a file with a second name elsewhere is not ours to change.
        if (!fw::Valid(left)) error = GetLastError();
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
            if (!SetFileInformationByHandle(left.get(), FileDispositionInfo, &disposition, sizeof disposition))
                error = GetLastError();
        }
    }
    if (IsNameFree(path)) return ERROR_SUCCESS;
    return error == ERROR_SUCCESS || error == ERROR_FILE_NOT_FOUND ? ERROR_ALREADY_EXISTS : error;
}

} // namespace

int ExtractPayload(const wchar_t* targetFolder, InstallReport* report, CommitCompanion* companion) {
    // A killed run is undone or finished before anything else can fail, staging included.
    InstallTransaction transaction;
    if (!transaction.Begin(targetFolder, report)) return -1;
    if (companion != nullptr && !transaction.AddCompanion(*companion)) return -1;
    wchar_t staging[kStagingChars] = {};
    HMODULE module = fw::ResourceInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPayloadResourceId), L"ZIP");
    if (resource == nullptr) return Failed(report, nullptr);
    HGLOBAL loaded = LoadResource(module, resource);
    if (loaded == nullptr) return Failed(report, nullptr);
    const void* archive = LockResource(loaded);
    if (archive == nullptr) return Failed(report, nullptr);
    const DWORD size = SizeofResource(module, resource);
    if (size == 0) return Failed(report, nullptr, InstallReason::DamagedArchive);

    // Without a temporary folder the name would land wherever the current directory is.
    wchar_t temp[kStagingChars] = {};
    const DWORD tempChars = TemporaryFolder(temp);
    if (tempChars == 0) return Failed(report, nullptr);
    if (tempChars >= kStagingChars) return Failed(report, nullptr, InstallReason::NoRoom);
    fw::unique_hfile folder;
    bool remote = false;
    if (!PinTemporaryFolder(temp, folder, staging, remote))
        return Failed(report, temp, remote ? InstallReason::RemoteFolder : InstallReason::None);
    size_t length = wcslen(staging);
    if (staging[length - 1] != L'\\') staging[length++] = L'\\';
    if (length + wcslen(kStagedArchiveName) >= kStagingChars) return Failed(report, staging, InstallReason::NoRoom);
    wcscpy(staging + length, kStagedArchiveName);

    if (const DWORD error = ClearStagingName(staging); error != ERROR_SUCCESS) {
        SetLastError(error);
        return Failed(report, staging);
    }
    // Created new and held to the end: shared for reading only, nobody else can write,
    // rename or delete it, and the system deletes it when the handle closes, also when
    // the process is killed.
    fw::unique_hfile staged(CreateFileW(staging, GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                                        CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE |
                                        FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(staged)) return Failed(report, staging);
    if (!SameFile(staged.get(), staging)) return Failed(report, staging, InstallReason::RefusedLink);
    DWORD written = 0;
    if (!WriteFile(staged.get(), archive, size, &written, nullptr)) return Failed(report, staging);
    if (written != size) {
        SetLastError(ERROR_DISK_FULL);
        return Failed(report, staging);
    }
    if (TransactionProbe != nullptr) TransactionProbe(2, 0);
    return ExtractArchiveInto(staged.get(), targetFolder, transaction, 0, report);
}
