// Staging the embedded plug-in archive and unpacking it into the plug-in folder.
// Results: 0 when the whole pack was put in place, -1 otherwise (and then the target
// holds exactly what it held before).
#pragma once

#include <windows.h>

#include <cstdint>
#include "unzip.h"

class CommitCompanion;
class InstallTransaction;
struct InstallReport;

inline constexpr int kPayloadResourceId = 1973;
inline constexpr wchar_t kStagedArchiveName[] = L"ZL64_plugins.zip";

// report, if given, receives what went wrong; companion, if given, commits with the pack.
int ExtractPayload(const wchar_t* targetFolder, InstallReport* report = nullptr, CommitCompanion* companion = nullptr);
int ExtractArchive(const wchar_t* archivePath, const wchar_t* targetFolder, int skipFlag,
                   InstallReport* report = nullptr);
// The archive is read through this open handle only, never opened again by name.
int ExtractArchiveFromFile(HANDLE archiveFile, const wchar_t* targetFolder, int skipFlag,
                           InstallReport* report = nullptr);
// Removes from the plug-in folder (ending in a backslash) every file that is an entry of
// the embedded archive, as one transaction, then the pack's folders left empty, deepest
// first; never the plug-in folder itself. 0 when the pack is gone (also when there was
// nothing to remove, or no plug-in folder), -1 when it failed and nothing changed.
// companion, if given, commits with the removal; without a Plugins folder no transaction runs.
int RemovePayload(const wchar_t* pluginsFolder, InstallReport* report = nullptr, CommitCompanion* companion = nullptr);
// Into a transaction already begun (its clean-up done), which is committed or rolled back.
int ExtractArchiveInto(HANDLE archiveFile, const wchar_t* targetFolder, InstallTransaction& transaction, int skipFlag,
                       InstallReport* report = nullptr);
// Writes every entry beside its target into the transaction; 0 when all of them are there.
int ExtractEntries(unzFile archive, HANDLE archiveFile, InstallTransaction& transaction, int skipFlag,
                   InstallReport* report = nullptr);
void SetFileDateFromDos(const wchar_t* fileName, uint32_t dosDate);
bool SetHandleDateFromDos(HANDLE file, uint32_t dosDate);
int MakeDirectoryTree(const wchar_t* path);

// False for a name that could write outside the target folder, onto a device, or under
// a name that Windows would change (a trailing dot or blank, a forbidden character).
bool IsSafeEntryName(const wchar_t* name);
// Why a name is not safe; None when it is.
enum class InstallReason : unsigned char;
InstallReason EntryNameFault(const wchar_t* name);

// The stored name in the text its archiver meant; false when it cannot be decoded.
bool DecodeEntryName(const char* stored, unsigned length, unsigned long flag, unsigned long versionMadeBy,
                     const unsigned char* extra, unsigned extraLength, wchar_t* wide, int wideChars);

// A minizip file-function table that reads the archive through an open handle, passed
// to unzOpen2_64 in place of a path. Closing the archive leaves the handle open.
void FillHandleFileFunctions(zlib_filefunc64_def* functions);
