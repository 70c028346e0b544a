// What the setup leaves for managing the pack: its Apps & Features entries (both hives), their
// pending records, its copies below %ProgramData% and %LOCALAPPDATA%, and what schedules a
// copy's removal. Each test starts without any of it, and what was there before comes back.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class ManagedState {
public:
    ManagedState();
    ~ManagedState();
    ManagedState(const ManagedState&) = delete;
    ManagedState& operator=(const ManagedState&) = delete;

    // Removes every entry, pending record, copy folder and scheduled removal of the setup's.
    static void Clear();

private:
    struct Value {
        std::wstring name;
        DWORD type;
        std::vector<BYTE> data;
    };
    struct Key {
        HKEY root;
        std::wstring path;
        std::vector<Value> values;
    };
    std::vector<Key> keys_;
    std::vector<BYTE> pendingRenames_;
    bool hadPendingRenames_ = false;
};

// Where the copies live: %ProgramData% (elevated) and %LOCALAPPDATA% (not elevated).
std::wstring CopyRootFor(bool machine);
// The setup's copy folders below root (names beginning with the entry's key name).
std::vector<std::wstring> CopyFolders(const std::wstring& root);
// Reads a registry value as text; empty where it is missing or no REG_SZ.
std::wstring RegistryText(HKEY root, const std::wstring& key, const wchar_t* name);
bool RegistryDword(HKEY root, const std::wstring& key, const wchar_t* name, DWORD& value);
bool RegistryKeyExists(HKEY root, const std::wstring& key);

inline constexpr wchar_t kEntryKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Zorvalind.PlugIns.ARM64";
inline constexpr wchar_t kSessionManagerKey[] = L"System\\CurrentControlSet\\Control\\Session Manager";
void KeepManagedStateForEachTest();  // registers a listener that wraps every test in a ManagedState
