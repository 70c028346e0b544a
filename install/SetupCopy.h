// The copy of the setup that the entry's uninstall strings run. Each install makes a fresh
// folder for it, below %ProgramData% for an elevated run (its own access list: SYSTEM and
// Administrators full control, Users read and execute, nothing inherited) or below
// %LOCALAPPDATA% for a run without elevation, so nothing is ever written into a folder that
// somebody else made or through a link planted there; the old copy goes once the install has
// committed.
#pragma once

#include <windows.h>

#include <cstddef>

#include "framework/Handles.h"
#include "install/EntryKey.h"

class StepDeadline;

inline constexpr wchar_t kCopyName[] = L"ZorvalindPlugInsSetup.exe";
inline constexpr size_t kCopyPathChars = 520;

// The folder the copies of hive's entries live in, as the system resolves it.
bool CopyRoot(EntryHive hive, wchar_t (&root)[kCopyPathChars]) noexcept;

// <root>\<key>\ZorvalindPlugInsSetup.exe, or with "-<8 hex digits>" after the key: the only
// copies the setup removes.
bool IsCopyPath(EntryHive hive, const wchar_t* path) noexcept;

// Makes a new folder for key's copy, <root>\<key> where that name is free, else with a
// random "-<8 hex digits>" after it, and holds it (as itself, without delete sharing).
// copy receives the copy's path in it. False with error set where none could be made.
bool MakeCopyFolder(EntryHive hive, const wchar_t* key, fw::unique_hfile& held, wchar_t (&copy)[kCopyPathChars],
                    DWORD& error) noexcept;

// TransactionProbe's stage on the copy's thread before it opens the running program.
inline constexpr int kProbeCopyOpening = 22;

// Writes the running program to copy (in the held folder MakeCopyFolder made), reading it
// through a handle that lets nobody write, rename or delete it, once that handle is known to
// be the file the process runs from; the copy is flushed and read back. False with error set.
// deadline, if given, is told of every step.
bool WriteCopy(const wchar_t* copy, DWORD& error, StepDeadline* deadline = nullptr) noexcept;

enum class CopyRemoval { Gone, Scheduled, Left };
// Removes copy and its folder, as themselves, never through a link; a copy that is running
// (the removal was started from it) is removed with its folder at the next restart (elevated)
// or the next logon (not elevated). A path that is not one of the setup's copies, or a folder
// that is a link, is left alone.
CopyRemoval RemoveCopy(EntryHive hive, const wchar_t* copy) noexcept;

// The access list of a copy folder below %ProgramData%, as SDDL.
inline constexpr wchar_t kCopyFolderSddl[] =
    L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;0x1200a9;;;OW)";

// Every copy folder of key's below the hive's root but keep's (null: all of them), removed as
// RemoveCopy does: what a run killed before it could remove its old copy left.
void RemoveOtherCopies(EntryHive hive, const wchar_t* key, const wchar_t* keep) noexcept;

// WriteCopy on a thread of its own, so that the copy is written while the pack is extracted;
// where no thread can be started, Wait writes it. Either way under a watchdog of its own: an
// open of the running program can wait on another process's oplock.
class CopyWriter {
public:
    CopyWriter() = default;
    CopyWriter(const CopyWriter&) = delete;
    CopyWriter& operator=(const CopyWriter&) = delete;
    ~CopyWriter() { Wait(error_); }

    void Start(const wchar_t* copy) noexcept;
    // The copy is complete (true) or failed (false, error set); at once after the first call.
    bool Wait(DWORD& error) noexcept;
    // A step of the copy's did not end within the file step limit and was cancelled.
    bool Stalled() const noexcept { return stalled_; }

private:
    static DWORD WINAPI Run(void* self) noexcept;
    wchar_t copy_[kCopyPathChars] = {};
    HANDLE thread_ = nullptr;
    bool pending_ = false, written_ = false, stalled_ = false;
    DWORD error_ = ERROR_SUCCESS;
};
