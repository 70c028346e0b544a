#include "payload/Recovery.h"

#include <cstdlib>
#include <cwchar>

#include "framework/Handles.h"
#include "framework/PathList.h"
#include "payload/FileSteps.h"
#include "payload/HeldFolder.h"
#include "payload/Journal.h"
#include "payload/ReservedNames.h"

namespace {

constexpr int kWalkDepth = 128;

// What stands at path, seen from the journal: nothing, the run's own file (by its ID), or
// somebody else's.
enum class Standing { Nothing, Ours, Other, Unknown };
Standing WhoStands(const wchar_t* path, uint64_t index, DWORD& error) {
    fw::unique_hfile file(CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                      nullptr));
    if (!fw::Valid(file)) {
        error = GetLastError();
        return Gone(error) ? Standing::Nothing : Standing::Unknown;
    }
    uint64_t i = 0;
    if (!FileIdOf(file.get(), i)) {
        error = GetLastError();
        return Standing::Unknown;
    }
    return i == index ? Standing::Ours : Standing::Other;
}

// Handles kept for the length of a clean-up, closed on every path.
class HandleList {
public:
    HandleList() = default;
    HandleList(const HandleList&) = delete;
    HandleList& operator=(const HandleList&) = delete;
    ~HandleList() { Close(); }
    bool Add(HANDLE h) {
        if (!Grow(items_, count_, capacity_, 16)) return false;
        items_[count_++] = h;
        return true;
    }
    void Close() {
        for (size_t i = count_; i > 0; --i) CloseHandle(items_[i - 1]);
        free(items_);
        items_ = nullptr;
        count_ = capacity_ = 0;
    }

private:
    HANDLE* items_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
};

// One clean-up of a target folder: the folders it walked and holds, the backups it found.
struct CleanUp {
    const wchar_t* root;
    size_t rootChars;
    InstallReport* report;
    HandleList holds;
    fw::PathList folders;   // every folder held, by full path
    fw::PathList backups;   // every backup-shaped name found
    bool clean = true;

    void Failed(const wchar_t* path, DWORD error, InstallReason reason = InstallReason::None) {
        if (report != nullptr) report->Fail(InstallStep::Preparing, path + rootChars, error, reason);
        clean = false;
    }
    bool Holds(const wchar_t* folder, size_t chars) const {
        for (size_t i = 0; i < folders.Count(); ++i)
            if (wcslen(folders.At(i)) == chars && _wcsnicmp(folders.At(i), folder, chars) == 0) return true;
        return false;
    }
    void Walk(wchar_t (&path)[kLongPathChars], size_t length, int depth);
    void Undo(const RecordHead& head, const wchar_t* path);
};

// Deletes part and spent files, notes backups, and holds every folder on the way, so that
// none of them can be swapped for a link before the clean-up is done.
void CleanUp::Walk(wchar_t (&path)[kLongPathChars], size_t length, int depth) {
    // Deeper than any pack goes: a user's own tree, not walked (and never blocking an install).
    if (depth > kWalkDepth) return;
    path[length - 1] = L'\0';
    fw::unique_hfile held;
    DWORD error = 0;
    const bool holding = HoldFolder(path, held, error);
    path[length - 1] = L'\\';
    // A link below the target is not entered: nothing of a run of ours is behind it, and a
    // folder of the pack there is refused when the install reaches it.
    if (!holding && depth > 0 && error == ERROR_UNTRUSTED_MOUNT_POINT) return;
    if (!holding) return Failed(path, error, error == ERROR_UNTRUSTED_MOUNT_POINT ? InstallReason::RefusedLink : InstallReason::None);
    if (!holds.Add(held.get())) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
    held.release();
    if (!folders.Add(path)) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
    if (!AppendPath(path, length, L"*")) return Failed(path, ERROR_BUFFER_OVERFLOW);
    WIN32_FIND_DATAW data;
    fw::unique_hfind find(FindFirstFileExW(path, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    path[--length] = L'\0';
    if (find.get() == INVALID_HANDLE_VALUE) return;
    do {
        const wchar_t* name = data.cFileName;
        const size_t nameChars = wcslen(name);
        if (wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) continue;
        size_t end = length;
        if (!AppendPath(path, end, name)) continue;
        if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
            // Never into a linked folder: its contents are not ours.
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && AppendPath(path, end, L"\\"))
                Walk(path, end, depth + 1);
        } else if (IsNumberedName(name, nameChars, kPartSuffix) || IsNumberedName(name, nameChars, kSpentSuffix)) {
            if (!Discard(path, error)) Failed(path, error);
        } else if (IsBackupName(name, nameChars)) {
            if (!backups.Add(path)) Failed(path, ERROR_NOT_ENOUGH_MEMORY);
        }
        path[length] = L'\0';
    } while (FindNextFileW(find.get(), &data));
}

// One record of a run that never committed, undone: its files leave their names, old files
// come back. A file that is not the run's own (by its ID) stays, and its backup goes.
void CleanUp::Undo(const RecordHead& head, const wchar_t* path) {
    if (head.kind == kFolderMade) return;  // once the files are out, see below
    wchar_t backup[kLongPathChars];
    if (!BackupPathOf(path, backup)) return Failed(path, ERROR_BUFFER_OVERFLOW);
    DWORD error = 0;
    const Standing standing = WhoStands(path, head.index, error);
    if (standing == Standing::Unknown) return Failed(path, error);
    if (head.kind == kNewFile) {
        if (standing == Standing::Ours && !Discard(path, error)) Failed(path, error);
        return;
    }
    if (IsNameFree(backup)) return;
    // A removal's ID is the old file's own: standing at its name, it never left (and the
    // backup is no backup of this run). Somebody else's file keeps the name, and the backup
    // that would have displaced it goes.
    if (head.kind == kRemovedFile && standing == Standing::Ours) return;
    if (standing == Standing::Other) {
        if (!Discard(backup, error)) Failed(backup, error);
        return;
    }
    if (standing == Standing::Ours && !Discard(path, error)) return Failed(path, error);
    if (!MoveFileExW(backup, path, 0)) Failed(path, GetLastError());
}

} // namespace

bool CleanUpInterruptedRun(const wchar_t* folder, InstallReport* report) noexcept {
    wchar_t path[kLongPathChars];
    size_t length = wcslen(folder);
    if (length == 0 || length >= kLongPathChars || folder[length - 1] != L'\\') return false;
    wmemcpy(path, folder, length + 1);
    CleanUp c{folder, length, report, {}, {}, {}};
    c.Walk(path, length, 0);

    // The commit decides for the whole tree: where it stands the run is finished, else the
    // journal, if any, is undone. Either goes last, once nothing else of the run is left.
    wchar_t journal[kLongPathChars], commit[kLongPathChars];
    size_t journalChars = length, commitChars = length;
    wmemcpy(journal, folder, length + 1);
    wmemcpy(commit, folder, length + 1);
    if (!AppendPath(journal, journalChars, kJournalName) || !AppendPath(commit, commitChars, kCommitName)) return false;
    JournalBytes bytes;
    DWORD error = 0;
    bool committed = false, journaled = false;
    if (!bytes.Read(commit, committed, error)) {
        c.Failed(commit, error);
        return false;
    }
    if (!committed && !bytes.Read(journal, journaled, error)) {
        c.Failed(journal, error);
        return false;
    }
    fw::PathList made;
    if (committed || journaled) {
        JournalRecords records;
        bool known = records.Parse(bytes.Data(), bytes.Size());
        // Undone newest first, finished in order.
        for (size_t k = 0; known && k < records.Count(); ++k) {
            const size_t i = committed ? k : records.Count() - 1 - k;
            RecordHead head;
            wchar_t name[kRecordNameChars];
            wchar_t target[kLongPathChars];
            size_t chars = length;
            wmemcpy(target, folder, length + 1);
            if (!records.At(i, head, name) || !AppendPath(target, chars, name)) {
                known = false;
                break;
            }
            // Only through folders the walk holds: a link that appeared since is not entered.
            const wchar_t* slash = wcsrchr(target, L'\\');
            if (!c.Holds(target, static_cast<size_t>(slash - target) + 1)) continue;
            if (head.kind == kFolderMade) {
                known = made.Add(target);
            } else if (!committed) {
                c.Undo(head, target);
            } else if (head.kind != kNewFile) {
                wchar_t backup[kLongPathChars];
                DWORD discardError = 0;
                if (!BackupPathOf(target, backup) || !Discard(backup, discardError)) c.Failed(backup, discardError);
            }
        }
        if (!known) {
            c.Failed(committed ? commit : journal, ERROR_INVALID_DATA);
            return false;
        }
    }
    // A backup whose record could not be undone (its new file held open, say) still stands
    // and would look like one no journal names: the journal stays and a later run goes on.
    if (!c.clean) return false;
    // Backups no journal names: from a run of an older setup. Where the name is free the old
    // file goes back; a file standing there cannot be told for the run's own, so it stays.
    for (size_t i = 0; i < c.backups.Count(); ++i) {
        const wchar_t* backup = c.backups.At(i);
        if (IsNameFree(backup)) continue;
        wchar_t original[kLongPathChars];
        if (!OriginalPathOf(backup, original)) continue;
        const bool restored = IsNameFree(original) && MoveFileExW(backup, original, 0);
        if (!restored && !Discard(backup, error)) c.Failed(backup, error);
    }
    if (!c.clean) return false;
    // Folders the undone run made go, newest first, where nothing else is in them; they
    // must not be held for that.
    c.holds.Close();
    // Gathered newest first, from the records read backwards.
    for (size_t i = 0; !committed && i < made.Count(); ++i) RemoveEmptyFolder(made.At(i));
    made.Clear();
    if (committed && !DeleteFileW(commit) && !Gone(GetLastError())) return false;
    return DeleteFileW(journal) || Gone(GetLastError());
}

