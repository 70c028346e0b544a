#include "payload/Transaction.h"

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <new>

#include "payload/Payload.h"

void (*TransactionProbe)(int stage, unsigned index) = nullptr;

namespace {

// The names the setup writes, and the only ones its clean-up touches:
//   ~zl<8 hex>-<5 hex>.part   a file being written
//   ~zl<8 hex>-<5 hex>.~zld   a spent file that could not be deleted yet (a DLL still loaded)
//   ~zlbak.<name>.~zl         an old file moved aside
//   ~zlbak.<name>.~zln        marks <name> as new to its folder: undoing removes it
//   ~zlcommit.~zlc            in the target folder: every file is in place, the rest is tidying
constexpr wchar_t kPartPrefix[] = L"~zl";
constexpr wchar_t kPartSuffix[] = L".part";
constexpr wchar_t kSpentSuffix[] = L".~zld";
constexpr wchar_t kBackupPrefix[] = L"~zlbak.";
constexpr wchar_t kBackupSuffix[] = L".~zl";
constexpr wchar_t kNewSuffix[] = L".~zln";
constexpr wchar_t kCommitName[] = L"~zlcommit.~zlc";
constexpr size_t kNumberedChars = 3 + 8 + 1 + 5 + 5;

bool Append(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text) {
    const size_t n = wcslen(text);
    if (length + n >= kLongPathChars) return false;
    wmemcpy(path + length, text, n + 1);
    length += n;
    return true;
}

bool IsHex(const wchar_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!iswxdigit(p[i])) return false;
    return true;
}

// ~zl<8 hex>-<5 hex><suffix>, nothing more and nothing less.
bool IsNumberedName(const wchar_t* name, size_t chars, const wchar_t* suffix) {
    return chars == kNumberedChars && _wcsnicmp(name, kPartPrefix, 3) == 0 && IsHex(name + 3, 8) && name[11] == L'-' &&
           IsHex(name + 12, 5) && _wcsicmp(name + 17, suffix) == 0;
}

// ~zlbak.<name><suffix> with a name that could stand in a folder: its length in inner.
bool IsMarkedName(const wchar_t* name, size_t chars, const wchar_t* suffix, size_t& inner) {
    const size_t prefix = wcslen(kBackupPrefix), tail = wcslen(suffix);
    if (chars <= prefix + tail || _wcsnicmp(name, kBackupPrefix, prefix) != 0 || _wcsicmp(name + chars - tail, suffix) != 0)
        return false;
    inner = chars - prefix - tail;
    wchar_t original[MAX_PATH];
    if (inner >= MAX_PATH) return false;
    wmemcpy(original, name + prefix, inner);
    original[inner] = L'\0';
    return IsSafeEntryName(original) && wcschr(original, L'\\') == nullptr && wcschr(original, L'/') == nullptr;
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

// A fresh name of the given numbered shape in folder (ending in a backslash); false when
// none fits.
bool NumberedName(const wchar_t* folder, const wchar_t* suffix, wchar_t (&path)[kLongPathChars]) {
    static unsigned counter = 0;
    wchar_t name[40];
    swprintf(name, 40, L"%ls%08lx-%05x%ls", kPartPrefix, GetCurrentProcessId(), counter++ & 0xFFFFF, suffix);
    size_t length = 0;
    path[0] = L'\0';
    return Append(path, length, folder) && Append(path, length, name);
}

// A file that is not needed any more: deleted, or, while some process still has it loaded,
// moved to a spent name of its own that the next run deletes. False when it still stands.
bool Discard(const wchar_t* path) {
    if (DeleteFileW(path)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) return true;
    wchar_t folder[kLongPathChars];
    lstrcpynW(folder, path, kLongPathChars);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash == nullptr) return false;
    slash[1] = L'\0';
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t spent[kLongPathChars];
        if (!NumberedName(folder, kSpentSuffix, spent)) return false;
        if (MoveFileExW(path, spent, 0)) return true;
        if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// What the clean-up of one folder does with the names of a killed run. finishing: the run
// had put every file in place, so its backups and markers go; otherwise its new files go
// and its backups go back. Every step can be repeated after a kill. False when something
// of the run could not be undone or finished.
bool CleanUpFolder(wchar_t (&path)[kLongPathChars], size_t length, int depth, bool finishing) {
    if (depth > 32 || !Append(path, length, L"*")) return false;
    WIN32_FIND_DATAW data;
    fw::unique_hfind find(FindFirstFileExW(path, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    path[--length] = L'\0';
    if (find.get() == INVALID_HANDLE_VALUE) return true;
    bool clean = true;
    do {
        const wchar_t* name = data.cFileName;
        const size_t nameChars = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        size_t end = length;
        if (!Append(path, end, name)) continue;
        size_t inner = 0;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // Never into a linked folder: its contents are not ours.
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && Append(path, end, L"\\"))
                clean = CleanUpFolder(path, end, depth + 1, finishing) && clean;
        } else if (IsNumberedName(name, nameChars, kPartSuffix) || IsNumberedName(name, nameChars, kSpentSuffix)) {
            clean = Discard(path) && clean;
        } else if (const bool backup = IsMarkedName(name, nameChars, kBackupSuffix, inner);
                   backup || IsMarkedName(name, nameChars, kNewSuffix, inner)) {
            wchar_t original[kLongPathChars];
            wmemcpy(original, path, length);
            wmemcpy(original + length, name + wcslen(kBackupPrefix), inner);
            original[length + inner] = L'\0';
            if (finishing) {
                clean = Discard(path) && clean;
            } else if (backup) {
                // An install that never finished: its old file goes back under its name, over
                // the new one if that was already in place, so the folder is the old set again.
                clean = Discard(original) && MoveFileExW(path, original, 0) && clean;
            } else {
                // A file new to the folder: it goes, then the mark that named it.
                clean = Discard(original) && DeleteFileW(path) && clean;
            }
        }
        path[length] = L'\0';
    } while (FindNextFileW(find.get(), &data));
    return clean;
}

} // namespace

bool IsNameFree(const wchar_t* path) noexcept {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && GetLastError() == ERROR_FILE_NOT_FOUND;
}

bool CleanUpInterruptedRun(const wchar_t* folder) noexcept {
    wchar_t path[kLongPathChars];
    size_t length = wcslen(folder);
    if (length == 0 || length >= kLongPathChars) return false;
    wmemcpy(path, folder, length + 1);
    wchar_t commit[kLongPathChars];
    size_t commitChars = length;
    wmemcpy(commit, folder, length + 1);
    if (!Append(commit, commitChars, kCommitName)) return false;
    // The commit mark decides for the whole tree; it goes last, once nothing else is left.
    const bool finishing = !IsNameFree(commit);
    if (!CleanUpFolder(path, length, 0, finishing)) return false;
    return !finishing || DeleteFileW(commit) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

struct InstallTransaction::Staged {
    enum class State { Writing, Staged, OldAside, Marked, Placed };
    wchar_t final_[kLongPathChars] = {};
    wchar_t part[kLongPathChars] = {};
    wchar_t backup[kLongPathChars] = {};  // empty: no old file
    wchar_t marker[kLongPathChars] = {};  // names the file as new to its folder; empty: an old file stands
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
    // What a killed run left is undone or finished first; where that fails, this run
    // changes nothing either.
    return CleanUpInterruptedRun(root_);
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

    // The old file is held from here to the end, without delete sharing, so nobody can
    // write, rename or delete it meanwhile (our own renames go through this handle); it is
    // checked on this handle. Where no file stands, nothing is
    // opened: one that appears later makes the move in fail, which never replaces.
    const DWORD standing = GetFileAttributesW(file->final_);
    const DWORD standingError = standing == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (standingError != ERROR_FILE_NOT_FOUND && standingError != ERROR_PATH_NOT_FOUND)
        file->oldFile.reset(CreateFileW(file->final_, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
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

    wchar_t folder[kLongPathChars];
    wmemcpy(folder, file->final_, folderChars);
    folder[folderChars] = L'\0';
    if (!fw::Valid(file->oldFile)) {
        // Named before the move in, so that a kill after it still tells the clean-up that
        // the file is new to the folder.
        size_t length = 0;
        if (!Append(file->marker, length, folder) || !Append(file->marker, length, kBackupPrefix) ||
            !Append(file->marker, length, file->final_ + folderChars) || !Append(file->marker, length, kNewSuffix))
            return false;
    }
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (!NumberedName(folder, kPartSuffix, file->part)) return false;
        file->partFile.reset(CreateFileW(file->part, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
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
        } else {
            fw::unique_hfile marker(CreateFileW(file.marker, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
            if (!fw::Valid(marker)) {
                file.marker[0] = L'\0';  // not ours
                Rollback();
                return false;
            }
            file.state = Staged::State::Marked;
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
        if (TransactionProbe != nullptr) TransactionProbe(4, static_cast<unsigned>(i));
    }
    if (TransactionProbe != nullptr) TransactionProbe(3, static_cast<unsigned>(count_));
    // The commit point: from here a killed run is finished by the next one, not undone.
    wchar_t commit[kLongPathChars];
    size_t commitChars = rootChars_;
    wmemcpy(commit, root_, rootChars_ + 1);
    fw::unique_hfile commitMark;
    if (Append(commit, commitChars, kCommitName))
        commitMark.reset(CreateFileW(commit, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fw::Valid(commitMark)) {
        Rollback();
        return false;
    }
    commitMark.reset();
    committed_ = true;
    if (TransactionProbe != nullptr) TransactionProbe(5, 0);
    bool tidy = true;
    for (size_t i = 0; i < count_; ++i) {
        Staged& file = *files_[i];
        file.partFile.reset();
        file.oldFile.reset();
        // Deleted by name once our handle is closed; one still loaded by some process gets
        // a spent name, which the next run deletes.
        if (file.backup[0] != L'\0') {
            tidy = Discard(file.backup) && tidy;
            if (TransactionProbe != nullptr) TransactionProbe(6, static_cast<unsigned>(i));
        }
        if (file.marker[0] != L'\0') tidy = (DeleteFileW(file.marker) || GetLastError() == ERROR_FILE_NOT_FOUND) && tidy;
    }
    // Only once nothing else of the run is left; otherwise the next run finishes the job.
    if (tidy) DeleteFileW(commit);
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
        file.state = file.backup[0] != L'\0' ? State::OldAside : State::Marked;
    }
    file.partFile.reset();
    if (file.part[0] != L'\0') DeleteFileW(file.part);
    if (file.state == State::OldAside &&
        (RenameHandle(file.oldFile.get(), file.final_) || MoveFileExW(file.backup, file.final_, 0)) &&
        fw::Valid(file.oldFile)) {
        // Back under its name it would take the creation time of the file that just left it.
        SetFileInformationByHandle(file.oldFile.get(), FileBasicInfo, &file.oldInfo, sizeof file.oldInfo);
    }
    // The mark goes once its file has left the name; otherwise it tells the next run to remove it.
    if (file.state == State::Marked && IsNameFree(file.final_)) DeleteFileW(file.marker);
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
