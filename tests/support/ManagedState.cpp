#include "support/ManagedState.h"

#include <shlobj.h>

#include <gtest/gtest.h>

#include "support/ScratchFolder.h"

namespace {

const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const wchar_t kPending[] = L"SOFTWARE\\Zorvalind.PlugIns.ARM64.Pending";
const wchar_t kPrefix[] = L"Zorvalind.PlugIns.ARM64";
const wchar_t kRunOnce[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

bool Ours(const std::wstring& name) { return name.compare(0, wcslen(kPrefix), kPrefix) == 0; }

std::vector<std::wstring> Subkeys(HKEY root, const wchar_t* path) {
    std::vector<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (Ours(name)) names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

std::vector<std::pair<std::wstring, std::vector<BYTE>>> Values(HKEY key, std::vector<DWORD>* types) {
    std::vector<std::pair<std::wstring, std::vector<BYTE>>> values;
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD chars = 16384, type = 0, bytes = 0;
        if (RegEnumValueW(key, i, name, &chars, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS) break;
        std::vector<BYTE> data(bytes);
        chars = 16384;
        RegEnumValueW(key, i, name, &chars, nullptr, &type, data.data(), &bytes);
        values.emplace_back(name, data);
        if (types != nullptr) types->push_back(type);
    }
    return values;
}

void RemoveOurRunOnce() {
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunOnce, 0, KEY_READ | KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    for (const auto& [name, data] : Values(key, nullptr))
        if (Ours(name)) RegDeleteValueW(key, name.c_str());
    RegCloseKey(key);
}

} // namespace

std::wstring CopyRootFor(bool machine) {
    PWSTR path = nullptr;
    std::wstring root;
    if (SUCCEEDED(SHGetKnownFolderPath(machine ? FOLDERID_ProgramData : FOLDERID_LocalAppData, 0, nullptr, &path)))
        root = path;
    CoTaskMemFree(path);
    return root;
}

std::vector<std::wstring> CopyFolders(const std::wstring& root) {
    std::vector<std::wstring> found;
    for (const std::wstring& f : ListFolders(root))
        if (f.find(L'\\') == std::wstring::npos && Ours(f)) found.push_back(f);
    return found;
}

std::wstring RegistryText(HKEY root, const std::wstring& key, const wchar_t* name) {
    wchar_t text[4096] = {};
    DWORD bytes = sizeof text - sizeof(wchar_t), type = 0;
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) return L"";
    const LONG status = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes);
    RegCloseKey(k);
    return status == ERROR_SUCCESS && type == REG_SZ ? text : L"";
}

bool RegistryDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD& value) {
    DWORD bytes = sizeof value, type = 0;
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) return false;
    const LONG status = RegQueryValueExW(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes);
    RegCloseKey(k);
    return status == ERROR_SUCCESS && type == REG_DWORD;
}

bool RegistryKeyExists(HKEY root, const std::wstring& key) {
    HKEY k;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

void ManagedState::Clear() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (const std::wstring& name : Subkeys(root, kUninstall))
            RegDeleteTreeW(root, (std::wstring(kUninstall) + L"\\" + name).c_str());
        RegDeleteTreeW(root, kPending);
    }
    for (bool machine : {true, false}) {
        const std::wstring root = CopyRootFor(machine);
        for (const std::wstring& f : CopyFolders(root)) RemoveTree(root + L"\\" + f);
    }
    RemoveOurRunOnce();
}

ManagedState::ManagedState() {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        std::vector<std::wstring> paths;
        for (const std::wstring& name : Subkeys(root, kUninstall)) paths.push_back(std::wstring(kUninstall) + L"\\" + name);
        paths.push_back(kPending);
        for (const std::wstring& path : paths) {
            HKEY key;
            if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) continue;
            Key saved{root, path, {}};
            std::vector<DWORD> types;
            auto values = Values(key, &types);
            for (size_t i = 0; i < values.size(); ++i) saved.values.push_back({values[i].first, types[i], values[i].second});
            RegCloseKey(key);
            keys_.push_back(std::move(saved));
        }
    }
    HKEY session;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &session) == ERROR_SUCCESS) {
        DWORD bytes = 0, type = 0;
        if (RegQueryValueExW(session, L"PendingFileRenameOperations", nullptr, &type, nullptr, &bytes) == ERROR_SUCCESS) {
            pendingRenames_.resize(bytes);
            RegQueryValueExW(session, L"PendingFileRenameOperations", nullptr, &type, pendingRenames_.data(), &bytes);
            hadPendingRenames_ = true;
        }
        RegCloseKey(session);
    }
    Clear();
}

ManagedState::~ManagedState() {
    Clear();
    for (const Key& saved : keys_) {
        HKEY key;
        if (RegCreateKeyExW(saved.root, saved.path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            continue;
        for (const Value& v : saved.values)
            RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
        RegCloseKey(key);
    }
    HKEY session;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_SET_VALUE, &session) == ERROR_SUCCESS) {
        if (hadPendingRenames_)
            RegSetValueExW(session, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, pendingRenames_.data(),
                           static_cast<DWORD>(pendingRenames_.size()));
        else
            RegDeleteValueW(session, L"PendingFileRenameOperations");
        RegCloseKey(session);
    }
}

namespace {

// Every test of a program that links this starts without the setup's management state and
// leaves none: an install of one test would otherwise choose another key name in the next.
class EachTest : public ::testing::EmptyTestEventListener {
    ManagedState* state_ = nullptr;
    void OnTestStart(const ::testing::TestInfo&) override { state_ = new ManagedState; }
    void OnTestEnd(const ::testing::TestInfo&) override {
        delete state_;
        state_ = nullptr;
    }
};

} // namespace

void KeepManagedStateForEachTest() {
    static bool added = false;
    if (!added) ::testing::UnitTest::GetInstance()->listeners().Append(new EachTest);
    added = true;
}
