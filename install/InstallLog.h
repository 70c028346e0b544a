// The install log: dated single-byte entries appended to "Zorvalind_Install.log" in the
// current directory, or to the file a silent run was given. Silent runs report every
// failure here and nowhere else.
#pragma once
#include <cstddef>
#include <cstdio>

inline constexpr wchar_t kInstallLogName[] = L"Zorvalind_Install.log";
inline constexpr int kInstallLogPathChars = 520;

// Where every later entry goes: a full path; an empty text, and the entries are lost;
// null, back to kInstallLogName in the current directory. A path that does not fit
// 520 characters loses the entries too.
void SetInstallLogPath(const wchar_t* path) noexcept;

// True while a log was asked for ("/log=", lost or not): such a log tells more than the
// failures (the run's start, the install's details, the end).
bool InstallLogWasGiven() noexcept;

// For appending, without a sharing restriction; null when the log cannot be opened, or
// when the name is not a plain file of its own (a link, a junction, a hard link with
// other names, a directory, a device). A "/log=" file is opened only once the process
// refuses links that non-administrators made: the first one turns that on.
FILE* OpenInstallLog() noexcept;

// Writes one entry and closes the stream.
void AppendLogEntry(const wchar_t* text, FILE* log) noexcept;

// Both steps; an entry whose log cannot be opened is dropped without notice.
void WriteLogEntry(const wchar_t* text) noexcept;

// An entry put together piece by piece, in a fixed buffer: what does not fit is cut, and
// the text stays terminated.
class LogText {
public:
    void Append(const wchar_t* text) noexcept;
    void Format(const wchar_t* format, ...) noexcept;
    const wchar_t* c_str() const noexcept { return text_; }
    void Write() const noexcept;  // as one entry

    static constexpr size_t kChars = 4096;

private:
    wchar_t text_[kChars] = {};
    size_t length_ = 0;
};
