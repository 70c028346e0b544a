#include "install/SetupCopy.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

#include <cwchar>
#include <initializer_list>

#include "install/FolderTrust.h"
#include "libdeflate.h"
#include "payload/HeldFolder.h"
#include "payload/LongPath.h"
#include "payload/StepDeadline.h"
#include "payload/Transaction.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace {

constexpr DWORD kChunkBytes = 1u << 20;
constexpr DWORD kNameChars = 1100;

struct LocalFreer {
    void operator()(void* p) const noexcept { LocalFree(p); }
};

bool Long(const wchar_t* path, wchar_t (&out)[kLongPathChars]) {
    size_t length = 0;
    if (!LongFolderPath(path, out, length)) return false;
    out[length - 1] = L'\0';  // a file, or a folder without its backslash
    return true;
}

bool IsHex8(const wchar_t* p) {
    for (int i = 0; i < 8; ++i)
        if (!((p[i] >= L'0' && p[i] <= L'9') || (p[i] >= L'A' && p[i] <= L'F'))) return false;
    return true;
}

// A folder name of ours: an entry key's name, or one with "-<8 hex digits>" after it.
bool IsCopyFolderName(const wchar_t* name, size_t chars) {
    wchar_t key[kEntryKeyChars];
    if (chars > 9 && name[chars - 9] == L'-' && IsHex8(name + chars - 8)) chars -= 9;
    if (chars >= kEntryKeyChars) return false;
    wmemcpy(key, name, chars);
    key[chars] = L'\0';
    return IsEntryKeyName(key);
}

unsigned RandomNumber() {
    using GenRandom = BOOLEAN(WINAPI*)(PVOID, ULONG);
    unsigned value = 0;
    HMODULE advapi = GetModuleHandleW(L"advapi32.dll");
    const auto gen = advapi != nullptr
                         ? reinterpret_cast<GenRandom>(reinterpret_cast<void*>(GetProcAddress(advapi, "SystemFunction036")))
                         : nullptr;
    if (gen != nullptr && gen(&value, sizeof value)) return value;
    // No system generator: a name nobody could have made in advance is all that is needed.
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return static_cast<unsigned>(counter.QuadPart) ^ GetCurrentProcessId() * 2654435761u ^
           static_cast<unsigned>(GetTickCount64());
}

// The NT and DOS forms of a final path agree with the image's mapped name: Windows names the
// mapping "\Device\...", Wine "\??\X:\...".
bool NamesAgree(HANDLE file, const wchar_t* mapped) {
    wchar_t final[kNameChars];
    for (DWORD flags : {FILE_NAME_NORMALIZED | VOLUME_NAME_NT, FILE_NAME_OPENED | VOLUME_NAME_NT}) {
        const DWORD n = GetFinalPathNameByHandleW(file, final, kNameChars, flags);
        if (n > 0 && n < kNameChars && _wcsicmp(final, mapped) == 0) return true;
    }
    const DWORD n = GetFinalPathNameByHandleW(file, final, kNameChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return n > 4 && n < kNameChars && wcsncmp(mapped, L"\\??\\", 4) == 0 && wcsncmp(final, L"\\\\?\\", 4) == 0 &&
           _wcsicmp(final + 4, mapped + 4) == 0;
}

bool OnLocalDisk(HANDLE file) {
    wchar_t final[kNameChars];
    const DWORD n = GetFinalPathNameByHandleW(file, final, kNameChars, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= kNameChars || wcsncmp(final, L"\\\\?\\", 4) != 0 || final[5] != L':') return false;
    const wchar_t root[] = {final[4], L':', L'\\', L'\0'};
    return GetDriveTypeW(root) == DRIVE_FIXED;
}

// The file the process runs from, held so that nobody can write, rename or delete it. A file
// put at the program's name after it started (the program renamed away, as a running program
// can be) is not it: on a local disk its name must be the mapped image's own.
bool OpenRunningFile(fw::unique_hfile& file, DWORD& error) {
    wchar_t path[kNameChars];
    const DWORD n = GetModuleFileNameW(nullptr, path, kNameChars);
    if (n == 0 || n >= kNameChars) {
        error = n == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    file.reset(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                           nullptr));
    if (!fw::Valid(file)) {
        error = GetLastError();
        return false;
    }
    using MappedName = DWORD(WINAPI*)(HANDLE, LPVOID, LPWSTR, DWORD);
    const auto mappedName = reinterpret_cast<MappedName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "K32GetMappedFileNameW")));
    wchar_t mapped[kNameChars] = {};
    const DWORD m = mappedName != nullptr ? mappedName(GetCurrentProcess(), &__ImageBase, mapped, kNameChars) : 0;
    if (m > 0 && m < kNameChars && NamesAgree(file.get(), mapped)) return true;
    // A share names its files in forms of its own; a share is its administrator's to guard.
    if (!OnLocalDisk(file.get())) return true;
    file.reset();
    error = ERROR_FILE_INVALID;
    return false;
}

void Beat(StepDeadline* deadline) {
    if (deadline != nullptr) deadline->Beat();
}

bool ReadAll(HANDLE file, void* buffer, DWORD bytes, DWORD& got, StepDeadline* deadline) {
    got = 0;
    while (got < bytes) {
        Beat(deadline);
        DWORD n = 0;
        if (!ReadFile(file, static_cast<char*>(buffer) + got, bytes - got, &n, nullptr)) return false;
        if (n == 0) break;
        got += n;
    }
    return true;
}

// Whether file is the one this process runs from.
bool IsRunningImage(HANDLE file) {
    wchar_t path[kNameChars];
    const DWORD n = GetModuleFileNameW(nullptr, path, kNameChars);
    if (n == 0 || n >= kNameChars) return false;
    fw::unique_hfile self(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION mine{}, theirs{};
    return fw::Valid(self) && GetFileInformationByHandle(self.get(), &mine) && GetFileInformationByHandle(file, &theirs) &&
           mine.dwVolumeSerialNumber == theirs.dwVolumeSerialNumber && mine.nFileIndexHigh == theirs.nFileIndexHigh &&
           mine.nFileIndexLow == theirs.nFileIndexLow;
}

// A folder below %ProgramData% that a standard user made is that user's; one owned by
// Administrators or SYSTEM is no user's to swap for a link before the next restart.
bool OwnedByAdministrators(const wchar_t* folder) {
    fw::unique_hfile handle(CreateFileW(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR described = nullptr;
    if (!fw::Valid(handle) || !IsAt(handle.get(), folder) ||
        GetSecurityInfo(handle.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &described) != ERROR_SUCCESS)
        return false;
    const bool ours = owner != nullptr && (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) ||
                                           IsWellKnownSid(owner, WinLocalSystemSid));
    LocalFree(described);
    return ours;
}

// The copy scheduled for removal with its folder: at the next restart where the process may
// (elevated), else at the user's next logon.
bool Schedule(EntryHive hive, const wchar_t* copy, const wchar_t* folder) {
    if (hive == EntryHive::Machine)
        return MoveFileExW(copy, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) &&
               MoveFileExW(folder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    // cmd expands % and ends quotes at ", which no folder of ours holds, but a user's profile may.
    if (wcspbrk(copy, L"%\"&^") != nullptr) return false;
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    wchar_t command[kCopyPathChars * 2 + 2 * MAX_PATH];
    const int length = swprintf(command, sizeof command / sizeof *command,
                                L"\"%ls\\cmd.exe\" /d /c del /f /q \"%ls\" & rd \"%ls\"", system, copy, folder);
    if (length <= 0) return false;
    HKEY raw = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0, nullptr, 0,
                        KEY_SET_VALUE, nullptr, &raw, nullptr) != ERROR_SUCCESS)
        return false;
    fw::unique_hkey key(raw);
    wchar_t name[64];
    swprintf(name, 64, L"%ls copy", wcsrchr(folder, L'\\') + 1);
    return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(command),
                          static_cast<DWORD>((wcslen(command) + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

} // namespace

bool CopyRoot(EntryHive hive, wchar_t (&root)[kCopyPathChars]) noexcept {
    PWSTR known = nullptr;
    const KNOWNFOLDERID& id = hive == EntryHive::Machine ? FOLDERID_ProgramData : FOLDERID_LocalAppData;
    if (FAILED(SHGetKnownFolderPath(id, 0, nullptr, &known)) || known == nullptr) {
        CoTaskMemFree(known);
        return false;
    }
    const bool resolved = ResolveFinalFolder(known, root, kCopyPathChars);
    CoTaskMemFree(known);
    if (!resolved) return false;
    const size_t length = wcslen(root);
    if (length > 0 && root[length - 1] == L'\\') root[length - 1] = L'\0';
    return true;
}

bool IsCopyPath(EntryHive hive, const wchar_t* path) noexcept {
    wchar_t root[kCopyPathChars];
    if (!CopyRoot(hive, root)) return false;
    const size_t rootChars = wcslen(root);
    if (_wcsnicmp(path, root, rootChars) != 0 || path[rootChars] != L'\\') return false;
    const wchar_t* folder = path + rootChars + 1;
    const wchar_t* slash = wcschr(folder, L'\\');
    return slash != nullptr && IsCopyFolderName(folder, static_cast<size_t>(slash - folder)) &&
           _wcsicmp(slash + 1, kCopyName) == 0;
}

bool MakeCopyFolder(EntryHive hive, const wchar_t* key, fw::unique_hfile& held, wchar_t (&copy)[kCopyPathChars],
                    DWORD& error) noexcept {
    wchar_t root[kCopyPathChars];
    if (!IsEntryKeyName(key) || !CopyRoot(hive, root)) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    std::unique_ptr<void, LocalFreer> descriptor;
    // Administrators as the owner; where the token may not name them, its default owner.
    const wchar_t* sddl = kCopyFolderSddl;
    auto describe = [&]() {
        PSECURITY_DESCRIPTOR raw = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr)) return false;
        descriptor.reset(raw);
        attributes.lpSecurityDescriptor = raw;
        return true;
    };
    if (hive == EntryHive::Machine && !describe()) {
        error = GetLastError();
        return false;
    }
    error = ERROR_ALREADY_EXISTS;
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t folder[kCopyPathChars];
        const int n = attempt == 0 ? swprintf(folder, kCopyPathChars, L"%ls\\%ls", root, key)
                                   : swprintf(folder, kCopyPathChars, L"%ls\\%ls-%08X", root, key, RandomNumber());
        if (n <= 0 || static_cast<size_t>(n) + 1 + wcslen(kCopyName) >= kCopyPathChars) {
            error = ERROR_FILENAME_EXCED_RANGE;
            return false;
        }
        // Only a folder this call makes will do: whatever stands at a name was somebody's.
        if (!CreateDirectoryW(folder, hive == EntryHive::Machine ? &attributes : nullptr)) {
            error = GetLastError();
            if (error == ERROR_INVALID_OWNER && sddl == kCopyFolderSddl) {
                sddl = kCopyFolderSddl + 4;  // without "O:BA"
                if (!describe()) return false;
                --attempt;
                continue;
            }
            if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS || error == ERROR_ACCESS_DENIED) continue;
            return false;
        }
        wchar_t longFolder[kLongPathChars];
        if (!Long(folder, longFolder) || !HoldFolder(longFolder, held, error)) {
            if (!fw::Valid(held) && error == 0) error = ERROR_UNTRUSTED_MOUNT_POINT;
            return false;
        }
        swprintf(copy, kCopyPathChars, L"%ls\\%ls", folder, kCopyName);
        return true;
    }
    return false;
}

bool WriteCopy(const wchar_t* copy, DWORD& error, StepDeadline* deadline) noexcept {
    fw::unique_hfile source;
    Beat(deadline);
    if (TransactionProbe != nullptr) TransactionProbe(kProbeCopyOpening, 0);
    if (deadline != nullptr && deadline->Expired()) {
        error = ERROR_OPERATION_ABORTED;  // what a cancelled open returns
        return false;
    }
    if (!OpenRunningFile(source, error)) return false;
    Beat(deadline);
    wchar_t target[kLongPathChars];
    if (!Long(copy, target)) {
        error = ERROR_FILENAME_EXCED_RANGE;
        return false;
    }
    fw::unique_hfile written(CreateFileW(target, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(written)) {
        error = GetLastError();
        return false;
    }
    fw::unique_malloc<char> buffer(static_cast<char*>(malloc(2 * kChunkBytes)));
    bool ok = buffer != nullptr && IsAt(written.get(), target);
    error = buffer == nullptr ? ERROR_NOT_ENOUGH_MEMORY : ERROR_UNTRUSTED_MOUNT_POINT;
    uint32_t sourceCrc = 0, copyCrc = 0;
    uint64_t sourceBytes = 0, copyBytes = 0;
    while (ok) {
        DWORD got = 0, put = 0;
        if (!ReadAll(source.get(), buffer.get(), kChunkBytes, got, deadline)) {
            error = GetLastError();
            ok = false;
        } else if (got == 0) {
            break;
        } else if (Beat(deadline), !WriteFile(written.get(), buffer.get(), got, &put, nullptr) || put != got) {
            error = put != got && GetLastError() == ERROR_SUCCESS ? ERROR_DISK_FULL : GetLastError();
            ok = false;
        }
        sourceCrc = libdeflate_crc32(sourceCrc, buffer.get(), got);
        sourceBytes += got;
    }
    // What reached the file, read back through the same handle.
    LARGE_INTEGER start{};
    Beat(deadline);
    if (ok && (!FlushFileBuffers(written.get()) || !SetFilePointerEx(written.get(), start, nullptr, FILE_BEGIN))) {
        error = GetLastError();
        ok = false;
    }
    while (ok) {
        DWORD got = 0;
        if (!ReadAll(written.get(), buffer.get() + kChunkBytes, kChunkBytes, got, deadline)) {
            error = GetLastError();
            ok = false;
        }
        if (got == 0) break;
        copyCrc = libdeflate_crc32(copyCrc, buffer.get() + kChunkBytes, got);
        copyBytes += got;
    }
    if (ok && (copyBytes != sourceBytes || copyCrc != sourceCrc)) {
        error = ERROR_FILE_CORRUPT;
        ok = false;
    }
    if (!ok) {
        FILE_DISPOSITION_INFO disposition{TRUE};
        SetFileInformationByHandle(written.get(), FileDispositionInfo, &disposition, sizeof disposition);
    }
    return ok;
}

CopyRemoval RemoveCopy(EntryHive hive, const wchar_t* copy) noexcept {
    if (!IsCopyPath(hive, copy)) return CopyRemoval::Left;
    wchar_t folder[kCopyPathChars];
    lstrcpynW(folder, copy, kCopyPathChars);
    *wcsrchr(folder, L'\\') = L'\0';
    wchar_t longFolder[kLongPathChars], longCopy[kLongPathChars];
    if (!Long(folder, longFolder) || !Long(copy, longCopy)) return CopyRemoval::Left;
    // Only a folder nobody but an administrator can have swapped for a link by the next restart
    // gets a deletion scheduled: the user's own below %LOCALAPPDATA%, ours below %ProgramData%, and
    // the one the running program is in.
    const bool mayWait = hive == EntryHive::User || OwnedByAdministrators(longFolder);
    bool running = false;
    {
        fw::unique_hfile held;
        DWORD error = 0;
        if (!HoldFolder(longFolder, held, error))
            return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? CopyRemoval::Gone : CopyRemoval::Left;
        fw::unique_hfile file(CreateFileW(longCopy, DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (fw::Valid(file)) {
            FILE_BASIC_INFO info{};
            if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &info, sizeof info) ||
                (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                !IsAt(file.get(), longCopy))
                return CopyRemoval::Left;
            FILE_DISPOSITION_INFO disposition{TRUE};
            // A program's running image cannot be deleted: that is the removal started from it.
            if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
                if (!mayWait && !IsRunningImage(file.get())) return CopyRemoval::Left;
                running = true;
            }
        } else if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            if (GetLastError() != ERROR_SHARING_VIOLATION && GetLastError() != ERROR_ACCESS_DENIED) return CopyRemoval::Left;
            // Attributes can be read whatever the holder shares.
            fw::unique_hfile named(CreateFileW(longCopy, FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
            if (!mayWait && (!fw::Valid(named) || !IsAt(named.get(), longCopy) || !IsRunningImage(named.get())))
                return CopyRemoval::Left;
            running = true;
        }
    }
    if (running) return Schedule(hive, copy, folder) ? CopyRemoval::Scheduled : CopyRemoval::Left;
    return RemoveEmptyFolder(longFolder) || GetFileAttributesW(longFolder) == INVALID_FILE_ATTRIBUTES ? CopyRemoval::Gone
                                                                                                     : CopyRemoval::Left;
}

void RemoveOtherCopies(EntryHive hive, const wchar_t* key, const wchar_t* keep) noexcept {
    wchar_t root[kCopyPathChars], pattern[kCopyPathChars];
    if (!IsEntryKeyName(key) || !CopyRoot(hive, root) || swprintf(pattern, kCopyPathChars, L"%ls\\%ls*", root, key) <= 0)
        return;
    const size_t keyChars = wcslen(key);
    WIN32_FIND_DATAW data;
    fw::unique_hfind find(FindFirstFileExW(pattern, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (find.get() == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = data.cFileName;
        const size_t chars = wcslen(name);
        const bool ours = _wcsnicmp(name, key, keyChars) == 0 &&
                          (chars == keyChars || (chars == keyChars + 9 && name[keyChars] == L'-' && IsHex8(name + keyChars + 1)));
        wchar_t copy[kCopyPathChars];
        if (!ours || swprintf(copy, kCopyPathChars, L"%ls\\%ls\\%ls", root, name, kCopyName) <= 0) continue;
        if (keep == nullptr || _wcsicmp(copy, keep) != 0) RemoveCopy(hive, copy);
    } while (FindNextFileW(find.get(), &data));
}

void CopyWriter::Start(const wchar_t* copy) noexcept {
    lstrcpynW(copy_, copy, kCopyPathChars);
    pending_ = true;
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

DWORD WINAPI CopyWriter::Run(void* self) noexcept {
    auto* writer = static_cast<CopyWriter*>(self);
    StepDeadline deadline;
    deadline.Arm();
    writer->written_ = WriteCopy(writer->copy_, writer->error_, &deadline);
    deadline.Disarm();
    writer->stalled_ = !writer->written_ && deadline.Expired();
    return 0;
}

bool CopyWriter::Wait(DWORD& error) noexcept {
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE);  // bounded by the copy's own watchdog
        CloseHandle(thread_);
        thread_ = nullptr;
    } else if (pending_ && error_ == ERROR_SUCCESS && !written_) {
        Run(this);
    }
    pending_ = false;
    error = error_;
    return written_;
}
