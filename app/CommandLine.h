// The command line of a silent run: "/silent", "/folder=<folder>", "/app", "/log=<file>",
// found by case-sensitive substring search anywhere.
#pragma once
#include <cstddef>

inline constexpr int kCommandLineChars = 520;
// A path value stops being read at this many characters: it may have been cut there.
inline constexpr size_t kSwitchValueLimit = 252;

// Copies the command line, cut so that it stays terminated within 520 characters.
// True when it was cut: the real line goes on past the copy's end.
bool CopyCommandLine(const wchar_t* commandLine, wchar_t (&copy)[kCommandLineChars]) noexcept;

enum class PathSwitch { Absent, Given, TooLong };

// The value after name (e.g. "/folder="), up to a slash or the end, into value (at least
// 253 characters). Blanks and tabs between name and an opening quote are skipped. A value that
// reaches 252 characters, or the end of a copy that was cut (copyCut), is TooLong and left
// empty: nobody named the prefix it would be cut to. Absent leaves value untouched.
PathSwitch ReadPathSwitch(const wchar_t* commandCopy, bool copyCut, const wchar_t* name, wchar_t* value) noexcept;

inline PathSwitch ReadFolderSwitch(const wchar_t* commandCopy, bool copyCut, wchar_t* folder) noexcept {
    return ReadPathSwitch(commandCopy, copyCut, L"/folder=", folder);
}

// Trailing blanks, then one quote at each end, then trailing blanks again.
void TrimQuotedPath(wchar_t* text) noexcept;

// Drive-absolute ("C:\...") or UNC ("\\server\share..."): a silent run installs into
// nothing else, since anything relative depends on where and on which drive it started.
bool IsAbsoluteFolder(const wchar_t* folder) noexcept;
