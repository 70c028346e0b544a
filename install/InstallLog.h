// The install log: dated single-byte entries appended to "Zorvalind_Install.log" in the
// current directory. Silent runs report every failure here and nowhere else.
#pragma once
#include <cstdio>

inline constexpr wchar_t kInstallLogName[] = L"Zorvalind_Install.log";

// For appending, without a sharing restriction; null when the log cannot be opened.
FILE* OpenInstallLog() noexcept;

// Writes one entry and closes the stream.
void AppendLogEntry(const wchar_t* text, FILE* log) noexcept;

// Both steps; an entry whose log cannot be opened is dropped without notice.
void WriteLogEntry(const wchar_t* text) noexcept;
