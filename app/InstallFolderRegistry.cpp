#include "app/InstallFolderRegistry.h"

#include <windows.h>

#include <cwchar>

#include "framework/Handles.h"
#include "framework/PathSplit.h"

namespace {

constexpr int kChars = 260;

// Reads a string value into value; false unless it is a REG_SZ, fits and is terminated
// inside the buffer, so nothing past its end is ever read. Other types are not text we
// can take as a path (REG_EXPAND_SZ would need expanding first).
bool ReadString(const wchar_t* subKey, const wchar_t* name, wchar_t (&value)[kChars]) {
    value[0] = L'\0';
    HKEY raw = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey, 0, KEY_QUERY_VALUE, &raw) != ERROR_SUCCESS) return false;
    fw::unique_hkey key(raw);
    DWORD bytes = sizeof value, type = REG_NONE;
    LONG status = RegQueryValueExW(key.get(), name, nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes);
    key.reset();
    if (status != ERROR_SUCCESS || type != REG_SZ || wmemchr(value, L'\0', bytes / sizeof(wchar_t)) == nullptr) {
        value[0] = L'\0';
        return false;
    }
    return true;
}

} // namespace

int FindInstallFolderInRegistry(wchar_t* destination) noexcept {
    destination[0] = L'\0';
    wchar_t value[kChars];
    if (!ReadString(L"SOFTWARE\\Classes\\Zorvalind\\shell\\open\\command", nullptr, value) || value[0] == L'\0')
        return 0;

    // The runtime's _wcslwr in the default locale: ASCII letters only.
    wchar_t lowered[kChars];
    wcscpy(lowered, value);
    for (wchar_t* p = lowered; *p != L'\0'; ++p)
        if (*p >= L'A' && *p <= L'Z') *p = static_cast<wchar_t>(*p - L'A' + L'a');
    if (wcsstr(lowered, L"zorvi64.exe") == nullptr) return 0;

    // The first character is taken as the opening quote; the path runs to the next quote.
    wchar_t executable[kChars] = {};
    size_t n = 0;
    for (const wchar_t* p = value + 1; *p != L'\0' && *p != L'"'; ++p) executable[n++] = *p;

    wchar_t drive[3], directory[256];
    if (!fw::SplitPath(executable, drive, directory)) return 0;
    swprintf(value, kChars, L"%ls%ls", drive, directory);
    size_t length = wcslen(value);
    if (length == 0 || value[length - 1] != L'\\') wcscpy(value + length, L"\\");
    wcscpy(destination, value);
    return 1;
}

int GetDefaultInstallFolder(wchar_t* destination) noexcept {
    static const wchar_t kFallback[] = L"C:\\Zorvalind\\";
    wcscpy(destination, kFallback);
    wchar_t value[kChars];
    // A value that cannot be read, does not fit or is empty gives the fallback too.
    if (!ReadString(L"Software\\Microsoft\\Windows\\CurrentVersion", L"ProgramFilesDir", value) || value[0] == L'\0')
        return 1;
    size_t length = wcslen(value);
    const bool needsSeparator = value[length - 1] != L'\\';
    if (length + (needsSeparator ? 1 : 0) + wcslen(L"Zorvalind") >= kChars) return 1;
    if (needsSeparator) value[length++] = L'\\';
    wcscpy(value + length, L"Zorvalind");
    wcscpy(destination, value);
    return 1;
}
