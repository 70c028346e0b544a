#include "install/EntryCompanion.h"

#include <cstring>
#include <cwchar>

#include "install/EntryValues.h"
#include "install/FolderTrust.h"
#include "payload/InstallReport.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;

// The pending record of key: ours only where it holds exactly the bytes the journal does.
enum class Pending { Matches, Other, Unreadable };

Pending ReadPending(EntryHive hive, const wchar_t* key, const void* bytes, size_t size) {
    HKEY raw = nullptr;
    LONG status = RegOpenKeyExW(RootOf(hive), kPendingKey, 0, KEY_QUERY_VALUE | kView, &raw);
    if (status == ERROR_FILE_NOT_FOUND) return Pending::Other;
    if (status != ERROR_SUCCESS) return Pending::Unreadable;
    fw::unique_hkey pending(raw);
    static unsigned char stored[kEntryStateBytes];
    DWORD type = REG_NONE, storedBytes = sizeof stored;
    status = RegQueryValueExW(pending.get(), key, nullptr, &type, stored, &storedBytes);
    if (status == ERROR_FILE_NOT_FOUND || status == ERROR_MORE_DATA) return Pending::Other;
    if (status != ERROR_SUCCESS) return Pending::Unreadable;
    return type == REG_BINARY && storedBytes == size && memcmp(stored, bytes, size) == 0 ? Pending::Matches
                                                                                         : Pending::Other;
}

bool WritePending(EntryHive hive, const wchar_t* key, const void* bytes, size_t size) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(RootOf(hive), kPendingKey, 0, nullptr, 0, KEY_SET_VALUE | kView, nullptr, &raw, nullptr) !=
        ERROR_SUCCESS)
        return false;
    fw::unique_hkey pending(raw);
    return RegSetValueExW(pending.get(), key, 0, REG_BINARY, static_cast<const BYTE*>(bytes),
                          static_cast<DWORD>(size)) == ERROR_SUCCESS &&
           RegFlushKey(pending.get()) == ERROR_SUCCESS;
}

// Last of every undo and finish: from here on no journal's state is acted on.
bool DropPending(EntryHive hive, const wchar_t* key) {
    HKEY raw = nullptr;
    LONG status = RegOpenKeyExW(RootOf(hive), kPendingKey, 0, KEY_SET_VALUE | KEY_QUERY_VALUE | kView, &raw);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    fw::unique_hkey pending(raw);
    status = RegDeleteValueW(pending.get(), key);
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) return false;
    DWORD values = 0, subkeys = 0;
    const bool empty = RegQueryInfoKeyW(pending.get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                        nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS &&
                       values == 0 && subkeys == 0;
    RegFlushKey(pending.get());
    pending.reset();
    if (empty) RegDeleteKeyExW(RootOf(hive), kPendingKey, kView, 0);
    return true;
}

// Whether this process may change the entry's hive: the check before a clean-up acts.
bool MayWrite(EntryHive hive) {
    HKEY raw = nullptr;
    if (RegCreateKeyExW(RootOf(hive), kUninstallKey, 0, nullptr, 0, KEY_SET_VALUE | KEY_CREATE_SUB_KEY | kView, nullptr,
                        &raw, nullptr) != ERROR_SUCCESS)
        return false;
    RegCloseKey(raw);
    if (RegOpenKeyExW(RootOf(hive), kPendingKey, 0, KEY_SET_VALUE | kView, &raw) != ERROR_SUCCESS) return false;
    RegCloseKey(raw);
    return true;
}

void EntryPath(EntryHive hive, const wchar_t* key, wchar_t (&path)[kReportFileChars]) {
    swprintf(path, kReportFileChars, L"%ls\\%ls\\%ls", hive == EntryHive::Machine ? L"HKLM" : L"HKCU", kUninstallKey, key);
}

// The entry as it was before, and the new copy gone: the undo, in the run and after a kill.
bool Restore(const EntryState& state, InstallReport* report) {
    if (!WriteEntry(state.hive, state.key, state.hadEntry ? &state.previous : nullptr)) {
        wchar_t path[kReportFileChars];
        EntryPath(state.hive, state.key, path);
        if (report != nullptr) report->FailRollback(path, GetLastError());
        return false;
    }
    if (state.copy[0] != L'\0') RemoveCopy(state.hive, state.copy);
    return true;
}

// The change carried through: the entry as it is after (written again after a kill), the copy it
// no longer runs gone.
bool Complete(const EntryState& state, bool rewrite) {
    const bool install = state.change == EntryChange::Install;
    if (rewrite && !WriteEntry(state.hive, state.key, install ? &state.next : nullptr)) return false;
    // The old copy, and any a killed run could not remove: none but the entry's own stays.
    RemoveOtherCopies(state.hive, state.key, install ? state.copy : nullptr);
    return true;
}

} // namespace

void EntryCompanion::ForInstall(const wchar_t* plugins, InstallReport* report) noexcept {
    state_.change = EntryChange::Install;
    lstrcpynW(plugins_, plugins, kCopyPathChars);
    report_ = report;
}

void EntryCompanion::ForRemoval(const wchar_t* plugins, InstallReport* report) noexcept {
    state_.change = EntryChange::Removal;
    lstrcpynW(plugins_, plugins, kCopyPathChars);
    report_ = report;
}

void EntryCompanion::Fail(InstallReport* report, DWORD error) const noexcept {
    wchar_t path[kReportFileChars];
    EntryPath(state_.hive, state_.key, path);
    if (report != nullptr) report->Fail(InstallStep::Preparing, path, error == 0 ? ERROR_GEN_FAILURE : error);
}

bool EntryCompanion::Prepare(InstallReport* report) noexcept {
    if (prepared_) return true;
    const bool install = state_.change == EntryChange::Install;
    state_.hive = HiveOfThisRun();
    // The entry names the folder as the system does, whatever spelling the run was given: so a
    // removal finds it again, and its uninstall strings name a folder /folder= reads back.
    wchar_t resolved[kCopyPathChars];
    if (ResolveFinalFolder(plugins_, resolved, kCopyPathChars)) wcscpy(plugins_, resolved);
    size_t length = wcslen(plugins_);
    if (length > 3 && plugins_[length - 1] == L'\\') plugins_[--length] = L'\0';
    wcscpy(viewer_, plugins_);
    if (wchar_t* slash = wcsrchr(viewer_, L'\\')) slash[slash - viewer_ <= 2 ? 1 : 0] = L'\0';
    bool exists = false;
    if (!FindEntryKey(state_.hive, plugins_, install, state_.key, exists)) {
        if (!install) {
            // No entry of this folder: the removal has none to delete, and keeps that.
            state_.key[0] = L'\0';
            prepared_ = SaveEntryState(state_, bytes_, size_);
            return prepared_;
        }
        Fail(report, ERROR_ALREADY_EXISTS);
        return false;
    }
    if (!ReadEntry(state_.hive, state_.key, state_.previous, state_.hadEntry)) {
        Fail(report, GetLastError());
        return false;
    }
    // A copy of this key's that the entry does not run was left by a killed run: it goes now.
    wchar_t command[kCopyPathChars], current[kCopyPathChars] = {};
    if (state_.hadEntry && state_.previous.String(L"UninstallString", command, kCopyPathChars) && command[0] == L'"') {
        const wchar_t* end = wcschr(command + 1, L'"');
        if (end != nullptr) lstrcpynW(current, command + 1, static_cast<int>(end - command));
    }
    RemoveOtherCopies(state_.hive, state_.key, current[0] != L'\0' ? current : nullptr);
    if (install) {
        DWORD error = 0;
        if (!FitsUninstallString(viewer_)) {
            if (report != nullptr) report->Fail(InstallStep::Preparing, nullptr, ERROR_FILENAME_EXCED_RANGE, InstallReason::NoRoom);
            return false;
        }
        if (!MakeCopyFolder(state_.hive, state_.key, copyFolder_, state_.copy, error)) {
            if (report != nullptr) report->Fail(InstallStep::Preparing, state_.copy[0] != L'\0' ? state_.copy : nullptr, error);
            return false;
        }
    }
    const bool recorded =
        (!install || ComposeEntry(viewer_, plugins_, state_.copy, wcscmp(state_.key, kEntryKeyName) == 0, state_.next)) &&
        SaveEntryState(state_, bytes_, size_) && WritePending(state_.hive, state_.key, bytes_, size_);
    if (!recorded) {
        Fail(report, GetLastError() != ERROR_SUCCESS ? GetLastError() : ERROR_INSUFFICIENT_BUFFER);
        copyFolder_.reset();
        if (state_.copy[0] != L'\0') RemoveCopy(state_.hive, state_.copy);  // the empty folder it made
        return false;
    }
    // Written while the pack is extracted; Apply waits for it. A kill meanwhile leaves a copy
    // that the journal names (the clean-up removes it) or that no entry runs (the next commit
    // of this key removes it).
    if (install) copyWriter_.Start(state_.copy);
    prepared_ = true;
    return true;
}

bool EntryCompanion::State(const void*& bytes, size_t& size) noexcept {
    if (!Prepare(report_)) return false;
    bytes = bytes_;
    size = size_;
    return true;
}

bool EntryCompanion::Apply(InstallReport* report) noexcept {
    if (!prepared_ || state_.key[0] == L'\0') return prepared_;
    applied_ = true;  // from here a failure may have left something to undo
    if (state_.change == EntryChange::Install) {
        DWORD error = 0;
        if (!copyWriter_.Wait(error)) {
            if (report != nullptr)
                report->Fail(InstallStep::Placing, state_.copy, error,
                             copyWriter_.Stalled() ? InstallReason::Stalled : InstallReason::None);
            return false;
        }
    }
    if (!WriteEntry(state_.hive, state_.key, state_.change == EntryChange::Install ? &state_.next : nullptr)) {
        wchar_t path[kReportFileChars];
        EntryPath(state_.hive, state_.key, path);
        if (report != nullptr) report->Fail(InstallStep::Placing, path, GetLastError());
        return false;
    }
    if (TransactionProbe != nullptr) TransactionProbe(kProbeEntryWritten, 0);
    return true;
}

bool EntryCompanion::Undo(InstallReport* report) noexcept {
    if (!applied_) return true;
    DWORD error = 0;
    copyWriter_.Wait(error);
    copyFolder_.reset();  // the new copy's folder can only go once nothing holds it
    undoFailed_ = !Restore(state_, report);
    applied_ = undoFailed_;
    return !undoFailed_;
}

void EntryCompanion::Finish(bool committed, InstallReport*) noexcept {
    if (finished_ || !prepared_ || state_.key[0] == L'\0') return;
    finished_ = true;
    DWORD error = 0;
    copyWriter_.Wait(error);
    copyFolder_.reset();
    if (committed) {
        if (TransactionProbe != nullptr) TransactionProbe(kProbeCommittedWithCopies, 0);
        Complete(state_, false);
    } else if (undoFailed_) {
        return;  // the journal keeps it, and so does the pending record
    } else if (state_.copy[0] != L'\0') {
        RemoveCopy(state_.hive, state_.copy);
    }
    DropPending(state_.hive, state_.key);
}

bool EntryCompanion::RemoveAlone(InstallReport* report) noexcept {
    if (!Prepare(report)) return false;
    if (state_.key[0] == L'\0') return true;
    if (!Apply(report)) {
        Undo(report);
        Finish(false);
        return false;
    }
    Finish(true);
    return true;
}

bool RecoverEntryCompanion(const wchar_t* tag, const void* bytes, size_t size, bool committed, bool check,
                           InstallReport* report) noexcept {
    static EntryState state;
    if (wcscmp(tag, kEntryCompanionTag) != 0 || !LoadEntryState(bytes, size, state)) {
        if (report != nullptr) report->Fail(InstallStep::Preparing, nullptr, ERROR_INVALID_DATA);
        return false;
    }
    if (state.key[0] == L'\0') return true;  // a removal that found no entry
    switch (ReadPending(state.hive, state.key, bytes, size)) {
    case Pending::Other:
        return true;  // done already, or never the setup's: nothing to act on
    case Pending::Unreadable:
        if (report != nullptr) report->Fail(InstallStep::Preparing, nullptr, ERROR_ACCESS_DENIED);
        return false;
    case Pending::Matches:
        break;
    }
    wchar_t path[kReportFileChars];
    EntryPath(state.hive, state.key, path);
    if (check) {
        if (MayWrite(state.hive)) return true;
        if (report != nullptr) report->Fail(InstallStep::Preparing, path, ERROR_ACCESS_DENIED);
        return false;
    }
    const bool done = committed ? Complete(state, true) : Restore(state, report);
    if (!done || !DropPending(state.hive, state.key)) {
        if (report != nullptr) report->Fail(InstallStep::Preparing, path, GetLastError());
        return false;
    }
    return true;
}
