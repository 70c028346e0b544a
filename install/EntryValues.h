// What an install writes into its Apps & Features entry.
#pragma once

#include <cstddef>

class EntrySnapshot;

// The /folder= value of the uninstall strings must be read back whole: shorter than the
// command line's limit for a value, and without the "/" that ends one.
bool FitsUninstallString(const wchar_t* viewerFolder) noexcept;

// The entry of an install into viewerFolder (its Plugins folder plugins), whose uninstall
// strings run copy. A key other than the plain one names its folder in its display name.
bool ComposeEntry(const wchar_t* viewerFolder, const wchar_t* plugins, const wchar_t* copy, bool plainKey,
                  EntrySnapshot& values) noexcept;

