// The Apps & Features entry and the copy of the setup, as one step of the install transaction:
// exit 0 means the pack and the entry, exit 4 means neither changed, and after a kill the next
// run makes files and entry agree. Only what a pending record beside the entry (in a hive only
// the run's own account can write) confirms is acted on after a kill: the journal stands in a
// folder that a user may write, and a planted one must not steer the registry or the copy.
#pragma once

#include <cstddef>

#include "framework/Handles.h"
#include "install/EntryState.h"
#include "payload/Transaction.h"

struct InstallReport;

inline constexpr wchar_t kEntryCompanionTag[] = L"ZorvalindEntry";
// TransactionProbe's stages of the entry's, above the transaction's own: the entry written (just
// before the commit point), and committed with the key's other copies still there.
inline constexpr int kProbeEntryWritten = 20;
inline constexpr int kProbeCommittedWithCopies = 21;

// Where the pending records are kept, one value per entry key, in the entry's hive.
inline constexpr wchar_t kPendingKey[] = L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending";

class EntryCompanion final : public CommitCompanion {
public:
    EntryCompanion() = default;
    EntryCompanion(const EntryCompanion&) = delete;
    EntryCompanion& operator=(const EntryCompanion&) = delete;
    // A run that never reached the commit point leaves nothing of its own behind; one that
    // did is finished by its caller, never taken back here.
    ~EntryCompanion() {
        if (!applied_) Finish(false);
    }

    // plugins: the Plugins folder the transaction works in; report receives a failure of the
    // preparation, which the transaction asks for.
    void ForInstall(const wchar_t* plugins, InstallReport* report) noexcept;
    void ForRemoval(const wchar_t* plugins, InstallReport* report) noexcept;

    const wchar_t* Tag() const noexcept override { return kEntryCompanionTag; }
    // Called once the clean-up after a killed run is done: finds the key, reads what it holds,
    // makes the copy's folder, and records the pending change.
    bool State(const void*& bytes, size_t& size) noexcept override;
    bool Apply(InstallReport* report) noexcept override;
    bool Undo(InstallReport* report) noexcept override;

    // Once the transaction is over: committed, the old copy and the pending record go; not,
    // whatever of this run is left goes too, unless an undo failed and the journal keeps it.
    void Finish(bool committed, InstallReport* report = nullptr) noexcept;
    // A removal that found none of the pack's files has no transaction: the entry goes alone.
    bool RemoveAlone(InstallReport* report) noexcept;
    bool Prepared() const noexcept { return prepared_; }

private:
    bool Prepare(InstallReport* report) noexcept;
    void Fail(InstallReport* report, DWORD error) const noexcept;

    EntryState state_;
    wchar_t viewer_[kCopyPathChars] = {};
    wchar_t plugins_[kCopyPathChars] = {};
    fw::unique_hfile copyFolder_;
    CopyWriter copyWriter_;
    unsigned char bytes_[kEntryStateBytes] = {};
    size_t size_ = 0;
    InstallReport* report_ = nullptr;
    bool prepared_ = false, applied_ = false, undoFailed_ = false, finished_ = false;
};

// The journal's companion after a kill: set with SetCompanionRecovery.
bool RecoverEntryCompanion(const wchar_t* tag, const void* state, size_t bytes, bool committed, bool check,
                           InstallReport* report) noexcept;
