// The names the setup writes in a plug-in folder, and the only ones its clean-up touches:
//   ~zl<8 hex>-<5 hex>.part   a file being written
//   ~zl<8 hex>-<5 hex>.~zld   a spent file that could not be deleted yet (a DLL still loaded)
//   ~zlbak.<name>.~zl         an old file moved aside
//   ~zljournal.~zlj           in the target folder: what the run made and put in place
//   ~zlcommit.~zlc            the same journal once every file is in place
//   ~zllock.~zll              in the target folder: held by the one setup working there
// None of them ends in an extension the viewer loads.
#pragma once

#include <cstddef>

#include "payload/LongPath.h"

inline constexpr wchar_t kPartSuffix[] = L".part";
inline constexpr wchar_t kSpentSuffix[] = L".~zld";
inline constexpr wchar_t kJournalName[] = L"~zljournal.~zlj";
inline constexpr wchar_t kCommitName[] = L"~zlcommit.~zlc";
inline constexpr wchar_t kLockName[] = L"~zllock.~zll";

// ~zl<8 hex>-<5 hex><suffix>, nothing more and nothing less.
bool IsNumberedName(const wchar_t* name, size_t chars, const wchar_t* suffix) noexcept;
// ~zlbak.<name>.~zl with a name that could stand in a folder.
bool IsBackupName(const wchar_t* name, size_t chars) noexcept;
// A single name that could stand in a folder.
bool IsOneName(const wchar_t* name) noexcept;

// The backup's path beside the file at path.
bool BackupPathOf(const wchar_t* path, wchar_t (&backup)[kLongPathChars]) noexcept;
// The file's path back from its backup's.
bool OriginalPathOf(const wchar_t* backup, wchar_t (&path)[kLongPathChars]) noexcept;
// A fresh name of the given numbered shape in folder (ending in a backslash); false when
// none fits.
bool NumberedName(const wchar_t* folder, const wchar_t* suffix, wchar_t (&path)[kLongPathChars]) noexcept;
