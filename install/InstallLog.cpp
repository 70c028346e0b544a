#include "install/InstallLog.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "framework/Handles.h"
#include "install/FolderTrust.h"

namespace {

enum class Destination { CurrentDirectory, Path, Lost };
Destination g_destination = Destination::CurrentDirectory;
wchar_t g_path[kInstallLogPathChars] = {};

// One byte per UTF-16 code unit, as administrators' tools read the log: Latin-1 as is,
// anything else "?", every line feed as CR LF.
void WriteSingleByte(const wchar_t* text, FILE* log) {
    char bytes[512];
    size_t n = 0;
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        if (n + 2 > sizeof bytes) {
            fwrite(bytes, 1, n, log);
            n = 0;
        }
        if (*p == L'\n') bytes[n++] = '\r';
        bytes[n++] = *p <= 0xFF ? static_cast<char>(*p) : '?';
    }
    fwrite(bytes, 1, n, log);
}

// A regular disk file with this one name. A hard link would let the user aim our
// appends at a file elsewhere just as a symbolic link would.
bool IsPlainFile(HANDLE file) {
    if (GetFileType(file) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file, &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0) return false;
    return info.nNumberOfLinks == 1;
}

// Whatever is planted at the name is opened itself, never followed, and judged on the
// handle afterwards. No OPEN_ALWAYS: where a dangling link is not shown as one, it would
// create its target; CREATE_NEW refuses every name that is taken.
HANDLE OpenUnfollowed(const wchar_t* name) {
    const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES;
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    for (int attempt = 0; attempt < 2; ++attempt) {
        HANDLE file = CreateFileW(name, access, share, nullptr, OPEN_EXISTING, flags, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND) return file;
        file = CreateFileW(name, access, share, nullptr, CREATE_NEW, flags, nullptr);
        // Taken in between: look again at what is there now.
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

void SetInstallLogPath(const wchar_t* path) noexcept {
    if (path == nullptr) {
        g_destination = Destination::CurrentDirectory;
        return;
    }
    const size_t length = wcslen(path);
    if (length == 0 || length >= kInstallLogPathChars) {
        g_destination = Destination::Lost;
        return;
    }
    wmemcpy(g_path, path, length + 1);
    g_destination = Destination::Path;
}

bool InstallLogWasGiven() noexcept { return g_destination != Destination::CurrentDirectory; }

FILE* OpenInstallLog() noexcept {
    if (g_destination == Destination::Lost) return nullptr;
    // A junction that a standard user planted on the way to the asked log must not carry our
    // entries elsewhere: refused, as in the install tree, before the file is first opened.
    if (g_destination == Destination::Path && CurrentRedirectionTrust() == RedirectionTrust::NotTried)
        TurnOnRedirectionTrust();
    const wchar_t* name = g_destination == Destination::Path ? g_path : kInstallLogName;
    // The start folder may be writable by the user while we run elevated.
    fw::unique_hfile file(OpenUnfollowed(name));
    if (!fw::Valid(file) || !IsPlainFile(file.get())) return nullptr;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file.get()), _O_WRONLY | _O_APPEND | _O_BINARY);
    if (fd == -1) return nullptr;
    file.release();  // the descriptor owns it now
    // Binary: the bytes are made here, not by the runtime's text conversion.
    FILE* log = _fdopen(fd, "ab");
    if (log == nullptr) _close(fd);
    return log;
}

void AppendLogEntry(const wchar_t* text, FILE* log) noexcept {
    fw::unique_file file(log);
    wchar_t date[256] = {};
    GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, nullptr, nullptr, date, 256);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t time[256];
    swprintf(time, 256, L"%02u:%02u:%02u", now.wHour, now.wMinute, now.wSecond);

    WriteSingleByte(date, log);
    WriteSingleByte(L" - ", log);
    WriteSingleByte(time, log);
    WriteSingleByte(L": ", log);
    WriteSingleByte(text, log);
    WriteSingleByte(L"\n------------------------------------------------\n", log);
}

void WriteLogEntry(const wchar_t* text) noexcept {
    if (FILE* log = OpenInstallLog()) AppendLogEntry(text, log);
}

void LogText::Append(const wchar_t* text) noexcept {
    while (*text != L'\0' && length_ + 1 < kChars) text_[length_++] = *text++;
    text_[length_] = L'\0';
}

void LogText::Format(const wchar_t* format, ...) noexcept {
    wchar_t piece[1024];
    va_list args;
    va_start(args, format);
    const int n = vswprintf(piece, sizeof piece / sizeof piece[0], format, args);
    va_end(args);
    if (n < 0) piece[sizeof piece / sizeof piece[0] - 1] = L'\0';  // cut: what was written stays
    Append(piece);
}

void LogText::Write() const noexcept { WriteLogEntry(text_); }
