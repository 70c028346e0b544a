// Puts a whole pack in place or nothing. Every file is first written completely beside its
// target under a part name; only then are old files moved aside (a rename, which Windows
// allows for a loaded DLL) and the new ones moved in, one by one. Any failure before the
// end moves every old file back. A run that was killed leaves names that the next run's
// clean-up recognises: they begin with "~zl" and never end in an extension the viewer loads.
#pragma once

#include <windows.h>

#include <cstdint>

#include "framework/Handles.h"
#include "framework/PathList.h"

inline constexpr size_t kLongPathChars = 1100;

// Tests and the benchmark only (null in the shipped program): called with stage 0 once a
// part file is complete, 1 between moving an old file aside (or marking the name as new)
// and moving its replacement in, 2 once the archive is staged, 3 once every file is in
// place, 4 once a file is in place, 5 once the commit mark stands, 6 once a backup is deleted.
extern void (*TransactionProbe)(int stage, unsigned index);

// True when nothing at all stands at path (neither file, folder nor link).
bool IsNameFree(const wchar_t* path) noexcept;

// Undoes what a killed run left below folder (a long-path form ending in a backslash), or
// finishes it where the run had reached its commit mark; touches nothing but names of the
// exact shapes the setup writes. False when something could not be undone or finished.
bool CleanUpInterruptedRun(const wchar_t* folder) noexcept;

class InstallTransaction {
public:
    InstallTransaction() = default;
    InstallTransaction(const InstallTransaction&) = delete;
    InstallTransaction& operator=(const InstallTransaction&) = delete;
    ~InstallTransaction();  // rolls back unless committed

    // target: the target folder; cleans up after an interrupted run there first.
    bool Begin(const wchar_t* target) noexcept;
    // relative: '\'-separated below the target. Every level this run creates is removed again on rollback.
    bool MakeFolder(const wchar_t* relative) noexcept;
    // Holds the old file (if any) and creates the part file the data is written to.
    bool BeginFile(const wchar_t* relative, uint32_t dosDate) noexcept;
    bool Write(const void* data, size_t bytes) noexcept;
    void EndFile() noexcept;
    // Moves everything in place; false after a failure, which has been rolled back.
    bool Commit() noexcept;
    void Rollback() noexcept;

    const wchar_t* Root() const noexcept { return root_; }

private:
    struct Staged;
    bool Join(const wchar_t* relative, wchar_t (&path)[kLongPathChars]) const noexcept;
    void Undo(Staged& file) noexcept;

    wchar_t root_[kLongPathChars] = {};
    wchar_t lastFolder_[kLongPathChars] = {};
    size_t rootChars_ = 0;
    Staged** files_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
    fw::PathList createdFolders_;
    bool begun_ = false, committed_ = false;
};
