#include "payload/Transaction.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <new>

#include "payload/HeldFolder.h"
#include "payload/Payload.h"

void (*TransactionProbe)(int stage, unsigned index) = nullptr;

namespace {

// The names the setup writes, and the only ones its clean-up touches:
//   ~zl<8 hex>-<5 hex>.part   a file being written
//   ~zl<8 hex>-<5 hex>.~zld   a spent file that could not be deleted yet (a DLL still loaded)
//   ~zlbak.<name>.~zl         an old file moved aside
//   ~zljournal.~zlj           in the target folder: what the run made and put in place
//   ~zlcommit.~zlc            the same journal once every file is in place
constexpr wchar_t kPartPrefix[] = L"~zl";
constexpr wchar_t kPartSuffix[] = L".part";
constexpr wchar_t kSpentSuffix[] = L".~zld";
constexpr wchar_t kBackupPrefix[] = L"~zlbak.";
constexpr wchar_t kBackupSuffix[] = L".~zl";
constexpr wchar_t kJournalName[] = L"~zljournal.~zlj";
constexpr wchar_t kCommitName[] = L"~zlcommit.~zlc";
constexpr size_t kNumberedChars = 3 + 8 + 1 + 5 + 5;
constexpr int kWalkDepth = 128;

// The journal: a magic, then records of a fixed head and a name below the target, in the
// order the run made them. Only whole records count: a tail cut by a kill is ignored.
constexpr unsigned char kJournalMagic[8] = {'Z', 'L', 'J', '1', 0, 0, 0, 0};
enum Kind : unsigned char { kFolderMade = 1, kNewFile = 2, kReplacedFile = 3, kRemovedFile = 4 };
struct RecordHead {
    unsigned char kind;
    unsigned char zero;
    uint16_t chars;
    uint32_t reserved;
    uint64_t index;  // the file ID of the file the run put in place (or, removing, took away)
};
static_assert(sizeof(RecordHead) == 16, "the journal's layout");
constexpr DWORD kJournalLimit = 16u << 20;

bool Append(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text, size_t n) {
    if (length + n >= kLongPathChars) return false;
    wmemcpy(path + length, text, n);
    length += n;
    path[length] = L'\0';
    return true;
}
bool Append(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text) {
    return Append(path, length, text, wcslen(text));
}

bool IsHex(const wchar_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!iswxdigit(p[i])) return false;
    return true;
}

// Room for one more item in a malloc'd array, doubling from first; false when there is none.
template <class T>
bool Grow(T*& items, size_t count, size_t& capacity, size_t first) {
    if (count < capacity) return true;
    const size_t grown = capacity == 0 ? first : capacity * 2;
    void* more = realloc(items, grown * sizeof *items);
    if (more == nullptr) return false;
    items = static_cast<T*>(more);
    capacity = grown;
    return true;
}

// ~zl<8 hex>-<5 hex><suffix>, nothing more and nothing less.
bool IsNumberedName(const wchar_t* name, size_t chars, const wchar_t* suffix) {
    return chars == kNumberedChars && _wcsnicmp(name, kPartPrefix, 3) == 0 && IsHex(name + 3, 8) && name[11] == L'-' &&
           IsHex(name + 12, 5) && _wcsicmp(name + 17, suffix) == 0;
}

bool IsOneName(const wchar_t* name) {
    return IsSafeEntryName(name) && wcschr(name, L'\\') == nullptr && wcschr(name, L'/') == nullptr;
}

// ~zlbak.<name>.~zl with a name that could stand in a folder.
bool IsBackupName(const wchar_t* name, size_t chars) {
    const size_t prefix = wcslen(kBackupPrefix), tail = wcslen(kBackupSuffix);
    if (chars <= prefix + tail || _wcsnicmp(name, kBackupPrefix, prefix) != 0 || _wcsicmp(name + chars - tail, kBackupSuffix) != 0)
        return false;
    const size_t inner = chars - prefix - tail;
    wchar_t original[MAX_PATH];
    if (inner >= MAX_PATH) return false;
    wmemcpy(original, name + prefix, inner);
    original[inner] = L'\0';
    return IsOneName(original);
}

// The backup's path beside the file at path.
bool BackupPathOf(const wchar_t* path, wchar_t (&backup)[kLongPathChars]) {
    const wchar_t* slash = wcsrchr(path, L'\\');
    if (slash == nullptr) return false;
    size_t length = 0;
    return Append(backup, length, path, static_cast<size_t>(slash - path) + 1) && Append(backup, length, kBackupPrefix) &&
           Append(backup, length, slash + 1) && Append(backup, length, kBackupSuffix);
}

// The file's path back from its backup's.
bool OriginalPathOf(const wchar_t* backup, wchar_t (&path)[kLongPathChars]) {
    const wchar_t* slash = wcsrchr(backup, L'\\');
    if (slash == nullptr) return false;
    const wchar_t* name = slash + 1;
    const size_t prefix = wcslen(kBackupPrefix), chars = wcslen(name), tail = wcslen(kBackupSuffix);
    if (chars <= prefix + tail) return false;
    size_t length = 0;
    return Append(path, length, backup, static_cast<size_t>(name - backup)) &&
           Append(path, length, name + prefix, chars - prefix - tail);
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

bool DeleteHandle(HANDLE file) {
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
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

bool Gone(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A file that is not needed any more: deleted, or, while some process still has it loaded,
// moved to a spent name of its own that the next run deletes. False when it still stands.
bool Discard(const wchar_t* path, DWORD& error) {
    if (DeleteFileW(path)) return true;
    error = GetLastError();
    if (Gone(error)) return true;
    wchar_t folder[kLongPathChars];
    lstrcpynW(folder, path, kLongPathChars);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash == nullptr) return false;
    slash[1] = L'\0';
    for (int attempt = 0; attempt < 16; ++attempt) {
        wchar_t spent[kLongPathChars];
        if (!NumberedName(folder, kSpentSuffix, spent)) return false;
        if (MoveFileExW(path, spent, 0)) return true;
        error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS) return false;
    }
    return false;
}

// The file's ID on its volume (the whole tree is on one: a mount point is a reparse point,
// which is never entered). Asked of the file system alone: the Win32 call that also reports
// the volume's serial costs a volume query per file.
bool FileIdOf(HANDLE file, uint64_t& index) {
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
    if (!Append(path, length, L"*")) return Failed(path, ERROR_BUFFER_OVERFLOW);
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

// The journal's bytes, whole; false where it stands but cannot be read as one.
bool ReadJournal(const wchar_t* path, unsigned char*& bytes, DWORD& size, bool& present, DWORD& error) {
    present = false;
    bytes = nullptr;
    size = 0;
    fw::unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(file)) {
        error = GetLastError();
        return Gone(error);
    }
    present = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) {
        error = GetLastError();
        return false;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 || info.nFileSizeHigh != 0 ||
        info.nFileSizeLow > kJournalLimit) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    size = info.nFileSizeLow;
    bytes = static_cast<unsigned char*>(malloc(size + 1));
    DWORD read = 0;
    if (bytes == nullptr || !ReadFile(file.get(), bytes, size, &read, nullptr) || read != size) {
        error = bytes == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        return false;
    }
    return true;
}

// A record's name, checked as one the setup could have written: below the target, no
// link-shaped tricks, no NUL inside.
bool RecordName(const unsigned char* bytes, size_t at, const RecordHead& head, wchar_t (&name)[MAX_PATH * 2]) {
    memcpy(name, bytes + at + sizeof head, static_cast<size_t>(head.chars) * sizeof(wchar_t));
    name[head.chars] = L'\0';
    return wcslen(name) == head.chars && IsSafeEntryName(name) && wcschr(name, L'/') == nullptr &&
           name[head.chars - 1] != L'\\';
}

// Walks the records of a journal; false on one that the setup never writes, before any
// record is visited.
template <class Visit>
bool ForEachRecord(const unsigned char* bytes, DWORD size, bool backwards, Visit visit) {
    // Cut by a kill before the first record was written: nothing to do.
    if (size < sizeof kJournalMagic) return memcmp(bytes, kJournalMagic, size) == 0;
    if (memcmp(bytes, kJournalMagic, sizeof kJournalMagic) != 0) return false;
    // Forward once to check every record and count them; then in the order asked for.
    size_t count = 0;
    for (size_t at = sizeof kJournalMagic; size - at >= sizeof(RecordHead);) {
        RecordHead head;
        memcpy(&head, bytes + at, sizeof head);
        if (head.kind < kFolderMade || head.kind > kRemovedFile || head.zero != 0 || head.chars == 0 ||
            head.chars >= MAX_PATH * 2)
            return false;
        const size_t bytesOfName = static_cast<size_t>(head.chars) * sizeof(wchar_t);
        if (size - at - sizeof head < bytesOfName) break;  // cut by a kill
        wchar_t name[MAX_PATH * 2];
        if (!RecordName(bytes, at, head, name)) return false;
        at += sizeof head + bytesOfName;
        ++count;
    }
    // Gathered into a table so that the records can be visited backwards.
    size_t* starts = static_cast<size_t*>(malloc((count + 1) * sizeof(size_t)));
    if (starts == nullptr) return false;
    size_t at = sizeof kJournalMagic;
    for (size_t i = 0; i < count; ++i) {
        starts[i] = at;
        RecordHead head;
        memcpy(&head, bytes + at, sizeof head);
        at += sizeof head + static_cast<size_t>(head.chars) * sizeof(wchar_t);
    }
    bool ok = true;
    for (size_t k = 0; k < count && ok; ++k) {
        const size_t i = backwards ? count - 1 - k : k;
        RecordHead head;
        memcpy(&head, bytes + starts[i], sizeof head);
        wchar_t name[MAX_PATH * 2];
        ok = RecordName(bytes, starts[i], head, name) && visit(head, name);
    }
    free(starts);
    return ok;
}

} // namespace

bool IsNameFree(const wchar_t* path) noexcept {
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES && Gone(GetLastError());
}

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
    if (!Append(journal, journalChars, kJournalName) || !Append(commit, commitChars, kCommitName)) return false;
    unsigned char* bytes = nullptr;
    DWORD size = 0, error = 0;
    bool committed = false, journaled = false;
    if (!ReadJournal(commit, bytes, size, committed, error)) {
        free(bytes);
        c.Failed(commit, error);
        return false;
    }
    if (!committed && !ReadJournal(journal, bytes, size, journaled, error)) {
        free(bytes);
        c.Failed(journal, error);
        return false;
    }
    fw::PathList made;
    if (committed || journaled) {
        const bool known = ForEachRecord(bytes, size, !committed, [&](const RecordHead& head, const wchar_t* name) {
            wchar_t target[kLongPathChars];
            size_t chars = length;
            wmemcpy(target, folder, length + 1);
            if (!Append(target, chars, name)) return false;
            // Only through folders the walk holds: a link that appeared since is not entered.
            const wchar_t* slash = wcsrchr(target, L'\\');
            if (!c.Holds(target, static_cast<size_t>(slash - target) + 1)) return true;
            if (head.kind == kFolderMade) return made.Add(target);
            if (!committed) {
                c.Undo(head, target);
            } else if (head.kind != kNewFile) {
                wchar_t backup[kLongPathChars];
                DWORD discardError = 0;
                if (!BackupPathOf(target, backup) || !Discard(backup, discardError)) c.Failed(backup, discardError);
            }
            return true;
        });
        free(bytes);
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

struct InstallTransaction::Staged {
    enum class State { Writing, Staged, OldAside, Placed };
    wchar_t final_[kLongPathChars] = {};
    wchar_t part[kLongPathChars] = {};
    wchar_t backup[kLongPathChars] = {};  // empty: no old file
    fw::unique_hfile partFile, oldFile;
    FILE_BASIC_INFO oldInfo{};
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
    for (size_t i = 0; i < count_; ++i) delete files_[i];
    free(files_);
    ReleaseFolders();
    free(records_);
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
    if (report_ != nullptr) report_->Fail(step, file != nullptr ? file->final_ + rootChars_ : nullptr, error, reason);
}

bool InstallTransaction::Begin(const wchar_t* target, InstallReport* report) noexcept {
    report_ = report;
    wchar_t given[kLongPathChars];
    size_t givenChars = 0;
    if (!LongFolderPath(target, given, givenChars)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    // Links above the target were set up by whoever chose the folder and are followed, once:
    // its parent is resolved to its final path. The target itself must be no link.
    given[--givenChars] = L'\0';
    wchar_t* leaf = wcsrchr(given, L'\\');
    if (leaf == nullptr || leaf[1] == L'\0') {
        Fail(InstallStep::Preparing, nullptr, ERROR_BAD_PATHNAME);
        return false;
    }
    *leaf = L'\0';
    size_t parentChars = wcslen(given);
    // A drive's root opens as a folder only with its backslash.
    if (parentChars > 0 && given[parentChars - 1] == L':') Append(given, parentChars, L"\\");
    fw::unique_hfile parent(CreateFileW(given, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!fw::Valid(parent) || !FinalPathOf(parent.get(), root_, kLongPathChars)) {
        Fail(InstallStep::Preparing, nullptr, GetLastError());
        return false;
    }
    rootChars_ = wcslen(root_);
    if (rootChars_ > 0 && root_[rootChars_ - 1] == L'\\') root_[--rootChars_] = L'\0';
    if (!Append(root_, rootChars_, L"\\") || !Append(root_, rootChars_, leaf + 1)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return false;
    }
    DWORD error = 0;
    if (!HoldFolder(root_, rootFolder_, error) || !Append(root_, rootChars_, L"\\")) {
        Fail(InstallStep::Preparing, nullptr, error);
        return false;
    }
    begun_ = true;
    // What a killed run left is undone or finished first; where that fails, this run
    // changes nothing either.
    if (!CleanUpInterruptedRun(root_, report_)) {
        if (report_ != nullptr && !report_->Failed()) report_->Fail(InstallStep::Preparing, nullptr, ERROR_CANNOT_MAKE);
        committed_ = true;  // nothing of this run to undo
        return false;
    }
    wchar_t journal[kLongPathChars];
    size_t journalChars = 0;
    if (!Append(journal, journalChars, root_) || !Append(journal, journalChars, kJournalName)) return false;
    journal_.reset(CreateFileW(journal, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fw::Valid(journal_) || !IsAt(journal_.get(), journal)) {
        Fail(InstallStep::Preparing, nullptr, fw::Valid(journal_) ? ERROR_UNTRUSTED_MOUNT_POINT : GetLastError());
        if (fw::Valid(journal_)) DeleteHandle(journal_.get());
        journal_.reset();
        committed_ = true;
        return false;
    }
    recordBytes_ = 0;
    if (!Record(0, nullptr, 0)) return false;
    return true;
}

bool InstallTransaction::Record(unsigned char kind, const wchar_t* relative, uint64_t index) noexcept {
    const size_t chars = relative != nullptr ? wcslen(relative) : 0;
    const size_t bytes = kind == 0 ? sizeof kJournalMagic : sizeof(RecordHead) + chars * sizeof(wchar_t);
    if (kind != 0 && (chars == 0 || chars >= MAX_PATH * 2)) return false;
    if (recordBytes_ + bytes > recordCapacity_) {
        const size_t grown = (recordCapacity_ == 0 ? 4096 : recordCapacity_ * 2) + bytes;
        void* records = realloc(records_, grown);
        if (records == nullptr) return false;
        records_ = static_cast<unsigned char*>(records);
        recordCapacity_ = grown;
    }
    if (kind == 0) {
        memcpy(records_, kJournalMagic, sizeof kJournalMagic);
    } else {
        const RecordHead head{kind, 0, static_cast<uint16_t>(chars), 0, index};
        memcpy(records_ + recordBytes_, &head, sizeof head);
        memcpy(records_ + recordBytes_ + sizeof head, relative, chars * sizeof(wchar_t));
    }
    recordBytes_ += bytes;
    return true;
}

// Records reach the disk before the step they make undoable: a folder at once, files in
// one write before the first rename.
bool InstallTransaction::FlushJournal() noexcept {
    if (flushedBytes_ == recordBytes_) return true;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(recordBytes_ - flushedBytes_);
    if (!WriteFile(journal_.get(), records_ + flushedBytes_, bytes, &written, nullptr) || written != bytes) {
        Fail(InstallStep::Writing, nullptr, GetLastError());
        return false;
    }
    flushedBytes_ = recordBytes_;
    return true;
}

bool InstallTransaction::Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept {
    size_t length = rootChars_;
    wmemcpy(path, root_, rootChars_ + 1);
    return Append(path, length, relative);
}

// path: a folder below the target with its trailing backslash, entered as itself.
bool InstallTransaction::Enter(const wchar_t* path, bool created) noexcept {
    for (size_t i = 0; i < heldCount_; ++i)
        if (_wcsicmp(held_[i].path, path) == 0) return true;
    if (!Grow(held_, heldCount_, heldCapacity_, 16)) return false;
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
    (void)created;
    wchar_t* copy = _wcsdup(path);
    if (copy == nullptr) return false;
    held_[heldCount_++] = Held{copy, handle.release()};
    return true;
}

bool InstallTransaction::MakeFolder(const wchar_t* relative) noexcept {
    // The files of a folder follow one another: it was entered a moment ago.
    if (wcscmp(relative, lastFolder_) == 0) return true;
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
            bool created = false;
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
                if (!Record(kFolderMade, path + rootChars_, 0) || !FlushJournal()) return false;
                if (CreateDirectoryW(path, nullptr)) {
                    created = true;
                    if (!createdFolders_.Add(path)) {
                        RemoveDirectoryW(path);
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
            const bool entered = Enter(path, created);
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
    if (!Grow(files_, count_, capacity_, 64)) return nullptr;
    Staged* file = new (std::nothrow) Staged;
    if (file == nullptr) return nullptr;
    files_[count_++] = file;
    if (!Join(relative, file->final_)) {
        Fail(InstallStep::Preparing, nullptr, ERROR_BUFFER_OVERFLOW, InstallReason::NoRoom);
        return nullptr;
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
    if (!GetFileInformationByHandleEx(file.oldFile.get(), FileBasicInfo, &file.oldInfo, sizeof file.oldInfo)) {
        Fail(InstallStep::Placing, &file, GetLastError());
        return false;
    }
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
    uint64_t index = 0;
    if (!IsAt(file.partFile.get(), file.part)) {
        Fail(InstallStep::Writing, &file, ERROR_UNTRUSTED_MOUNT_POINT);
        return false;
    }
    if (!FileIdOf(file.partFile.get(), index) ||
        !Record(file.backup[0] != L'\0' ? kReplacedFile : kNewFile, file.final_ + rootChars_, index)) {
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
    uint64_t index = 0;
    if (!FileIdOf(file.oldFile.get(), index) || !Record(kRemovedFile, file.final_ + rootChars_, index)) {
        Fail(InstallStep::Removing, &file, GetLastError());
        return false;
    }
    return true;
}

bool InstallTransaction::Write(const void* data, size_t bytes) noexcept {
    if (count_ == 0) return false;
    Staged& file = *files_[count_ - 1];
    const char* p = static_cast<const char*>(data);
    while (bytes > 0) {
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

void InstallTransaction::EndFile() noexcept {
    if (count_ == 0) return;
    files_[count_ - 1]->state = Staged::State::Staged;
    if (TransactionProbe != nullptr) TransactionProbe(0, static_cast<unsigned>(count_ - 1));
}

bool InstallTransaction::Commit() noexcept {
    for (size_t i = 0; i < count_; ++i) {
        if (files_[i]->state != Staged::State::Staged) {
            Rollback();
            return false;
        }
    }
    if (!FlushJournal()) {
        Rollback();
        return false;
    }
    if (TransactionProbe != nullptr) TransactionProbe(7, 0);
    for (size_t i = 0; i < count_; ++i) {
        Staged& file = *files_[i];
        if (file.backup[0] != L'\0') {
            if (!RenameHandle(file.oldFile.get(), file.backup)) {
                Fail(InstallStep::Placing, &file, GetLastError());
                Rollback();
                return false;
            }
            file.state = Staged::State::OldAside;
        }
        if (TransactionProbe != nullptr) TransactionProbe(1, static_cast<unsigned>(i));
        if (!file.removal) {
            // No replacing: whatever took the name meanwhile is not overwritten.
            if (!RenameHandle(file.partFile.get(), file.final_)) {
                Fail(InstallStep::Placing, &file, GetLastError());
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
    // The commit point, one rename: from here a killed run is finished by the next one, not undone.
    wchar_t commit[kLongPathChars];
    size_t commitChars = 0;
    if (!Append(commit, commitChars, root_) || !Append(commit, commitChars, kCommitName) ||
        !RenameHandle(journal_.get(), commit)) {
        Fail(InstallStep::Placing, nullptr, GetLastError());
        Rollback();
        return false;
    }
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
            DWORD error = 0;
            tidy = Discard(file.backup, error) && tidy;
            if (TransactionProbe != nullptr) TransactionProbe(6, static_cast<unsigned>(i));
        }
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
    bool undone = true;
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
