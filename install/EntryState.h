// What a run keeps about its Apps & Features entry and copy, in the journal and in the pending
// record beside the entry: enough for the next run to undo it (the entry's previous values, or
// none, and the new copy gone) or to finish it (the new values, the key's other copies gone),
// after a kill at any point.
#pragma once

#include <cstddef>

#include "install/EntryKey.h"
#include "install/EntrySnapshot.h"
#include "install/SetupCopy.h"

enum class EntryChange : unsigned char { Install = 1, Removal = 2 };

struct EntryState {
    EntryChange change = EntryChange::Install;
    EntryHive hive = EntryHive::Machine;
    wchar_t key[kEntryKeyChars] = {};
    bool hadEntry = false;            // previous holds what stood before; else no key stood
    EntrySnapshot previous;
    EntrySnapshot next;               // an install's values
    wchar_t copy[kCopyPathChars] = {};  // an install's new copy; every other copy of the key goes once committed
};

inline constexpr size_t kEntryStateBytes = 30 * 1024;

// False where it does not fit kEntryStateBytes.
bool SaveEntryState(const EntryState& state, unsigned char (&bytes)[kEntryStateBytes], size_t& size) noexcept;
// False for bytes the setup did not write: every length checked, the key's name one of ours.
bool LoadEntryState(const void* bytes, size_t size, EntryState& state) noexcept;
