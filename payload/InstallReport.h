// What an install or a removal found wrong, for the log an administrator asked for: the
// first failure (the one that decided the outcome) and every step of the undo that could
// not be done. Filled where the failure happens; written by the install layer.
#pragma once

#include <windows.h>

#include <cstddef>

enum class InstallStep : unsigned char {
    None,
    Staging,     // the archive copied to the temporary folder
    Preparing,   // the plug-in folder: made, entered, held; a killed run's leftovers
    Writing,     // a part file created and written
    Checking,    // an entry read and checked: its name, its data
    Placing,     // old files moved aside, new ones moved in, the commit
    Rollback,    // the undo after a failure
    Removing,    // a removal's own steps
};

// Why the archive (not the system) refused an entry, or what the install refused to follow.
enum class InstallReason : unsigned char {
    None,
    DamagedArchive,      // no readable central directory, an entry's header cannot be read
    NameTooLong,
    NameNotDecodable,    // marked as UTF-8 but is not, or no conversion
    NameMismatch,        // the local header names another file than the central directory
    NameLeavesFolder,    // absolute, a drive, ".." or an empty component
    NameIsDevice,        // CON, NUL, COM1, ...
    NameTrailingDotOrBlank,
    NameForbiddenCharacter,
    Encrypted,
    UnsupportedMethod,
    TooCompressed,       // claims more than deflate can pack
    DamagedStream,       // the deflate data cannot be inflated
    ShortStream,         // ends before the stored size
    LongStream,          // runs past the stored size
    CrcMismatch,
    ReadOnlyFile,        // an old plug-in marked read-only
    FolderInTheWay,      // a folder stands where a file goes, or a file where a folder goes
    ShortNameClash,      // the name is another file's 8.3 short name
    RefusedLink,         // a junction, a symbolic link or a folder that is not where it should be
    NoRoom,              // a path too long for its buffer
    RemoteFolder,        // the temporary folder is on another machine
    ReservedName,        // a folder, a link or a file the setup did not write, at a name the setup keeps
    ForeignJournal,      // a journal the setup did not write
    NotTheRunsFile,      // a backup that is not the file the killed run moved aside
    FolderInUse,         // another setup works in the same Plugins folder
    Stalled,             // a file step did not end within its limit: another process holds the file
    NameTwice,           // the archive names one file twice
};

inline constexpr size_t kReportFileChars = 260;

struct InstallFailure {
    InstallStep step = InstallStep::None;
    InstallReason reason = InstallReason::None;
    DWORD error = 0;                        // the system's error code; 0 when reason says it all
    wchar_t file[kReportFileChars] = {};    // below the plug-in folder; empty for the whole run
};

// Whether the process refuses junctions and links that non-administrators made.
enum class RedirectionTrust : unsigned char { NotTried, On, Unavailable };

struct InstallReport {
    static constexpr unsigned kRollbackSlots = 16;
    static constexpr unsigned kSkippedSlots = 8;

    InstallFailure failure;                       // the first one only
    InstallFailure rollback[kRollbackSlots];      // undo steps that failed, in order
    unsigned rollbackFailures = 0;                // may exceed kRollbackSlots: the rest are counted
    RedirectionTrust redirectionTrust = RedirectionTrust::NotTried;
    // Folders of the user's that the clean-up after a killed run could not enter and left alone.
    InstallFailure skipped[kSkippedSlots];
    unsigned skippedFolders = 0;

    bool Failed() const noexcept { return failure.step != InstallStep::None; }

    // Keeps the first failure; later ones are what the first one caused. file may be null.
    void Fail(InstallStep step, const wchar_t* file, DWORD error, InstallReason reason = InstallReason::None) noexcept {
        if (Failed()) return;
        Fill(failure, step, file, error, reason);
    }
    void Skip(const wchar_t* file, DWORD error) noexcept {
        if (skippedFolders < kSkippedSlots) Fill(skipped[skippedFolders], InstallStep::Preparing, file, error, InstallReason::None);
        ++skippedFolders;
    }
    // Fails the run with exit 1618 rather than 4: retrying later may succeed.
    bool Busy() const noexcept { return failure.reason == InstallReason::FolderInUse || failure.reason == InstallReason::Stalled; }
    void FailRollback(const wchar_t* file, DWORD error) noexcept {
        if (rollbackFailures < kRollbackSlots)
            Fill(rollback[rollbackFailures], InstallStep::Rollback, file, error, InstallReason::None);
        ++rollbackFailures;
    }

private:
    static void Fill(InstallFailure& f, InstallStep step, const wchar_t* file, DWORD error,
                     InstallReason reason) noexcept {
        f.step = step;
        f.reason = reason;
        f.error = error;
        f.file[0] = L'\0';
        if (file != nullptr) lstrcpynW(f.file, file, static_cast<int>(kReportFileChars));
    }
};
