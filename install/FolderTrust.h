// Where the install tree starts, fixed before anything is written: the viewer's folder is
// resolved once, through whatever links an administrator set up on the way, and from then
// on the process refuses links that non-administrators made, where the system can.
#pragma once

#include <cstddef>

#include "payload/InstallReport.h"

// folder as the system resolves it, in its plain form (a drive path or \\server\share\...),
// into out; false (out untouched) where it cannot be opened or resolved.
bool ResolveFinalFolder(const wchar_t* folder, wchar_t* out, size_t chars) noexcept;

// Turns on the mitigation that refuses junctions and links made by non-administrators, and
// reads it back. It is process-wide and cannot be turned off again.
RedirectionTrust TurnOnRedirectionTrust() noexcept;
// What the last TurnOnRedirectionTrust found; NotTried before one.
RedirectionTrust CurrentRedirectionTrust() noexcept;
