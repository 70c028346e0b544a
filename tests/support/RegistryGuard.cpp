#include "support/RegistryGuard.h"

namespace {
bool KeyExists(const std::wstring& subKey) {
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The highest key on the way to subKey that does not exist yet: what creating subKey adds.
std::wstring FirstMissing(const std::wstring& subKey) {
    std::wstring missing = subKey;
    for (size_t cut = subKey.rfind(L'\\'); cut != std::wstring::npos; cut = subKey.rfind(L'\\', cut - 1)) {
        if (KeyExists(subKey.substr(0, cut))) break;
        missing = subKey.substr(0, cut);
        if (cut == 0) break;
    }
    return missing;
}
} // namespace

void RegistryGuard::Save(const std::wstring& subKey, const wchar_t* name) {
    Saved s{subKey, name ? name : L"", false, false, 0, {}};
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        s.subKey = FirstMissing(subKey);
        saved_.push_back(std::move(s));
        return;
    }
    s.keyExisted = true;
    DWORD bytes = 0;
    if (RegQueryValueExW(key, name, nullptr, &s.type, nullptr, &bytes) == ERROR_SUCCESS) {
        s.data.resize(bytes);
        RegQueryValueExW(key, name, nullptr, &s.type, s.data.data(), &bytes);
        s.valueExisted = true;
    }
    RegCloseKey(key);
    saved_.push_back(std::move(s));
}

bool RegistryGuard::SetBytes(const std::wstring& subKey, const wchar_t* name, const void* data, DWORD bytes,
                             DWORD type) {
    Save(subKey, name);
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    LONG r = RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    return r == ERROR_SUCCESS;
}

bool RegistryGuard::SetString(const std::wstring& subKey, const wchar_t* name, const std::wstring& value) {
    return SetBytes(subKey, name, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

bool RegistryGuard::RemoveKey(const std::wstring& subKey) {
    if (!KeyExists(subKey)) return true;
    // Kept whole so it can be put back: only keys without subkeys are removed by tests.
    Save(subKey, nullptr);
    saved_.back().wholeKey = true;
    return RegDeleteTreeW(HKEY_LOCAL_MACHINE, subKey.c_str()) == ERROR_SUCCESS;
}

RegistryGuard::~RegistryGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
        if (!it->keyExisted) {
            RegDeleteTreeW(HKEY_LOCAL_MACHINE, it->subKey.c_str());
            continue;
        }
        HKEY key;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, it->subKey.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            continue;
        const wchar_t* name = it->name.empty() ? nullptr : it->name.c_str();
        if (it->valueExisted)
            RegSetValueExW(key, name, 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
        else if (!it->wholeKey)
            RegDeleteValueW(key, name);
        RegCloseKey(key);
    }
}
