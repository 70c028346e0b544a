#pragma once

// Set once at start-up when the command line asks for a silent run.
extern int SilentMode;

// Busy: another setup works in the same folder, or another process holds a file there and
// does not let go; a later run may succeed.
enum class InstallOutcome { Installed, EmptyFolder, ExtractionFailed, Busy };

// Installs the pack into the "Plugins" folder below folder and reports the outcome: a
// message box with the caption, or in silent mode a log entry for a failure.
InstallOutcome InstallPlugins(const wchar_t* folder, const wchar_t* caption) noexcept;
