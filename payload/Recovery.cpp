#include "payload/Recovery.h"

#include <cstdlib>
#include <cwchar>

#include "framework/Handles.h"
#include "framework/PathList.h"
#include "libdeflate.h"
#include "payload/FileSteps.h"
#include "payload/HeldFolder.h"
#include "payload/Journal.h"
#include "payload/ReservedNames.h"
#include "payload/StepDeadline.h"
#include "payload/Transaction.h"

namespace {

constexpr int kWalkDepth = 128;
constexpr DWORD kCrcChunkBytes = 1u << 20;

CompanionRecovery companionRecovery = nullptr;

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

// A name held for the second phase, with what was read of it.
struct Held {
    wchar_t* path;
    HANDLE handle;
    FILE_BASIC_INFO info;
    uint64_t id, size;
};

// What the second phase does, in order.
enum class Act : unsigned char {
    Free,    // out of its name to a spent one, then deleted where it can be
    Return,  // a backup back under its name, with its times
    Drop,    // a spent file deleted where it can be; one still loaded stays for a later run
};
struct Action {
    Act act;
    size_t held;
    wchar_t* to;  // Return: the name it goes back to
};

int ComparePaths(const void* a, const void* b) {
    return _wcsicmp(*static_cast<wchar_t* const*>(a), *static_cast<wchar_t* const*>(b));
}

// Where a file ID names one file for good, and is kept across renames: NTFS on this machine.
// FAT may change an ID on a rename, ReFS's 64-bit IDs are not unique, and a share reports
// whatever its server does.
bool KeepsFileIds(HANDLE folder, const wchar_t* root) {
    if (_wcsnicmp(root, L"\\\\?\\UNC\\", 8) == 0) return false;
    if (wcsncmp(root, L"\\\\?\\", 4) == 0 && root[4] != L'\0' && root[5] == L':') {
        const wchar_t drive[] = {root[4], L':', L'\\', L'\0'};
        if (GetDriveTypeW(drive) == DRIVE_REMOTE) return false;
    }
    wchar_t system[MAX_PATH + 1];
    if (!GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, nullptr, system, MAX_PATH + 1)) return false;
    return _wcsicmp(system, L"NTFS") == 0;
}

class Recovery {
public:
    Recovery(const wchar_t* root, size_t rootChars, InstallReport* report, StepDeadline* deadline)
        : root_(root), rootChars_(rootChars), report_(report), deadline_(deadline) {}
    Recovery(const Recovery&) = delete;
    Recovery& operator=(const Recovery&) = delete;
    ~Recovery();

    bool Run() noexcept;

private:
    void Failed(const wchar_t* path, DWORD error, InstallReason reason = InstallReason::None) {
        if (deadline_ != nullptr && deadline_->Expired()) reason = InstallReason::Stalled;
        if (report_ != nullptr) report_->Fail(InstallStep::Preparing, path != nullptr ? path + rootChars_ : nullptr, error, reason);
        clean_ = false;
    }
    bool Beat() {
        if (deadline_ == nullptr) return true;
        deadline_->Beat();
        return !deadline_->Expired();
    }
    void Walk(wchar_t (&path)[kLongPathChars], size_t length, int depth);
    bool ReadJournal();
    bool PlanRecord(const JournalRecord& record, const wchar_t* path);
    bool PlanUnnamedBackups();
    bool PlanLeftovers();
    // 1 held, 0 nothing stands there, -1 failed (and reported).
    int Hold(const wchar_t* path, bool readData, size_t& index, bool quiet = false);
    bool Plan(Act act, size_t held, const wchar_t* to = nullptr);
    // ours: whether it is; false where it could not be read to tell (reported).
    bool IsRunsFile(size_t held, const FileIdentity& identity, bool hasSizes, bool withCrc, bool& ours);
    bool CrcOf(HANDLE file, uint32_t& crc);
    bool IsBelowSkipped(const wchar_t* path, size_t chars) const;
    bool IsHeldFolder(const wchar_t* folder, size_t chars) const;
    bool CoverBackup(const wchar_t* backup);
    bool Companions(bool check);
    bool Execute();

    const wchar_t* root_;
    size_t rootChars_;
    InstallReport* report_;
    StepDeadline* deadline_;
    bool clean_ = true, committed_ = false, journaled_ = false, keepsIds_ = false;
    HandleList folderHolds_;
    fw::PathList folders_, skipped_, parts_, spents_, backups_, made_;
    wchar_t** sortedBackups_ = nullptr;
    bool* covered_ = nullptr;
    Held* held_ = nullptr;
    size_t heldCount_ = 0, heldCapacity_ = 0;
    Action* actions_ = nullptr;
    size_t actionCount_ = 0, actionCapacity_ = 0;
    JournalBytes journal_, stray_;
    JournalRecords records_;
    unsigned char* chunk_ = nullptr;
};

Recovery::~Recovery() {
    for (size_t i = heldCount_; i > 0; --i) {
        if (held_[i - 1].handle != INVALID_HANDLE_VALUE) CloseHandle(held_[i - 1].handle);
        free(held_[i - 1].path);
    }
    for (size_t i = 0; i < actionCount_; ++i) free(actions_[i].to);
    free(held_);
    free(actions_);
    free(sortedBackups_);
    free(covered_);
    free(chunk_);
}

// Holds every folder on the way, so that none of them can be swapped for a link before the
// clean-up is done, and notes the names of the setup's shapes. Each folder's listing is
// read to its end before anything below it is entered or changed.
void Recovery::Walk(wchar_t (&path)[kLongPathChars], size_t length, int depth) {
    // Deeper than any pack goes: a user's own tree, not walked (and never blocking an install).
    if (depth > kWalkDepth) return;
    if (!Beat()) return Failed(path, ERROR_OPERATION_ABORTED);
    path[length - 1] = L'\0';
    fw::unique_hfile held;
    DWORD error = 0;
    const bool holding = HoldFolder(path, held, error);
    path[length - 1] = L'\\';
    if (!holding && depth > 0) {
        // A link below the target is not entered: nothing of a run of ours is behind it, and a
        // folder of the pack there is refused when the install reaches it. A folder of the
        // user's that cannot be entered stays as it is, unless the journal names something in it.
        if (error != ERROR_UNTRUSTED_MOUNT_POINT) {
            if (!skipped_.Add(path)) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
            if (report_ != nullptr) report_->Skip(path + rootChars_, error);
        }
        return;
    }
    if (!holding) return Failed(path, error, error == ERROR_UNTRUSTED_MOUNT_POINT ? InstallReason::RefusedLink : InstallReason::None);
    if (depth == 0) keepsIds_ = KeepsFileIds(held.get(), root_);
    if (!folderHolds_.Add(held.get())) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
    held.release();
    if (!folders_.Add(path)) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
    if (!AppendPath(path, length, L"*")) return Failed(path, ERROR_BUFFER_OVERFLOW);
    fw::PathList below;
    {
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
            bool kept = true;
            if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                // Never into a linked folder: its contents are not ours.
                if ((data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && AppendPath(path, end, L"\\"))
                    kept = below.Add(path);
            } else if (IsNumberedName(name, nameChars, kPartSuffix)) {
                kept = parts_.Add(path);
            } else if (IsNumberedName(name, nameChars, kSpentSuffix)) {
                kept = spents_.Add(path);
            } else if (IsBackupName(name, nameChars)) {
                kept = backups_.Add(path);
            }
            path[length] = L'\0';
            if (!kept) return Failed(path, ERROR_NOT_ENOUGH_MEMORY);
        } while (FindNextFileW(find.get(), &data));
    }
    for (size_t i = 0; i < below.Count() && clean_; ++i) {
        wchar_t sub[kLongPathChars];
        size_t subLength = 0;
        if (AppendPath(sub, subLength, below.At(i))) Walk(sub, subLength, depth + 1);
    }
}

int Recovery::Hold(const wchar_t* path, bool readData, size_t& index, bool quiet) {
    if (TransactionProbe != nullptr) TransactionProbe(10, static_cast<unsigned>(heldCount_));
    if (!Beat()) {
        Failed(path, ERROR_OPERATION_ABORTED);
        return -1;
    }
    // Shared for reading only: nobody can write, rename or delete it while it is held, and an
    // open of somebody else's that does not let it be deleted makes this one fail.
    const DWORD access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE | (readData ? FILE_READ_DATA : 0);
    fw::unique_hfile file(CreateFileW(path, access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(file)) {
        const DWORD error = GetLastError();
        if (Gone(error)) return 0;
        if (!quiet) Failed(path, error);
        return -1;
    }
    Held h{nullptr, INVALID_HANDLE_VALUE, {}, 0, 0};
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(file.get(), FileBasicInfo, &h.info, sizeof h.info) ||
        !GetFileInformationByHandleEx(file.get(), FileStandardInfo, &standard, sizeof standard) || !FileIdOf(file.get(), h.id)) {
        Failed(path, GetLastError());
        return -1;
    }
    h.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    h.path = _wcsdup(path);
    if (h.path == nullptr || !Grow(held_, heldCount_, heldCapacity_, 64)) {
        free(h.path);
        Failed(path, ERROR_NOT_ENOUGH_MEMORY);
        return -1;
    }
    h.handle = file.release();
    index = heldCount_;
    held_[heldCount_++] = h;
    return 1;
}

bool Recovery::Plan(Act act, size_t held, const wchar_t* to) {
    wchar_t* copy = nullptr;
    if ((to != nullptr && (copy = _wcsdup(to)) == nullptr) || !Grow(actions_, actionCount_, actionCapacity_, 64)) {
        free(copy);
        Failed(held_[held].path, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    actions_[actionCount_++] = Action{act, held, copy};
    return true;
}

bool Recovery::CrcOf(HANDLE file, uint32_t& crc) {
    if (chunk_ == nullptr && (chunk_ = static_cast<unsigned char*>(malloc(kCrcChunkBytes))) == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    crc = 0;
    for (;;) {
        DWORD read = 0;
        if (!Beat()) {
            SetLastError(ERROR_OPERATION_ABORTED);
            return false;
        }
        if (!ReadFile(file, chunk_, kCrcChunkBytes, &read, nullptr)) return false;
        if (read == 0) return true;
        crc = libdeflate_crc32(crc, chunk_, read);
    }
}

// The file the run put in place (or moved aside): its ID where IDs name one file for good,
// and its size and, for a file the run wrote, its CRC-32 wherever the journal has them: an ID
// alone is reused on some file systems and is not kept across a rename on others.
bool Recovery::IsRunsFile(size_t held, const FileIdentity& identity, bool hasSizes, bool withCrc, bool& ours) {
    const Held& h = held_[held];
    ours = false;
    if ((h.info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return true;
    // The earlier setup's journal has the ID alone.
    if (!hasSizes) {
        ours = h.id == identity.id;
        return true;
    }
    if ((keepsIds_ && h.id != identity.id) || h.size != identity.size) return true;
    uint32_t crc = 0;
    // One that cannot be read (a range locked by another process, a failing disk) is not
    // somebody else's: that would keep the run's file, or discard the backup beside it.
    if (withCrc && !CrcOf(h.handle, crc)) {
        Failed(h.path, GetLastError());
        return false;
    }
    ours = !withCrc || crc == identity.crc;
    return true;
}

bool Recovery::IsHeldFolder(const wchar_t* folder, size_t chars) const {
    for (size_t i = 0; i < folders_.Count(); ++i)
        if (wcslen(folders_.At(i)) == chars && _wcsnicmp(folders_.At(i), folder, chars) == 0) return true;
    return false;
}

bool Recovery::IsBelowSkipped(const wchar_t* path, size_t chars) const {
    for (size_t i = 0; i < skipped_.Count(); ++i) {
        const size_t n = wcslen(skipped_.At(i));
        if (n <= chars && _wcsnicmp(skipped_.At(i), path, n) == 0) return true;
    }
    return false;
}

bool Recovery::CoverBackup(const wchar_t* backup) {
    if (backups_.Count() == 0) return false;
    wchar_t* const* found = static_cast<wchar_t* const*>(
        bsearch(&backup, sortedBackups_, backups_.Count(), sizeof *sortedBackups_, ComparePaths));
    if (found == nullptr) return false;
    covered_[found - sortedBackups_] = true;
    return true;
}

bool Recovery::ReadJournal() {
    wchar_t journal[kLongPathChars], commit[kLongPathChars];
    size_t journalChars = 0, commitChars = 0;
    if (!AppendPath(journal, journalChars, root_) || !AppendPath(journal, journalChars, kJournalName) ||
        !AppendPath(commit, commitChars, root_) || !AppendPath(commit, commitChars, kCommitName)) {
        Failed(nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    DWORD error = 0;
    // The commit decides for the whole tree: where it stands the run is finished, else the
    // journal, if any, is undone.
    if (!journal_.Read(commit, committed_, error)) {
        Failed(commit, error, error == ERROR_DIRECTORY ? InstallReason::ReservedName : InstallReason::None);
        return false;
    }
    bool stray = false;
    if (!(committed_ ? stray_ : journal_).Read(journal, committed_ ? stray : journaled_, error)) {
        Failed(journal, error, error == ERROR_DIRECTORY ? InstallReason::ReservedName : InstallReason::None);
        return false;
    }
    if ((committed_ || journaled_) && !records_.Parse(journal_.Data(), journal_.Size())) {
        Failed(committed_ ? commit : journal, ERROR_INVALID_DATA, InstallReason::ForeignJournal);
        return false;
    }
    return true;
}

// One file's record: what stands at its name and at its backup's is held and decided on.
bool Recovery::PlanRecord(const JournalRecord& record, const wchar_t* path) {
    wchar_t backup[kLongPathChars];
    if (!BackupPathOf(path, backup)) {
        Failed(path, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    CoverBackup(backup);
    size_t at = 0, aside = 0;
    const int standing = Hold(path, record.kind != kRemovedFile && record.hasSizes, at);
    if (standing < 0) return false;
    const int backedUp = Hold(backup, false, aside);
    if (backedUp < 0) return false;
    // The file moved aside must be the run's: a backup the run did not make is not put back.
    const FileIdentity& moved = record.kind == kReplacedFile ? record.old : record.placed;
    bool movedAside = true;
    if (backedUp > 0 && record.kind != kNewFile && record.hasSizes && IsRunsFile(aside, moved, true, false, movedAside) &&
        !movedAside) {
        Failed(backup, 0, InstallReason::NotTheRunsFile);
        return false;
    }
    if (committed_) {
        // Finished: the backups of replaced and removed files go; a backup beside a new file
        // was left by an earlier run and goes back only where its name is free.
        if (backedUp > 0 && (record.kind != kNewFile || standing > 0)) return Plan(Act::Free, aside);
        if (backedUp > 0) return Plan(Act::Return, aside, path);
        return true;
    }
    // Undone. A removal's file standing at its name never left, whatever it is.
    bool ours = false;
    if (standing > 0 && record.kind != kRemovedFile) {
        if (!IsRunsFile(at, record.placed, record.hasSizes, true, ours)) return false;
        if (deadline_ != nullptr && deadline_->Expired()) {
            Failed(path, ERROR_OPERATION_ABORTED);
            return false;
        }
    }
    // A replaced file's successor without its backup stays: taking it away would leave the
    // name empty.
    if (ours && (record.kind == kNewFile || backedUp > 0) && !Plan(Act::Free, at)) return false;
    if (backedUp == 0) return true;
    // Somebody else's file at the name keeps it, and the backup that would displace it goes.
    if (standing > 0 && !ours) return Plan(Act::Free, aside);
    return Plan(Act::Return, aside, path);
}

// Backups no journal names, from an older setup's run: the old file goes back where its name
// is free; a file standing there cannot be told for the run's own, so it stays.
bool Recovery::PlanUnnamedBackups() {
    for (size_t i = 0; i < backups_.Count(); ++i) {
        if (covered_[i]) continue;
        const wchar_t* backup = sortedBackups_[i];
        wchar_t original[kLongPathChars];
        size_t at = 0;
        const int held = Hold(backup, false, at);
        if (held < 0) return false;
        if (held == 0) continue;
        if (!OriginalPathOf(backup, original)) {
            Failed(backup, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
            return false;
        }
        if (!(IsNameFree(original) ? Plan(Act::Return, at, original) : Plan(Act::Free, at))) return false;
    }
    return true;
}

bool Recovery::PlanLeftovers() {
    for (size_t i = 0; i < parts_.Count(); ++i) {
        size_t at = 0;
        const int held = Hold(parts_.At(i), false, at);
        if (held < 0) return false;
        if (held > 0 && !Plan(Act::Free, at)) return false;
    }
    for (size_t i = 0; i < spents_.Count(); ++i) {
        size_t at = 0;
        // One that cannot be held is still open somewhere: in nobody's way, tried again later.
        if (Hold(spents_.At(i), false, at, true) > 0 && !Plan(Act::Drop, at)) return false;
    }
    return true;
}

bool Recovery::Companions(bool check) {
    for (size_t i = 0; i < records_.Count(); ++i) {
        JournalRecord record;
        if (!records_.At(i, record) || record.kind != kCompanion) continue;
        if (!Beat()) {
            Failed(nullptr, ERROR_OPERATION_ABORTED);
            return false;
        }
        if (companionRecovery == nullptr ||
            !companionRecovery(record.name, record.state, record.stateBytes, committed_, check, report_)) {
            if (report_ != nullptr && !report_->Failed())
                report_->Fail(InstallStep::Preparing, nullptr, 0, InstallReason::ForeignJournal);
            clean_ = false;
            return false;
        }
    }
    return true;
}

// The second phase: every name it touches is held, so only the system can make a step fail.
bool Recovery::Execute() {
    for (size_t i = 0; i < actionCount_; ++i) {
        const Action& a = actions_[i];
        Held& h = held_[a.held];
        if (!Beat()) {
            Failed(h.path, ERROR_OPERATION_ABORTED);
            return false;
        }
        switch (a.act) {
        case Act::Free: {
            // Out of the name first, then deleted where it can be.
            const bool moved = MoveToSpentName(h.handle, h.path);
            const bool deleted = DeleteHandle(h.handle);
            if (!moved && !deleted) {
                Failed(h.path, GetLastError());
                return false;
            }
            break;
        }
        case Act::Return:
            if (!RenameHandle(h.handle, a.to)) {
                Failed(a.to, GetLastError());
                return false;
            }
            // Back under its name it would take the creation time of the file that just left it.
            SetFileInformationByHandle(h.handle, FileBasicInfo, &h.info, sizeof h.info);
            break;
        case Act::Drop:
            DeleteHandle(h.handle);
            break;
        }
        CloseHandle(h.handle);
        h.handle = INVALID_HANDLE_VALUE;
    }
    return true;
}

bool Recovery::Run() noexcept {
    wchar_t path[kLongPathChars];
    size_t length = 0;
    if (!AppendPath(path, length, root_)) return false;
    Walk(path, length, 0);
    if (!clean_ || !ReadJournal()) return false;

    // Every name the clean-up will touch, held and decided on before anything changes.
    if (backups_.Count() > 0) {
        sortedBackups_ = static_cast<wchar_t**>(malloc(backups_.Count() * sizeof *sortedBackups_));
        covered_ = static_cast<bool*>(calloc(backups_.Count(), sizeof *covered_));
        if (sortedBackups_ == nullptr || covered_ == nullptr) {
            Failed(nullptr, ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        for (size_t i = 0; i < backups_.Count(); ++i) sortedBackups_[i] = const_cast<wchar_t*>(backups_.At(i));
        qsort(sortedBackups_, backups_.Count(), sizeof *sortedBackups_, ComparePaths);
    }
    // Undone newest first, finished in order.
    for (size_t k = 0; k < records_.Count(); ++k) {
        const size_t i = committed_ ? k : records_.Count() - 1 - k;
        JournalRecord record;
        wchar_t target[kLongPathChars];
        size_t chars = 0;
        if (!records_.At(i, record)) {
            Failed(nullptr, ERROR_INVALID_DATA, InstallReason::ForeignJournal);
            return false;
        }
        if (record.kind == kCompanion || record.kind == kComplete) continue;
        if (!AppendPath(target, chars, root_) || !AppendPath(target, chars, record.name)) {
            Failed(nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
            return false;
        }
        const size_t parentChars = static_cast<size_t>(wcsrchr(target, L'\\') - target) + 1;
        if (!IsHeldFolder(target, parentChars)) {
            // In a folder of the user's that could not be entered: the run cannot be undone
            // or finished without it.
            if (IsBelowSkipped(target, parentChars)) {
                Failed(target, ERROR_ACCESS_DENIED);
                return false;
            }
            // Only through folders the walk holds: a link that appeared since is not entered.
            continue;
        }
        if (record.kind == kFolderMade) {
            if (!committed_ && !made_.Add(target)) {
                Failed(target, ERROR_NOT_ENOUGH_MEMORY);
                return false;
            }
        } else if (!PlanRecord(record, target)) {
            return false;
        }
    }
    if (!PlanUnnamedBackups() || !PlanLeftovers() || !Companions(true)) return false;
    if (TransactionProbe != nullptr) TransactionProbe(9, static_cast<unsigned>(heldCount_));

    if (!Execute() || !Companions(false)) return false;
    // Folders the undone run made go, newest first, where nothing else is in them; they must
    // not be held for that.
    folderHolds_.Close();
    for (size_t i = 0; i < made_.Count(); ++i) RemoveEmptyFolder(made_.At(i));
    // The journal last, once nothing else of the run is left: as the very file that was read.
    for (JournalBytes* j : {&stray_, &journal_}) {
        if (j->File() != INVALID_HANDLE_VALUE && !DeleteHandle(j->File())) {
            Failed(nullptr, GetLastError());
            return false;
        }
    }
    return true;
}

} // namespace

void SetCompanionRecovery(CompanionRecovery recovery) noexcept { companionRecovery = recovery; }

bool CleanUpInterruptedRun(const wchar_t* folder, InstallReport* report, StepDeadline* deadline) noexcept {
    const size_t length = wcslen(folder);
    if (length == 0 || length >= kLongPathChars || folder[length - 1] != L'\\') return false;
    Recovery recovery(folder, length, report, deadline);
    return recovery.Run();
}
