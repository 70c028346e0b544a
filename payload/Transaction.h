// Puts a whole pack in place or nothing. Every file is first written completely beside its
// target under a part name; only then are old files moved aside (a rename, which Windows
// allows for a loaded DLL) and the new ones moved in, one by one. Any failure before the
// end moves every old file back. A journal in the target folder names every folder the run
// made and every file it put in place, by name and by file ID; once every file is in place
// it is renamed to the commit name in one step. A run that was killed is undone by the next
// one from the journal, or finished from the commit; either way nothing of the two sets is
// mixed. The names the run writes begin with "~zl" and never end in an extension the viewer
// loads.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/Handles.h"
#include "framework/PathList.h"
#include "payload/InstallReport.h"
#include "payload/Journal.h"
#include "payload/LongPath.h"

// Tests and the benchmark only (null in the shipped program): called with stage 0 once a
// part file is complete, 1 between moving an old file aside and moving its replacement in
// (for a new file: just before it goes in), 2 once the archive is staged, 3 once every file
// is in place, 4 once a file is in place, 5 once the commit stands, 6 once a backup is
// deleted, 7 once the journal is complete (before the first rename), 8 once a removal's files
// are gone, before its emptied folders go.
extern void (*TransactionProbe)(int stage, unsigned index);

class InstallTransaction {
public:
    InstallTransaction() = default;
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;
    ~InstallTransaction();  // rolls back unless committed

    // target: the target folder, which must not be a link; it is held from here on. Cleans
    // up after an interrupted run there first. report, if given, receives what went wrong.
    bool Begin(const wchar_t* target, InstallReport* report = nullptr) noexcept;
    // relative: '\'-separated below the target. Every level is entered as itself and held;
    // every level this run creates is removed again on rollback.
    bool MakeFolder(const wchar_t* relative) noexcept;
    // Holds the old file (if any) and creates the part file the data is written to.
    bool BeginFile(const wchar_t* relative, uint32_t dosDate) noexcept;
    bool Write(const void* data, size_t bytes) noexcept;
    void EndFile() noexcept;
    // Holds the file at relative, if one stands there, to be removed on commit; true also
    // when nothing stands there.
    bool RemoveFile(const wchar_t* relative) noexcept;
    // Moves everything in place; false after a failure, which has been rolled back.
    bool Commit() noexcept;
    void Rollback() noexcept;

    const wchar_t* Root() const noexcept { return root_; }

private:
    struct Staged;
    struct Held;
    bool Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept;
    bool Enter(const wchar_t* path, bool created) noexcept;
    Staged* NewStaged(const wchar_t* relative) noexcept;
    bool HoldOld(Staged& file) noexcept;
    bool FlushJournal() noexcept;
    void Fail(InstallStep step, const Staged* file, DWORD error, InstallReason reason = InstallReason::None) noexcept;
    bool Undo(Staged& file) noexcept;
    void ReleaseFolders() noexcept;

    wchar_t root_[kLongPathChars] = {};
    wchar_t lastFolder_[kLongPathChars] = {};
    size_t rootChars_ = 0;
    Staged** files_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
    Held* held_ = nullptr;
    size_t heldCount_ = 0, heldCapacity_ = 0;
    fw::PathList createdFolders_;
    fw::unique_hfile rootFolder_, journal_;
    JournalWriter journalRecords_;
    InstallReport* report_ = nullptr;
    bool begun_ = false, committed_ = false;
};
