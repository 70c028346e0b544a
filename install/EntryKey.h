// Where the pack's Apps & Features entry lives: HKLM's 64-bit view for an elevated run (SYSTEM
// included), HKCU for a run without elevation. One viewer folder, one entry: the first folder
// takes the plain key name, which winget's manifest and the detection rules name; a second
// folder's entry is named after its Plugins folder, so that neither overwrites the other.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "install/EntryBuild.h"

class EntrySnapshot;

enum class EntryHive : unsigned char { Machine = 1, User = 2 };

inline constexpr wchar_t kEntryKeyName[] = ENTRY_KEY_NAME;
inline constexpr wchar_t kUninstallKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
// An entry's key name: the plain one, or ".<8 hex digits>" after it.
inline constexpr size_t kEntryKeyChars = 40;

// The hive of this run's entry.
EntryHive HiveOfThisRun() noexcept;
HKEY RootOf(EntryHive hive) noexcept;

// kEntryKeyName, or kEntryKeyName and ".<8 hex digits>": the only names the setup touches.
bool IsEntryKeyName(const wchar_t* name) noexcept;

// The key of the entry whose InstallLocation is plugins (in any case); with choose, where there
// is none, the name a new one takes (the plain one while it is free). exists tells which.
// False when there is neither (a removal: no entry) or every name is taken.
bool FindEntryKey(EntryHive hive, const wchar_t* plugins, bool choose, wchar_t (&name)[kEntryKeyChars],
                  bool& exists) noexcept;

// The entry's values; present false (and true returned) where no key stands.
bool ReadEntry(EntryHive hive, const wchar_t* name, EntrySnapshot& values, bool& present) noexcept;
// Makes the key hold exactly values, or (values null) be gone; flushed to the disk before it
// returns. Repeatable: a kill in the middle leaves what a second call finishes.
bool WriteEntry(EntryHive hive, const wchar_t* name, const EntrySnapshot* values) noexcept;
