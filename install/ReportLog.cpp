#include "install/ReportLog.h"

#include <windows.h>

#include <cwchar>

#include "install/InstallLog.h"
#include "payload/InstallReport.h"

namespace {

const wchar_t* StepWords(InstallStep step) {
    switch (step) {
    case InstallStep::None: return L"none";
    case InstallStep::Staging: return L"staging the archive in the temporary folder";
    case InstallStep::Preparing: return L"preparing the Plugins folder";
    case InstallStep::Writing: return L"writing";
    case InstallStep::Checking: return L"checking";
    case InstallStep::Placing: return L"putting in place";
    case InstallStep::Rollback: return L"rollback";
    case InstallStep::Removing: return L"removing";
    }
    return L"unknown";
}

const wchar_t* ReasonWords(InstallReason reason) {
    switch (reason) {
    case InstallReason::None: return nullptr;
    case InstallReason::DamagedArchive: return L"damaged archive: its directory or an entry's header cannot be read";
    case InstallReason::NameTooLong: return L"refused name: too long";
    case InstallReason::NameNotDecodable: return L"refused name: it cannot be decoded";
    case InstallReason::NameMismatch: return L"refused name: the local header names another file";
    case InstallReason::NameLeavesFolder: return L"refused name: it leaves the folder (absolute, a drive, \"..\" or an empty part)";
    case InstallReason::NameIsDevice: return L"refused name: a device name";
    case InstallReason::NameTrailingDotOrBlank: return L"refused name: a part ends in a dot or a blank";
    case InstallReason::NameForbiddenCharacter: return L"refused name: a character Windows forbids";
    case InstallReason::Encrypted: return L"encrypted entry";
    case InstallReason::UnsupportedMethod: return L"unsupported compression method";
    case InstallReason::TooCompressed: return L"damaged entry: claims more data than deflate can pack";
    case InstallReason::DamagedStream: return L"damaged entry: the compressed data cannot be inflated";
    case InstallReason::ShortStream: return L"damaged entry: the data ends before its stored size";
    case InstallReason::LongStream: return L"damaged entry: the data runs past its stored size";
    case InstallReason::CrcMismatch: return L"damaged entry: CRC-32 mismatch";
    case InstallReason::ReadOnlyFile: return L"the old file is read-only";
    case InstallReason::FolderInTheWay: return L"a folder stands where a file goes, or a file where a folder goes";
    case InstallReason::ShortNameClash: return L"the name is another file's short (8.3) name";
    case InstallReason::RefusedLink: return L"refused link: a junction, a symbolic link or a folder that is not where it should be";
    case InstallReason::NoRoom: return L"the path is too long";
    case InstallReason::RemoteFolder: return L"the temporary folder is on another machine";
    case InstallReason::ReservedName: return L"a folder, a link or a file of somebody else's stands at a name the setup keeps for itself";
    case InstallReason::ForeignJournal: return L"the journal there was not written by this setup";
    case InstallReason::NotTheRunsFile: return L"the backup there is not the file the interrupted run moved aside";
    case InstallReason::FolderInUse: return L"another setup is working in this Plugins folder";
    case InstallReason::NameTwice: return L"refused name: the archive holds it twice";
    case InstallReason::Stalled: return L"a file step did not end in time: another process holds the file and does not let go";
    }
    return L"unknown reason";
}

// The system's text, in English where the system has it, without its line end.
void AppendSystemError(LogText& text, DWORD error) {
    wchar_t message[512] = {};
    const DWORD flags = FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    DWORD n = FormatMessageW(flags, nullptr, error, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), message, 512, nullptr);
    if (n == 0) n = FormatMessageW(flags, nullptr, error, 0, message, 512, nullptr);
    if (n >= 512) n = 511;
    message[n] = L'\0';
    while (n > 0 && (message[n - 1] == L' ' || message[n - 1] == L'\r' || message[n - 1] == L'\n')) message[--n] = L'\0';
    text.Format(L"System error %lu: ", static_cast<unsigned long>(error));
    text.Append(n > 0 ? message : L"(no text for this code)");
}

void AppendFile(LogText& text, const InstallFailure& f) {
    if (f.file[0] == L'\0') return;
    // The staging step names the staged archive, the entry's steps its key or its copy, by
    // their whole names; every other step a file below Plugins.
    const bool whole = f.step == InstallStep::Staging || (f.file[0] != L'\0' && f.file[1] == L':') ||
                       wcsncmp(f.file, L"HKLM\\", 5) == 0 || wcsncmp(f.file, L"HKCU\\", 5) == 0;
    text.Append(whole ? L"\n" : L"\nFile: Plugins\\");
    if (whole) text.Append(wcsncmp(f.file, L"HK", 2) == 0 ? L"Entry: " : L"File: ");
    text.Append(f.file);
}

void AppendCause(LogText& text, const InstallFailure& f) {
    if (const wchar_t* words = ReasonWords(f.reason)) {
        text.Append(L"\nReason: ");
        text.Append(words);
    }
    // Code 0 would read "The operation completed successfully": no system error to tell.
    if (f.error != 0) {
        text.Append(L"\n");
        AppendSystemError(text, f.error);
    }
}

} // namespace

void LogSkippedFolders(const InstallReport& report) noexcept {
    if (!InstallLogWasGiven()) return;
    const unsigned kept = report.skippedFolders < InstallReport::kSkippedSlots ? report.skippedFolders
                                                                              : InstallReport::kSkippedSlots;
    for (unsigned i = 0; i < kept; ++i) {
        LogText text;
        text.Append(L"Left alone: a folder that cannot be entered");
        AppendFile(text, report.skipped[i]);
        AppendCause(text, report.skipped[i]);
        text.Write();
    }
    if (report.skippedFolders > kept) {
        LogText more;
        more.Format(L"Left alone: %u more folders that cannot be entered", report.skippedFolders - kept);
        more.Write();
    }
}

void LogInstallReport(const InstallReport& report) noexcept {
    if (!InstallLogWasGiven()) return;
    LogText text;
    if (report.Failed()) {
        text.Append(L"Failed while ");
        text.Append(StepWords(report.failure.step));
    } else {
        text.Append(L"Failed at a step that was not recorded");
    }
    AppendFile(text, report.failure);
    AppendCause(text, report.failure);
    text.Append(L"\nLink protection of the process: ");
    switch (report.redirectionTrust) {
    case RedirectionTrust::On: text.Append(L"on"); break;
    case RedirectionTrust::Unavailable: text.Append(L"not available on this system"); break;
    case RedirectionTrust::NotTried: text.Append(L"not tried"); break;
    }
    text.Write();

    const unsigned kept = report.rollbackFailures < InstallReport::kRollbackSlots ? report.rollbackFailures
                                                                                  : InstallReport::kRollbackSlots;
    for (unsigned i = 0; i < kept; ++i) {
        LogText undo;
        undo.Append(L"Could not put back");
        AppendFile(undo, report.rollback[i]);
        AppendCause(undo, report.rollback[i]);
        undo.Write();
    }
    if (report.rollbackFailures > kept) {
        LogText more;
        more.Format(L"Could not put back %u more files", report.rollbackFailures - kept);
        more.Write();
    }
}
