// Puts a whole pack in place or nothing. Every file is first written completely beside its
// target under a part name and flushed to the disk; only then are old files moved aside (a
// rename, which Windows allows for a loaded DLL) and the new ones moved in, one by one. Any
// failure before the end moves every old file back. A journal in the target folder names
// every folder the run made and every file it put in place, by name, file ID, size and
// CRC-32; it is on the disk before the first rename, and once every file is in place it is
// renamed to the commit name in one step, which is on the disk before the first backup goes.
// A run that was killed, or lost its power, is undone by the next one from the journal, or
// finished from the commit; either way nothing of the two sets is mixed. The names the run
// writes begin with "~zl" and never end in an extension the viewer loads.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/Handles.h"
#include "framework/PathList.h"
#include "payload/BackgroundFlush.h"
#include "payload/InstallReport.h"
#include "payload/Journal.h"
#include "payload/LongPath.h"
#include "payload/StepDeadline.h"

// Tests and the benchmark only (null in the shipped program): called with stage 0 once a
// part file is complete, 1 between moving an old file aside and moving its replacement in
// (for a new file: just before it goes in), 2 once the archive is staged, 3 once every file
// is in place, 4 once a file is in place, 5 once the commit stands, 6 once a backup is
// deleted, 7 once the journal is complete (before the first rename), 8 once a removal's files
// are gone, before its emptied folders go, 9 once the clean-up after a killed run holds
// everything it will change (index: how many names), 10 before it holds a name (index: how
// many it holds), 11 before the folder's lock is taken, 12 on the flushing thread before a part
// file is flushed (index: which).
extern void (*TransactionProbe)(int stage, unsigned index);

// A step outside the plug-in folder that commits with the pack. Its tag and state are in the
// journal before the first rename; Apply runs once every file is in place, just before the
// commit point (false fails and rolls back the install); Undo runs on a rollback once Apply
// was called. After a kill the next run undoes or finishes it from the state alone (see
// SetCompanionRecovery).
class CommitCompanion {
public:
    virtual const wchar_t* Tag() const noexcept = 0;                    // up to 31 characters, [A-Za-z0-9.]
    virtual bool State(const void*& bytes, size_t& size) noexcept = 0;  // up to 32 KiB, kept in the journal
    virtual bool Apply(InstallReport* report) noexcept = 0;
    virtual bool Undo(InstallReport* report) noexcept = 0;

protected:
    ~CommitCompanion() = default;
};

class InstallTransaction {
public:
    InstallTransaction() = default;
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;
    ~InstallTransaction();  // rolls back unless committed

    // target: the target folder, resolved already (its parent is opened as itself and must be
    // where target says); it must exist and be no link, and is held from here on, and so is
    // the folder's lock against a second setup. Cleans up after an interrupted run there
    // first. report, if given, receives what went wrong.
    bool Begin(const wchar_t* target, InstallReport* report = nullptr) noexcept;
    // relative: '\'-separated below the target. Every level is entered as itself and held;
    // every level this run creates is removed again on rollback.
    bool MakeFolder(const wchar_t* relative) noexcept;
    // Holds the old file (if any) and creates the part file the data is written to.
    bool BeginFile(const wchar_t* relative, uint32_t dosDate) noexcept;
    bool Write(const void* data, size_t bytes) noexcept;
    // The part file is complete and its data checked: crc is its CRC-32.
    bool EndFile(uint32_t crc) noexcept;
    // Holds the file at relative, if one stands there, to be removed on commit; true also
    // when nothing stands there.
    bool RemoveFile(const wchar_t* relative) noexcept;
    // companion is not owned and must outlive the transaction.
    bool AddCompanion(CommitCompanion& companion) noexcept;
    // Moves everything in place; false after a failure, which has been rolled back.
    bool Commit() noexcept;
    void Rollback() noexcept;

    const wchar_t* Root() const noexcept { return root_; }

private:
    struct Staged;
    struct Held;
    bool Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept;
    bool Enter(const wchar_t* path) noexcept;
    bool Lock() noexcept;
    Staged* NewStaged(const wchar_t* relative) noexcept;
    bool HoldOld(Staged& file) noexcept;
    bool FlushJournal(bool toDisk) noexcept;
    bool Step(InstallStep step, const Staged* file) noexcept;
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
    CommitCompanion** companions_ = nullptr;
    size_t companionCount_ = 0, companionCapacity_ = 0, companionsApplied_ = 0;
    fw::PathList createdFolders_;
    fw::unique_hfile rootFolder_, lock_, journal_;
    JournalWriter journalRecords_;
    BackgroundFlush flusher_{&deadline_};
    StepDeadline deadline_;
    InstallReport* report_ = nullptr;
    bool begun_ = false, committed_ = false;
};
