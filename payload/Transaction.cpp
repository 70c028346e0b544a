#include "payload/Transaction.h"

#include <cstdlib>
#include <cwchar>
#include <new>

#include "payload/Payload.h"

void (*TransactionProbe)(int stage, unsigned index) = nullptr;

namespace {

constexpr wchar_t kPartPrefix[] = L"~zl";
constexpr wchar_t kPartSuffix[] = L".part";
constexpr wchar_t kBackupPrefix[] = L"~zlbak.";
constexpr wchar_t kBackupSuffix[] = L".~zl";
// A backup of a finished install that could not be deleted yet (a DLL still loaded).
constexpr wchar_t kSpentSuffix[] = L".~zld";

bool EndsWith(const wchar_t* text, size_t length, const wchar_t* suffix) {
    const size_t n = wcslen(suffix);
    return length >= n && _wcsicmp(text + length - n, suffix) == 0;
}

bool Append(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text) {
    const size_t n = wcslen(text);
    if (length + n >= kLongPathChars) return false;
    wmemcpy(path + length, text, n + 1);
    length += n;
    return true;
}

// The long-path form, so that a part file's longer name never hits the 260-character limit.
bool LongFolderPath(const wchar_t* folder, wchar_t (&out)[kLongPathChars], size_t& length) {
    wchar_t full[kLongPathChars];
    const DWORD n = GetFullPathNameW(folder, kLongPathChars, full, nullptr);
    if (n == 0 || n >= kLongPathChars) return false;
    length = 0;
    out[0] = L'\0';
    bool ok;
    if (wcsncmp(full, L"\\\\?\\", 4) == 0)
        ok = Append(out, length, full);
    else if (full[0] == L'\\' && full[1] == L'\\')
        ok = Append(out, length, L"\\\\?\\UNC\\") && Append(out, length, full + 2);
    else
        ok = Append(out, length, L"\\\\?\\") && Append(out, length, full);
    if (ok && out[length - 1] != L'\\') ok = Append(out, length, L"\\");
    return ok;
}

// One request where a move by name takes three; the handle then knows its new name.
bool RenameHandle(HANDLE file, const wchar_t* path) {
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


void CleanUpFolder(wchar_t (&path)[kLongPathChars], size_t length, int depth) {
    if (depth > 32 || !Append(path, length, L"*")) return;
    WIN32_FIND_DATAW data;
    fw::unique_hfind find(FindFirstFileExW(path, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    path[--length] = L'\0';
    if (find.get() == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = data.cFileName;
        const size_t nameChars = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        size_t end = length;
        if (!Append(path, end, name)) continue;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // Never into a linked folder: its contents are not ours.
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && Append(path, end, L"\\"))
                CleanUpFolder(path, end, depth + 1);
        } else if (_wcsnicmp(name, kBackupPrefix, wcslen(kBackupPrefix)) == 0 && EndsWith(name, nameChars, kBackupSuffix)) {
            // An install that never finished: its old file goes back under its name, over
            // the new one if that was already in place, so the folder is the old set again.
            wchar_t original[kLongPathChars];
            size_t originalChars = length;
            wmemcpy(original, path, length);
            const size_t prefix = wcslen(kBackupPrefix), inner = nameChars - prefix - wcslen(kBackupSuffix);
            if (inner > 0 && originalChars + inner < kLongPathChars) {
                wmemcpy(original + originalChars, name + prefix, inner);
                original[originalChars + inner] = L'\0';
                if (!IsNameFree(original)) DeleteFileW(original);
                MoveFileExW(path, original, 0);
            }
        } else if (_wcsnicmp(name, kBackupPrefix, wcslen(kBackupPrefix)) == 0 && EndsWith(name, nameChars, kSpentSuffix)) {
            DeleteFileW(path);
        } else if (_wcsnicmp(name, kPartPrefix, wcslen(kPartPrefix)) == 0 && EndsWith(name, nameChars, kPartSuffix)) {
            DeleteFileW(path);
        }
        path[length] = L'\0';
    } while (FindNextFileW(find.get(), &data));
}

} // namespace

bool IsNameFree(const wchar_t* path) noexcept {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

void CleanUpInterruptedRun(const wchar_t* folder) noexcept {
    wchar_t path[kLongPathChars];
    const size_t length = wcslen(folder);
    if (length == 0 || length >= kLongPathChars) return;
    wmemcpy(path, folder, length + 1);
    CleanUpFolder(path, length, 0);
}

struct InstallTransaction::Staged {
    enum class State { Writing, Staged, OldAside, Placed };
    wchar_t final_[kLongPathChars] = {};
    wchar_t part[kLongPathChars] = {};
    wchar_t backup[kLongPathChars] = {};  // empty: no old file
    fw::unique_hfile partFile, oldFile;
    FILE_BASIC_INFO oldInfo{};
    uint32_t dosDate = 0;
    State state = State::Writing;
};

InstallTransaction::~InstallTransaction() {
    if (begun_ && !committed_) Rollback();
    for (size_t i = 0; i < count_; ++i) delete files_[i];
    free(files_);
}

bool InstallTransaction::Begin(const wchar_t* target) noexcept {
    if (!LongFolderPath(target, root_, rootChars_)) return false;
    begun_ = true;
    CleanUpInterruptedRun(root_);
    return true;
}

bool InstallTransaction::Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept {
    size_t length = rootChars_;
    wmemcpy(path, root_, rootChars_ + 1);
    return Append(path, length, relative);
}

bool InstallTransaction::MakeFolder(const wchar_t* relative) noexcept {
    // The files of a folder follow one another: it was made a moment ago.
    if (wcscmp(relative, lastFolder_) == 0) return true;
    wchar_t path[kLongPathChars];
    if (!Join(relative, path)) return false;
    // Level by level below the target, which exists.
    for (size_t i = rootChars_;; ++i) {
        const wchar_t c = path[i];
        if (c != L'\\' && c != L'\0') continue;
        if (i > rootChars_ && path[i - 1] != L'\\') {
            path[i] = L'\0';
            if (CreateDirectoryW(path, nullptr)) {
                if (!createdFolders_.Add(path)) {
                    RemoveDirectoryW(path);
                    return false;
                }
            } else {
                const DWORD attributes = GetFileAttributesW(path);
                if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return false;
            }
            path[i] = c;
        }
        if (c == L'\0') {
            lstrcpynW(lastFolder_, relative, kLongPathChars);
            return true;
        }
    }
}

bool InstallTransaction::BeginFile(const wchar_t* relative, uint32_t dosDate) noexcept {
    if (count_ == capacity_) {
        const size_t grown = capacity_ == 0 ? 64 : capacity_ * 2;
        void* grownFiles = realloc(files_, grown * sizeof *files_);
        if (grownFiles == nullptr) return false;
        files_ = static_cast<Staged**>(grownFiles);
        capacity_ = grown;
    }
    Staged* file = new (std::nothrow) Staged;
    if (file == nullptr) return false;
    files_[count_++] = file;
    file->dosDate = dosDate;
    if (!Join(relative, file->final_)) return false;
    const wchar_t* slash = wcsrchr(file->final_, L'\\');
    const size_t folderChars = static_cast<size_t>(slash - file->final_) + 1;

    // The old file is held from here to the end, so it cannot be opened for writing or
    // swapped meanwhile; it is checked on this handle. Where no file stands, nothing is
    // opened: one that appears later makes the move in fail, which never replaces.
    const DWORD standing = GetFileAttributesW(file->final_);
    const DWORD standingError = standing == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (standingError != ERROR_FILE_NOT_FOUND && standingError != ERROR_PATH_NOT_FOUND)
        file->oldFile.reset(CreateFileW(file->final_, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (fw::Valid(file->oldFile)) {
        if (!GetFileInformationByHandleEx(file->oldFile.get(), FileBasicInfo, &file->oldInfo, sizeof file->oldInfo))
            return false;
        // A read-only plug-in was meant to stay as it is; a folder is not ours to replace.
        if ((file->oldInfo.FileAttributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
        // The backup is named after the old file as it is spelt on disk, so that it returns
        // under exactly that name.
        WIN32_FIND_DATAW data;
        fw::unique_hfind find(FindFirstFileExW(file->final_, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
        if (find.get() == INVALID_HANDLE_VALUE) return false;
        // A short 8.3 name can stand for another file: only the name itself, in any case, counts.
        if (_wcsicmp(data.cFileName, file->final_ + folderChars) != 0) return false;
        size_t length = folderChars;
        wmemcpy(file->backup, file->final_, folderChars);
        file->backup[length] = L'\0';
        if (!Append(file->backup, length, kBackupPrefix) || !Append(file->backup, length, data.cFileName) ||
            !Append(file->backup, length, kBackupSuffix))
            return false;
        // Where the old name stood, the spelling on disk is what goes back on rollback.
        wmemcpy(file->final_ + folderChars, data.cFileName, wcslen(data.cFileName) + 1);
    } else if (standingError != ERROR_FILE_NOT_FOUND && standingError != ERROR_PATH_NOT_FOUND) {
        // Something stands there that cannot be held: in use without sharing, or no access.
        return false;
    }

    static unsigned counter = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        wchar_t name[40];
        swprintf(name, 40, L"%ls%08lx-%05x%ls", kPartPrefix, GetCurrentProcessId(), counter++ & 0xFFFFF, kPartSuffix);
        size_t length = folderChars;
        wmemcpy(file->part, file->final_, folderChars);
        file->part[length] = L'\0';
        if (!Append(file->part, length, name)) return false;
        file->partFile.reset(CreateFileW(file->part, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (fw::Valid(file->partFile)) return true;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    file->part[0] = L'\0';
    return false;
}

bool InstallTransaction::Write(const void* data, size_t bytes) noexcept {
    if (count_ == 0) return false;
    HANDLE part = files_[count_ - 1]->partFile.get();
    const char* p = static_cast<const char*>(data);
    while (bytes > 0) {
        const DWORD chunk = bytes > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes);
        DWORD written = 0;
        if (!WriteFile(part, p, chunk, &written, nullptr) || written != chunk) return false;
        p += chunk;
        bytes -= chunk;
    }
    return true;
}

void InstallTransaction::EndFile() noexcept {
    if (count_ == 0) return;
    files_[count_ - 1]->state = Staged::State::Staged;
    if (TransactionProbe != nullptr) TransactionProbe(0, static_cast<unsigned>(count_ - 1));
}

bool InstallTransaction::Commit() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        Staged& file = *files_[i];
        if (file.state != Staged::State::Staged) {
            Rollback();
            return false;
        }
        if (file.backup[0] != L'\0') {
            if (!RenameHandle(file.oldFile.get(), file.backup) && !MoveFileExW(file.final_, file.backup, 0)) {
                Rollback();
                return false;
            }
            file.state = Staged::State::OldAside;
        }
        if (TransactionProbe != nullptr) TransactionProbe(1, static_cast<unsigned>(i));
        // No replacing: whatever took the name meanwhile is not overwritten.
        if (!RenameHandle(file.partFile.get(), file.final_) && !MoveFileExW(file.part, file.final_, 0)) {
            Rollback();
            return false;
        }
        file.state = Staged::State::Placed;
        // On the final name: a name vacated moments before hands its creation time to
        // whatever takes it next (tunnelling), so a time set earlier would be lost.
        SetHandleDateFromDos(file.partFile.get(), file.dosDate);
    }
    committed_ = true;
    if (TransactionProbe != nullptr) TransactionProbe(3, static_cast<unsigned>(count_));
    for (size_t i = 0; i < count_; ++i) {
        Staged& file = *files_[i];
        file.partFile.reset();
        file.oldFile.reset();
        // Deleted by name once our handle is closed. A backup still loaded by some process
        // stays, marked as spent so that the next run deletes it instead of restoring it.
        if (file.backup[0] != L'\0' && !DeleteFileW(file.backup)) {
            wchar_t spent[kLongPathChars];
            size_t length = wcslen(file.backup) - wcslen(kBackupSuffix);
            wmemcpy(spent, file.backup, length);
            spent[length] = L'\0';
            if (Append(spent, length, kSpentSuffix)) MoveFileExW(file.backup, spent, 0);
        }
    }
    createdFolders_.Clear();
    return true;
}

void InstallTransaction::Undo(Staged& file) noexcept {
    using State = Staged::State;
    if (file.state == State::Placed) {
        // Out of the name first, by handle: that works even while someone has the new file
        // open or loaded, where deleting it would not free the name.
        if (!RenameHandle(file.partFile.get(), file.part) && !MoveFileExW(file.final_, file.part, 0)) {
            file.partFile.reset();
            DeleteFileW(file.final_);
        }
        file.state = file.backup[0] != L'\0' ? State::OldAside : State::Staged;
    }
    file.partFile.reset();
    if (file.part[0] != L'\0') DeleteFileW(file.part);
    if (file.state == State::OldAside &&
        (RenameHandle(file.oldFile.get(), file.final_) || MoveFileExW(file.backup, file.final_, 0)) &&
        fw::Valid(file.oldFile)) {
        // Back under its name it would take the creation time of the file that just left it.
        SetFileInformationByHandle(file.oldFile.get(), FileBasicInfo, &file.oldInfo, sizeof file.oldInfo);
    }
    // An old file that could not go back stays as a backup: the next run restores it.
    file.oldFile.reset();
    file.part[0] = L'\0';
    file.state = State::Staged;
}

void InstallTransaction::Rollback() noexcept {
    for (size_t i = count_; i > 0; --i) Undo(*files_[i - 1]);
    createdFolders_.RemoveFoldersNewestFirst();
    committed_ = true;  // nothing left to undo
}
