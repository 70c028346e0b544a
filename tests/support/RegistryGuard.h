// Registry values under HKLM that a test sets, put back as they were when it ends.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

class RegistryGuard {
public:
    RegistryGuard() = default;
    ~RegistryGuard();
    RegistryGuard(const RegistryGuard&) = delete;
    RegistryGuard& operator=(const RegistryGuard&) = delete;

    // Raw bytes, so tests can store values without a terminator or of any length.
    bool SetBytes(const std::wstring& subKey, const wchar_t* name, const void* data, DWORD bytes, DWORD type = REG_SZ);
    bool SetString(const std::wstring& subKey, const wchar_t* name, const std::wstring& value);
    bool RemoveKey(const std::wstring& subKey);  // a key without subkeys; its default value comes back
    static constexpr wchar_t kCommandKey[] = L"SOFTWARE\\Classes\\Zorvalind\\shell\\open\\command";
    static constexpr wchar_t kCurrentVersionKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion";

private:
    struct Saved {
        std::wstring subKey, name;
        bool keyExisted, valueExisted;
        DWORD type;
        std::vector<BYTE> data;
        bool wholeKey = false;
    };
    void Save(const std::wstring& subKey, const wchar_t* name);
    std::vector<Saved> saved_;
};
