#include "install/EntryValues.h"

#include <windows.h>

#include <cstdint>
#include <cwchar>
#include <initializer_list>

#include "app/CommandLine.h"
#include "app/Version.h"
#include "framework/Module.h"
#include "install/EntrySnapshot.h"
#include "install/EntryBuild.h"
#include "payload/Payload.h"

namespace {

constexpr size_t kTextChars = 1200;

uint32_t Le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t Le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// What the pack's files take once unpacked, from the embedded archive's central directory.
uint64_t PackBytes() {
    HMODULE module = fw::ResourceInstance();
    HRSRC resource = FindResourceW(module, MAKEINTRESOURCEW(kPayloadResourceId), L"ZIP");
    HGLOBAL loaded = resource != nullptr ? LoadResource(module, resource) : nullptr;
    const auto* zip = loaded != nullptr ? static_cast<const unsigned char*>(LockResource(loaded)) : nullptr;
    const size_t size = resource != nullptr ? SizeofResource(module, resource) : 0;
    if (zip == nullptr || size < 22) return 0;
    size_t end = size - 22;
    const size_t lowest = size > 22 + 65535 ? size - 22 - 65535 : 0;
    while (Le32(zip + end) != 0x06054b50) {
        if (end == lowest) return 0;
        --end;
    }
    uint64_t total = 0;
    size_t at = Le32(zip + end + 16);
    for (unsigned i = Le16(zip + end + 10); i > 0; --i) {
        if (at > end || end - at < 46 || Le32(zip + at) != 0x02014b50) return total;
        total += Le32(zip + at + 24);
        at += 46 + static_cast<size_t>(Le16(zip + at + 28)) + Le16(zip + at + 30) + Le16(zip + at + 32);
    }
    return total;
}

uint64_t RunningFileBytes() {
    wchar_t path[kTextChars];
    const DWORD n = GetModuleFileNameW(nullptr, path, kTextChars);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (n == 0 || n >= kTextChars || !GetFileAttributesExW(path, GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// The folder as /folder= takes it: quoted where it has a blank; a trailing backslash goes
// (a drive's root keeps it, unquoted: it has no blank).
void FolderSwitch(const wchar_t* folder, wchar_t (&out)[kTextChars]) {
    wchar_t plain[kTextChars];
    lstrcpynW(plain, folder, kTextChars);
    size_t length = wcslen(plain);
    if (length > 3 && plain[length - 1] == L'\\') plain[--length] = L'\0';
    if (wcschr(plain, L' ') != nullptr)
        swprintf(out, kTextChars, L"/folder=\"%ls\"", plain);
    else
        swprintf(out, kTextChars, L"/folder=%ls", plain);
}

} // namespace

bool FitsUninstallString(const wchar_t* viewerFolder) noexcept {
    return wcsnlen(viewerFolder, kSwitchValueLimit + 1) + 2 < kSwitchValueLimit && wcschr(viewerFolder, L'/') == nullptr;
}

bool ComposeEntry(const wchar_t* viewerFolder, const wchar_t* plugins, const wchar_t* copy, bool plainKey,
                  EntrySnapshot& values) noexcept {
    values.Clear();
    if (!FitsUninstallString(viewerFolder)) return false;
    wchar_t name[kTextChars], folder[kTextChars], uninstall[kTextChars], quiet[kTextChars], icon[kTextChars];
    wchar_t date[16];
    if (plainKey)
        swprintf(name, kTextChars, L"%ls", PRODUCT_NAME_WTEXT);
    else
        swprintf(name, kTextChars, L"%ls (%ls)", PRODUCT_NAME_WTEXT, viewerFolder);
    FolderSwitch(viewerFolder, folder);
    swprintf(uninstall, kTextChars, L"\"%ls\" /uninstall %ls", copy, folder);
    swprintf(quiet, kTextChars, L"\"%ls\" /silent /uninstall %ls", copy, folder);
    swprintf(icon, kTextChars, L"%ls,0", copy);
    SYSTEMTIME now{};
    GetLocalTime(&now);
    swprintf(date, 16, L"%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
    const uint64_t kib = (PackBytes() + RunningFileBytes() + 1023) / 1024;
    bool ok = values.AddString(L"DisplayName", name) && values.AddString(L"DisplayVersion", PRODUCT_DISPLAY_VERSION_WTEXT) &&
              values.AddDword(L"VersionMajor", PRODUCT_VERSION_MAJOR) &&
              values.AddDword(L"VersionMinor", PRODUCT_VERSION_MINOR) &&
              values.AddString(L"Publisher", PRODUCT_COMPANY_WTEXT) && values.AddString(L"InstallLocation", plugins) &&
              values.AddString(L"DisplayIcon", icon) &&
              values.AddDword(L"EstimatedSize", kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(kib)) &&
              values.AddString(L"InstallDate", date) && values.AddDword(L"NoModify", 1) && values.AddDword(L"NoRepair", 1) &&
              values.AddString(L"UninstallString", uninstall) && values.AddString(L"QuietUninstallString", quiet);
    struct Link { const wchar_t* name; const wchar_t* url; };
    for (const Link& link : {Link{L"URLInfoAbout", ENTRY_ABOUT_URL}, Link{L"HelpLink", ENTRY_HELP_URL},
                             Link{L"URLUpdateInfo", ENTRY_UPDATE_URL}})
        if (link.url[0] != L'\0') ok = ok && values.AddString(link.name, link.url);
    return ok;
}
