// The command line of a silent run: "/silent", "/folder=<folder>", "/app", found by
// case-sensitive substring search anywhere.
#pragma once

inline constexpr int kCommandLineChars = 520;

// Copies the command line, cut so that it stays terminated within 520 characters.
void CopyCommandLine(const wchar_t* commandLine, wchar_t (&copy)[kCommandLineChars]) noexcept;

// The value after "/folder=", up to a slash, the end, or 252 characters; false without the switch.
bool ReadFolderSwitch(const wchar_t* commandCopy, wchar_t* folder) noexcept;

// Trailing blanks, then one quote at each end, then trailing blanks again.
void TrimQuotedPath(wchar_t* text) noexcept;
