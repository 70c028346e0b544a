#include "install/InstallLog.h"

#include <windows.h>

#include <cwchar>
#include <share.h>

#include "framework/Handles.h"

namespace {

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

} // namespace

FILE* OpenInstallLog() noexcept {
    // Binary: the bytes are made here, not by the runtime's text conversion.
    return _wfsopen(kInstallLogName, L"ab", _SH_DENYNO);
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
