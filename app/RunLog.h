// The first and the last entry of a run, in the log asked for with "/log=" only: an
// administrator with one failed machine among thousands reads there what ran, as whom,
// into which folder, and how it ended. The default log never gets them, and a host the
// platform gate refuses gets neither.
#pragma once

struct SilentFolder;

// Version, command line, account, and the folder as resolved with its source; folder is
// null where the run is not silent and looks no folder up.
void LogRunStart(const wchar_t* commandLine, const SilentFolder* folder) noexcept;
// The outcome and the exit code; removal for a run with "/uninstall". wentThrough: the pack
// was installed or removed, and the entry tells whether links were refused meanwhile.
void LogRunEnd(int exitCode, bool removal, bool wentThrough) noexcept;
