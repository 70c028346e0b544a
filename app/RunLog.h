// The first and the last entry of a run, in the log asked for with "/log=" only: an
// administrator with one failed machine among thousands reads there what ran, as whom,
// into which folder, and how it ended. The default log never gets them.
#pragma once

struct SilentFolder;

// Version, command line, account, and the folder as resolved with its source; folder is
// null where the run is not silent and looks no folder up.
void LogRunStart(const wchar_t* commandLine, const SilentFolder* folder) noexcept;
// The outcome and the exit code; removal for a run with "/uninstall".
void LogRunEnd(int exitCode, bool removal) noexcept;
