#include "payload/Transaction.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <new>

#include "payload/FileSteps.h"
#include "payload/HeldFolder.h"
#include "payload/Payload.h"
#include "payload/Recovery.h"
#include "payload/ReservedNames.h"

void (*TransactionProbe)(int stage, unsigned index) = nullptr;

struct InstallTransaction::Staged {
    enum class State { Writing, Staged, OldAside, Placed };
    wchar_t final_[kLongPathChars] = {};
    wchar_t part[kLongPathChars] = {};
    wchar_t backup[kLongPathChars] = {};  // empty: no old file
    fw::unique_hfile partFile, oldFile;
    FILE_BASIC_INFO oldInfo{};
    FileIdentity placed, old;
    uint32_t dosDate = 0;
    State state = State::Writing;
    bool removal = false;
};

struct InstallTransaction::Held {
    wchar_t* path;  // full, with its trailing backslash
    HANDLE handle;
};

InstallTransaction::~InstallTransaction() {
    if (begun_ && !committed_) Rollback();
    flusher_.Stop();
    for (size_t i = 0; i < count_; ++i) delete files_[i];
    free(files_);
    free(companions_);
    ReleaseFolders();
}

void InstallTransaction::ReleaseFolders() noexcept {
    for (size_t i = heldCount_; i > 0; --i) {
        CloseHandle(held_[i - 1].handle);
        free(held_[i - 1].path);
    }
    free(held_);
    held_ = nullptr;
    heldCount_ = heldCapacity_ = 0;
    lastFolder_[0] = L'\0';
}

void InstallTransaction::Fail(InstallStep step, const Staged* file, DWORD error, InstallReason reason) noexcept {
    if (error == ERROR_UNTRUSTED_MOUNT_POINT) reason = InstallReason::RefusedLink;
    if (deadline_.Expired()) reason = InstallReason::Stalled;
    if (report_ != nullptr) report_->Fail(step, file != nullptr ? file->final_ + rootChars_ : nullptr, error, reason);
}

// Where the link protection of the process is not on, a folder above could have been
// swapped for a link since the target was resolved: the parent must still be where it was.
bool InstallTransaction::Begin(const wchar_t* target, InstallReport* report) noexcept {
    report_ = report;
    // From the first open on: the parent, the folder and the lock can be held up by another
    // process as much as any later step.
    deadline_.Arm();
    size_t givenChars = 0;
    if (!LongFolderPath(target, root_, givenChars)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    root_[--givenChars] = L'\0';
    rootChars_ = givenChars;
    wchar_t parent[kLongPathChars];
    wmemcpy(parent, root_, givenChars + 1);
    wchar_t* leaf = wcsrchr(parent, L'\\');
    if (leaf == nullptr || leaf[1] == L'\0' || leaf < parent + 6) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BAD_PATHNAME);
        return false;
    }
    // A drive's root opens as a folder only with its backslash, and is named with it.
    leaf[leaf[-1] == L':' ? 1 : 0] = L'\0';
    fw::unique_hfile above(CreateFileW(parent, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                       nullptr));
    FILE_BASIC_INFO info{};
    if (!fw::Valid(above) || !GetFileInformationByHandleEx(above.get(), FileBasicInfo, &info, sizeof info)) {
        Fail(InstallStep::Preparing, nullptr, GetLastError());
        return false;
    }
    // A share's root shows no final path under every system; its name cannot be swapped anyway.
    const wchar_t* server = _wcsnicmp(parent, L"\\\\?\\UNC\\", 8) == 0 ? wcschr(parent + 8, L'\\') : nullptr;
    const bool shareRoot = server != nullptr && wcschr(server + 1, L'\\') == nullptr;
    if ((info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || (!shareRoot && !IsAt(above.get(), parent))) {
        Fail(InstallStep::Preparing, nullptr, ERROR_UNTRUSTED_MOUNT_POINT);
        return false;
    }
    above.reset();
    DWORD error = 0;
    if (!HoldFolder(root_, rootFolder_, error) || !AppendPath(root_, rootChars_, L"\\")) {
        Fail(InstallStep::Preparing, nullptr, error);
        return false;
    }
    begun_ = true;
    committed_ = true;  // nothing of this run to undo until the journal stands
    if (!Lock()) return false;
    // What a killed run left is undone or finished first; where that fails, this run
    // changes nothing either.
    if (!CleanUpInterruptedRun(root_, report_, &deadline_)) {
        if (report_ != nullptr && !report_->Failed()) report_->Fail(InstallStep::Preparing, nullptr, ERROR_CANNOT_MAKE);
        return false;
    }
    wchar_t journal[kLongPathChars];
    size_t journalChars = 0;
    if (!AppendPath(journal, journalChars, root_) || !AppendPath(journal, journalChars, kJournalName)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    journal_.reset(CreateFileW(journal, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fw::Valid(journal_) || !IsAt(journal_.get(), journal)) {
        Fail(InstallStep::Preparing, nullptr, fw::Valid(journal_) ? ERROR_UNTRUSTED_MOUNT_POINT : GetLastError());
        if (fw::Valid(journal_)) DeleteHandle(journal_.get());
        journal_.reset();
        return false;
    }
    if (!journalRecords_.Start()) {
        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        DeleteHandle(journal_.get());
        journal_.reset();
        return false;
    }
    committed_ = false;
    return true;
}

// One setup per Plugins folder, whatever its elevation: a file held without sharing from
// before the clean-up to the end, deleted by the system when the run ends or dies.
bool InstallTransaction::Lock() noexcept {
    wchar_t path[kLongPathChars];
    size_t chars = 0;
    if (!AppendPath(path, chars, root_) || !AppendPath(path, chars, kLockName)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    if (TransactionProbe != nullptr) TransactionProbe(11, 0);
    lock_.reset(CreateFileW(path, GENERIC_READ | DELETE, 0, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(lock_)) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(path);
        const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (report_ != nullptr)
            report_->Fail(InstallStep::Preparing, path + rootChars_, error,
                          error == ERROR_SHARING_VIOLATION ? InstallReason::FolderInUse
                          : folder                         ? InstallReason::ReservedName
                                                           : InstallReason::None);
        return false;
    }
    FILE_BASIC_INFO info{};
    if (!GetFileInformationByHandleEx(lock_.get(), FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) {
        if (report_ != nullptr) report_->Fail(InstallStep::Preparing, path + rootChars_, 0, InstallReason::ReservedName);
        lock_.reset();
        return false;
    }
    return true;
}

// Every file step begins here: the watchdog learns that the run goes on, and a step that it
// had to cancel fails the run.
bool InstallTransaction::Step(InstallStep step, const Staged* file) noexcept {
    deadline_.Beat();
    if (!deadline_.Expired()) return true;
    Fail(step, file, ERROR_OPERATION_ABORTED, InstallReason::Stalled);
    return false;
}

// Records reach the disk before the step they make undoable: a folder's before it is made,
// the files' in one write before the first rename.
bool InstallTransaction::FlushJournal(bool toDisk) noexcept {
    if (journalRecords_.WriteOut(journal_.get()) && (!toDisk || FlushFileBuffers(journal_.get()))) return true;
    Fail(InstallStep::Writing, nullptr, GetLastError());
    return false;
}

bool InstallTransaction::Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept {
    size_t length = rootChars_;
    wmemcpy(path, root_, rootChars_ + 1);
    return AppendPath(path, length, relative);
}

// path: a folder below the target with its trailing backslash, entered as itself.
bool InstallTransaction::Enter(const wchar_t* path) noexcept {
    for (size_t i = 0; i < heldCount_; ++i)
        if (_wcsicmp(held_[i].path, path) == 0) return true;
    if (!Grow(held_, heldCount_, heldCapacity_, 16)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    wchar_t folder[kLongPathChars];
    lstrcpynW(folder, path, kLongPathChars);
    folder[wcslen(folder) - 1] = L'\0';
    fw::unique_hfile handle;
    DWORD error = 0;
    if (!HoldFolder(folder, handle, error)) {
        if (report_ != nullptr)
            report_->Fail(InstallStep::Preparing, path + rootChars_, error,
                          error == ERROR_UNTRUSTED_MOUNT_POINT ? InstallReason::RefusedLink
                          : error == ERROR_DIRECTORY           ? InstallReason::FolderInTheWay
                                                               : InstallReason::None);
        return false;
    }
    wchar_t* copy = _wcsdup(path);
    if (copy == nullptr) {
        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    held_[heldCount_++] = Held{copy, handle.release()};
    return true;
}

bool InstallTransaction::MakeFolder(const wchar_t* relative) noexcept {
    // The files of a folder follow one another: it was entered a moment ago.
    if (wcscmp(relative, lastFolder_) == 0) return true;
    if (!Step(InstallStep::Preparing, nullptr)) return false;
    wchar_t path[kLongPathChars];
    if (!Join(relative, path)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    // Level by level below the target, which exists and is held.
    for (size_t i = rootChars_;; ++i) {
        const wchar_t c = path[i];
        if (c != L'\\' && c != L'\0') continue;
        if (i > rootChars_ && path[i - 1] != L'\\') {
            path[i] = L'\0';
            // Named in the journal on disk before it is made, so that a kill right after still
            // has it removed; one that another process makes in between stays named, and goes
            // only if it is empty.
            const DWORD attributes = GetFileAttributesW(path);
            const DWORD error = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
            if (attributes == INVALID_FILE_ATTRIBUTES && !Gone(error)) {
                if (report_ != nullptr) report_->Fail(InstallStep::Preparing, path + rootChars_, error);
                return false;
            }
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                if (!journalRecords_.Add(kFolderMade, path + rootChars_)) {
                    Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
                    return false;
                }
                if (!FlushJournal(true)) return false;
                if (CreateDirectoryW(path, nullptr)) {
                    if (!createdFolders_.Add(path)) {
                        RemoveDirectoryW(path);
                        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
                        return false;
                    }
                } else if (GetLastError() != ERROR_ALREADY_EXISTS) {
                    if (report_ != nullptr) report_->Fail(InstallStep::Preparing, path + rootChars_, GetLastError());
                    return false;
                }
            }
            path[i] = L'\\';
            const wchar_t after = path[i + 1];
            path[i + 1] = L'\0';
            const bool entered = Enter(path);
            path[i + 1] = after;
            if (!entered) return false;
            if (c == L'\0') path[i] = L'\0';
        }
        if (c == L'\0') {
            lstrcpynW(lastFolder_, relative, kLongPathChars);
            return true;
        }
    }
}

InstallTransaction::Staged* InstallTransaction::NewStaged(const wchar_t* relative) noexcept {
    Staged* file = Grow(files_, count_, capacity_, 64) ? new (std::nothrow) Staged : nullptr;
    if (file == nullptr) {
        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    files_[count_++] = file;
    if (!Join(relative, file->final_)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return nullptr;
    }
    // One name twice (in another case, say) would journal two files for one name, and the
    // clean-up after a kill could never hold both.
    for (size_t i = 0; i + 1 < count_; ++i) {
        if (_wcsicmp(files_[i]->final_, file->final_) == 0) {
            Fail(InstallStep::Checking, file, ERROR_ALREADY_EXISTS, InstallReason::NameTwice);
            return nullptr;
        }
    }
    return file;
}

// The old file (if any) is held from here to the end, without delete sharing, so nobody can
// write, rename or delete it meanwhile; our own renames go through this handle. Where no
// file stands, nothing is opened: one that appears later makes the move in fail, which
// never replaces.
bool InstallTransaction::HoldOld(Staged& file) noexcept {
    const wchar_t* slash = wcsrchr(file.final_, L'\\');
    const size_t folderChars = static_cast<size_t>(slash - file.final_) + 1;
    if (!Step(file.removal ? InstallStep::Removing : InstallStep::Placing, &file)) return false;
    const DWORD standing = GetFileAttributesW(file.final_);
    const DWORD standingError = standing == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_SUCCESS;
    if (Gone(standingError)) return true;
    file.oldFile.reset(CreateFileW(file.final_, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
                                   FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(file.oldFile)) {
        // Something stands there that cannot be held: in use without sharing, or no access.
        Fail(InstallStep::Placing, &file, GetLastError());
        return false;
    }
    FILE_STANDARD_INFO standard{};
    if (!GetFileInformationByHandleEx(file.oldFile.get(), FileBasicInfo, &file.oldInfo, sizeof file.oldInfo) ||
        !GetFileInformationByHandleEx(file.oldFile.get(), FileStandardInfo, &standard, sizeof standard) ||
        !FileIdOf(file.oldFile.get(), file.old.id)) {
        Fail(InstallStep::Placing, &file, GetLastError());
        return false;
    }
    file.old.size = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    // A read-only plug-in was meant to stay as it is; a folder or a link is not ours to replace.
    if ((file.oldInfo.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0) {
        Fail(InstallStep::Placing, &file, ERROR_ACCESS_DENIED, InstallReason::ReadOnlyFile);
        return false;
    }
    if ((file.oldInfo.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        Fail(InstallStep::Placing, &file, ERROR_DIRECTORY,
             (file.oldInfo.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? InstallReason::RefusedLink
                                                                               : InstallReason::FolderInTheWay);
        return false;
    }
    // The backup is named after the old file as it is spelt on disk, so that it returns
    // under exactly that name. A short 8.3 name can stand for another file: only the name
    // itself, in any case, counts.
    WIN32_FIND_DATAW data;
    fw::unique_hfind find(FindFirstFileExW(file.final_, FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0));
    if (find.get() == INVALID_HANDLE_VALUE || _wcsicmp(data.cFileName, file.final_ + folderChars) != 0) {
        Fail(InstallStep::Placing, &file, ERROR_ALREADY_EXISTS, InstallReason::ShortNameClash);
        return false;
    }
    wmemcpy(file.final_ + folderChars, data.cFileName, wcslen(data.cFileName) + 1);
    if (!IsAt(file.oldFile.get(), file.final_) || !BackupPathOf(file.final_, file.backup)) {
        Fail(InstallStep::Placing, &file, ERROR_UNTRUSTED_MOUNT_POINT);
        return false;
    }
    return true;
}

bool InstallTransaction::BeginFile(const wchar_t* relative, uint32_t dosDate) noexcept {
    Staged* staged = NewStaged(relative);
    if (staged == nullptr) return false;
    Staged& file = *staged;
    file.dosDate = dosDate;
    if (!HoldOld(file)) return false;

    const wchar_t* slash = wcsrchr(file.final_, L'\\');
    const size_t folderChars = static_cast<size_t>(slash - file.final_) + 1;
    wchar_t folder[kLongPathChars];
    wmemcpy(folder, file.final_, folderChars);
    folder[folderChars] = L'\0';
    DWORD error = 0;
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (!NumberedName(folder, kPartSuffix, file.part)) break;
        file.partFile.reset(CreateFileW(file.part, GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        if (fw::Valid(file.partFile)) break;
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    if (!fw::Valid(file.partFile)) {
        file.part[0] = L'\0';
        Fail(InstallStep::Writing, &file, error);
        return false;
    }
    if (!IsAt(file.partFile.get(), file.part)) {
        Fail(InstallStep::Writing, &file, ERROR_UNTRUSTED_MOUNT_POINT);
        return false;
    }
    if (!FileIdOf(file.partFile.get(), file.placed.id)) {
        Fail(InstallStep::Writing, &file, GetLastError());
        return false;
    }
    return true;
}

bool InstallTransaction::RemoveFile(const wchar_t* relative) noexcept {
    Staged* staged = NewStaged(relative);
    if (staged == nullptr) return false;
    Staged& file = *staged;
    file.removal = true;
    file.state = Staged::State::Staged;
    // A folder of that name is somebody else's, and not in the way of a removal.
    const DWORD attributes = GetFileAttributesW(file.final_);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return true;
    if (!HoldOld(file)) return false;
    if (!fw::Valid(file.oldFile)) return true;
    if (!journalRecords_.Add(kRemovedFile, file.final_ + rootChars_, file.old)) {
        Fail(InstallStep::Removing, &file, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    return true;
}

bool InstallTransaction::AddCompanion(CommitCompanion& companion) noexcept {
    const void* state = nullptr;
    size_t bytes = 0;
    if (!companion.State(state, bytes) || !Grow(companions_, companionCount_, companionCapacity_, 4) ||
        !journalRecords_.Add(kCompanion, companion.Tag(), {}, {}, state, bytes)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    companions_[companionCount_++] = &companion;
    return true;
}

bool InstallTransaction::Write(const void* data, size_t bytes) noexcept {
    if (count_ == 0) return false;
    Staged& file = *files_[count_ - 1];
    const char* p = static_cast<const char*>(data);
    file.placed.size += bytes;
    while (bytes > 0) {
        if (!Step(InstallStep::Writing, &file)) return false;
        const DWORD chunk = bytes > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes);
        DWORD written = 0;
        if (!WriteFile(file.partFile.get(), p, chunk, &written, nullptr) || written != chunk) {
            Fail(InstallStep::Writing, &file, GetLastError());
            return false;
        }
        p += chunk;
        bytes -= chunk;
    }
    return true;
}

bool InstallTransaction::EndFile(uint32_t crc) noexcept {
    if (count_ == 0) return false;
    Staged& file = *files_[count_ - 1];
    file.placed.crc = crc;
    // On its way to the disk while the next files are inflated.
    if (!journalRecords_.Add(file.backup[0] != L'\0' ? kReplacedFile : kNewFile, file.final_ + rootChars_, file.placed,
                             file.old) ||
        !flusher_.Add(file.partFile.get())) {
        Fail(InstallStep::Writing, &file, GetLastError());
        return false;
    }
    file.state = Staged::State::Staged;
    if (TransactionProbe != nullptr) TransactionProbe(0, static_cast<unsigned>(count_ - 1));
    return true;
}

bool InstallTransaction::Commit() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        if (files_[i]->state != Staged::State::Staged) {
            Rollback();
            return false;
        }
    }
    // Every part file's data, then the whole journal, on the disk before the first rename:
    // a journal the power cut short can only be one that no rename depended on.
    DWORD error = 0;
    if (!flusher_.Finish(error)) {
        Fail(InstallStep::Writing, nullptr, error);
        Rollback();
        return false;
    }
    flusher_.Stop();
    if (!journalRecords_.Add(kComplete, nullptr) || !FlushJournal(true)) {
        Fail(InstallStep::Writing, nullptr, ERROR_NOT_ENOUGH_MEMORY);
        Rollback();
        return false;
    }
    if (TransactionProbe != nullptr) TransactionProbe(7, 0);
    for (size_t i = 0; i < count_; ++i) {
        Staged& file = *files_[i];
        const InstallStep step = file.removal ? InstallStep::Removing : InstallStep::Placing;
        if (!Step(step, &file)) {
            Rollback();
            return false;
        }
        if (file.backup[0] != L'\0') {
            if (!RenameHandle(file.oldFile.get(), file.backup)) {
                Fail(step, &file, GetLastError());
                Rollback();
                return false;
            }
            file.state = Staged::State::OldAside;
        }
        if (TransactionProbe != nullptr) TransactionProbe(1, static_cast<unsigned>(i));
        if (!file.removal) {
            // No replacing: whatever took the name meanwhile is not overwritten.
            if (!Step(step, &file) || !RenameHandle(file.partFile.get(), file.final_)) {
                Fail(step, &file, GetLastError());
                Rollback();
                return false;
            }
            file.state = Staged::State::Placed;
            // On the final name: a name vacated moments before hands its creation time to
            // whatever takes it next (tunnelling), so a time set earlier would be lost.
            SetHandleDateFromDos(file.partFile.get(), file.dosDate);
        }
        if (TransactionProbe != nullptr) TransactionProbe(4, static_cast<unsigned>(i));
    }
    if (TransactionProbe != nullptr) TransactionProbe(3, static_cast<unsigned>(count_));
    for (; companionsApplied_ < companionCount_; ++companionsApplied_) {
        if (!Step(InstallStep::Placing, nullptr) || !companions_[companionsApplied_]->Apply(report_)) {
            if (report_ != nullptr && !report_->Failed()) report_->Fail(InstallStep::Placing, nullptr, ERROR_CANNOT_MAKE);
            ++companionsApplied_;  // its own failure may have left something to undo
            Rollback();
            return false;
        }
    }
    // The commit point, one rename: from here a killed run is finished by the next one, not
    // undone. On the disk before any backup goes, or the backups stay for the next run.
    wchar_t commit[kLongPathChars];
    size_t commitChars = 0;
    if (!Step(InstallStep::Placing, nullptr) || !AppendPath(commit, commitChars, root_) ||
        !AppendPath(commit, commitChars, kCommitName) || !RenameHandle(journal_.get(), commit)) {
        Fail(InstallStep::Placing, nullptr, GetLastError());
        Rollback();
        return false;
    }
    committed_ = true;
    const bool durable = FlushFileBuffers(journal_.get()) != FALSE;
    bool tidy = durable;
    if (TransactionProbe != nullptr) TransactionProbe(5, 0);
    for (size_t i = 0; i < count_ && durable; ++i) {
        Staged& file = *files_[i];
        file.partFile.reset();
        // By the held handle; one still loaded by some process gets a spent name, which the
        // next run deletes.
        if (file.backup[0] != L'\0') {
            deadline_.Beat();
            if (!DeleteHandle(file.oldFile.get())) tidy = MoveToSpentName(file.oldFile.get(), file.backup) && tidy;
            file.oldFile.reset();
            if (TransactionProbe != nullptr) TransactionProbe(6, static_cast<unsigned>(i));
        }
        file.oldFile.reset();
    }
    // Only once nothing else of the run is left; otherwise the next run finishes the job.
    if (tidy) DeleteHandle(journal_.get());
    journal_.reset();
    createdFolders_.Clear();
    ReleaseFolders();
    return true;
}

bool InstallTransaction::Undo(Staged& file) noexcept {
    using State = Staged::State;
    bool undone = true;
    deadline_.Beat();
    if (file.state == State::Placed) {
        // Out of the name first, by handle: that works even while someone has the new file
        // open or loaded, where deleting it would not free the name.
        if (!RenameHandle(file.partFile.get(), file.part)) {
            const DWORD error = GetLastError();
            if (!DeleteHandle(file.partFile.get())) {
                if (report_ != nullptr) report_->FailRollback(file.final_ + rootChars_, error);
                undone = false;
            }
        }
        file.state = file.backup[0] != L'\0' ? State::OldAside : State::Staged;
    }
    if (fw::Valid(file.partFile)) DeleteHandle(file.partFile.get());
    file.partFile.reset();
    if (file.state == State::OldAside) {
        if (RenameHandle(file.oldFile.get(), file.final_)) {
            // Back under its name it would take the creation time of the file that just left it.
            SetFileInformationByHandle(file.oldFile.get(), FileBasicInfo, &file.oldInfo, sizeof file.oldInfo);
        } else {
            // It stays as a backup, named in the journal: the next run puts it back.
            if (report_ != nullptr) report_->FailRollback(file.final_ + rootChars_, GetLastError());
            undone = false;
        }
    }
    file.oldFile.reset();
    file.part[0] = L'\0';
    file.state = State::Staged;
    return undone;
}

void InstallTransaction::Rollback() noexcept {
    if (committed_ || !begun_) return;
    flusher_.Stop();
    bool undone = true;
    for (size_t i = companionsApplied_; i > 0; --i) {
        deadline_.Beat();
        undone = companions_[i - 1]->Undo(report_) && undone;
    }
    companionsApplied_ = 0;
    for (size_t i = count_; i > 0; --i) undone = Undo(*files_[i - 1]) && undone;
    // Folders can only go once nothing holds them.
    ReleaseFolders();
    for (size_t i = createdFolders_.Count(); i > 0; --i) RemoveEmptyFolder(createdFolders_.At(i - 1));
    createdFolders_.Clear();
    // Whatever could not be undone is still named in the journal, for the next run.
    if (undone && fw::Valid(journal_)) DeleteHandle(journal_.get());
    journal_.reset();
    committed_ = true;  // nothing left to undo
}
