#include "install/EntryKey.h"

#include <cwchar>

#include "framework/Handles.h"
#include "install/EntrySnapshot.h"

namespace {

constexpr REGSAM kView = KEY_WOW64_64KEY;
constexpr size_t kLocationChars = 1100;
constexpr unsigned kHashedNames = 8;

// FNV-1a over the folder in capitals: one folder, one name, whatever its spelling's case.
uint32_t FolderHash(const wchar_t* folder) {
    uint32_t hash = 2166136261u;
    for (const wchar_t* p = folder; *p != L'\0'; ++p) {
        wchar_t c = *p;
        CharUpperBuffW(&c, 1);
        hash = (hash ^ (c & 0xFF)) * 16777619u;
        hash = (hash ^ (c >> 8)) * 16777619u;
    }
    return hash;
}

void NameOf(unsigned slot, uint32_t hash, wchar_t (&name)[kEntryKeyChars]) {
    if (slot == 0)
        swprintf(name, kEntryKeyChars, L"%ls", kEntryKeyName);
    else
        swprintf(name, kEntryKeyChars, L"%ls.%08X", kEntryKeyName, hash + (slot - 1));
}

bool OpenUninstall(EntryHive hive, REGSAM access, bool create, fw::unique_hkey& key) {
    HKEY raw = nullptr;
    const LONG status =
        create ? RegCreateKeyExW(RootOf(hive), kUninstallKey, 0, nullptr, 0, access | kView, nullptr, &raw, nullptr)
               : RegOpenKeyExW(RootOf(hive), kUninstallKey, 0, access | kView, &raw);
    key.reset(status == ERROR_SUCCESS ? raw : nullptr);
    if (status != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}

} // namespace

EntryHive HiveOfThisRun() noexcept {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return EntryHive::User;
    fw::unique_hfile token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD needed = 0;
    // SYSTEM's token counts as elevated too.
    const bool elevated = GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &needed) &&
                          elevation.TokenIsElevated != 0;
    return elevated ? EntryHive::Machine : EntryHive::User;
}

HKEY RootOf(EntryHive hive) noexcept { return hive == EntryHive::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER; }

bool IsEntryKeyName(const wchar_t* name) noexcept {
    const size_t plain = wcslen(kEntryKeyName);
    if (wcsncmp(name, kEntryKeyName, plain) != 0) return false;
    if (name[plain] == L'\0') return true;
    if (name[plain] != L'.') return false;
    for (size_t i = 1; i <= 8; ++i)
        if (!iswxdigit(name[plain + i]) || (name[plain + i] >= L'a' && name[plain + i] <= L'f')) return false;
    return name[plain + 9] == L'\0';
}

bool FindEntryKey(EntryHive hive, const wchar_t* plugins, bool choose, wchar_t (&name)[kEntryKeyChars],
                  bool& exists) noexcept {
    exists = false;
    const uint32_t hash = FolderHash(plugins);
    fw::unique_hkey uninstall;
    const bool opened = OpenUninstall(hive, KEY_READ, false, uninstall);
    int freeSlot = -1;
    for (unsigned slot = 0; slot <= kHashedNames; ++slot) {
        wchar_t candidate[kEntryKeyChars];
        NameOf(slot, hash, candidate);
        HKEY raw = nullptr;
        if (!opened || RegOpenKeyExW(uninstall.get(), candidate, 0, KEY_QUERY_VALUE | kView, &raw) != ERROR_SUCCESS) {
            if (freeSlot < 0) freeSlot = static_cast<int>(slot);
            continue;
        }
        fw::unique_hkey key(raw);
        wchar_t location[kLocationChars] = {};
        DWORD bytes = sizeof location - sizeof(wchar_t), type = REG_NONE;
        if (RegQueryValueExW(key.get(), L"InstallLocation", nullptr, &type, reinterpret_cast<BYTE*>(location),
                             &bytes) == ERROR_SUCCESS &&
            type == REG_SZ && _wcsicmp(location, plugins) == 0) {
            wcscpy(name, candidate);
            exists = true;
            return true;
        }
    }
    if (!choose || freeSlot < 0) return false;
    NameOf(static_cast<unsigned>(freeSlot), hash, name);
    return true;
}

bool ReadEntry(EntryHive hive, const wchar_t* name, EntrySnapshot& values, bool& present) noexcept {
    values.Clear();
    present = false;
    fw::unique_hkey uninstall;
    if (!OpenUninstall(hive, KEY_READ, false, uninstall)) return GetLastError() == ERROR_FILE_NOT_FOUND;
    HKEY raw = nullptr;
    const LONG status = RegOpenKeyExW(uninstall.get(), name, 0, KEY_QUERY_VALUE | kView, &raw);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    fw::unique_hkey key(raw);
    present = true;
    if (values.Read(key.get())) return true;
    SetLastError(ERROR_MORE_DATA);
    return false;
}

bool WriteEntry(EntryHive hive, const wchar_t* name, const EntrySnapshot* values) noexcept {
    if (!IsEntryKeyName(name)) {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    fw::unique_hkey uninstall;
    if (values == nullptr) {
        if (!OpenUninstall(hive, KEY_READ | KEY_WRITE | DELETE, false, uninstall))
            return GetLastError() == ERROR_FILE_NOT_FOUND;
        const LONG status = RegDeleteTreeW(uninstall.get(), name);
        if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) {
            SetLastError(static_cast<DWORD>(status));
            return false;
        }
        RegFlushKey(uninstall.get());
        return true;
    }
    if (!OpenUninstall(hive, KEY_CREATE_SUB_KEY, true, uninstall)) return false;
    HKEY raw = nullptr;
    LONG status = RegCreateKeyExW(uninstall.get(), name, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | kView,
                                  nullptr, &raw, nullptr);
    if (status != ERROR_SUCCESS) {
        SetLastError(static_cast<DWORD>(status));
        return false;
    }
    fw::unique_hkey key(raw);
    // Values that the snapshot does not hold go first, from the last one down, so that the
    // enumeration's indexes stay valid.
    DWORD count = 0;
    if (RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    for (DWORD i = count; i > 0; --i) {
        wchar_t existing[kValueNameChars];
        DWORD chars = kValueNameChars, type = 0, bytes = 0;
        const unsigned char* data = nullptr;
        status = RegEnumValueW(key.get(), i - 1, existing, &chars, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && !values->Find(existing, type, data, bytes))) {
            // A name too long to read back cannot be named to remove it: refused.
            if (status == ERROR_MORE_DATA || RegDeleteValueW(key.get(), existing) != ERROR_SUCCESS) {
                SetLastError(ERROR_CANTWRITE);
                return false;
            }
        }
    }
    wchar_t value[kValueNameChars];
    DWORD type = 0, bytes = 0;
    const unsigned char* data = nullptr;
    for (size_t i = 0; values->At(i, value, type, data, bytes); ++i) {
        status = RegSetValueExW(key.get(), value, 0, type, data, bytes);
        if (status != ERROR_SUCCESS) {
            SetLastError(static_cast<DWORD>(status));
            return false;
        }
    }
    status = RegFlushKey(key.get());
    if (status != ERROR_SUCCESS) SetLastError(static_cast<DWORD>(status));
    return status == ERROR_SUCCESS;
}
