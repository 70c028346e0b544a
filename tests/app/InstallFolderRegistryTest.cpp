// Against real keys under HKLM in the tests' own Wine prefix, put back afterwards.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/InstallFolderRegistry.h"
#include "support/RegistryGuard.h"

namespace {

struct Found { int result; std::wstring folder; };

Found Find() {
    wchar_t buffer[260];
    wcscpy(buffer, L"left over from before");
    int r = FindInstallFolderInRegistry(buffer);
    return {r, buffer};
}

TEST(InstallFolderRegistry, OpenCommandCases) {
    struct Case { const wchar_t* command; int result; const wchar_t* folder; };
    const Case cases[] = {
        {L"\"C:\\Tools\\Zorvalind\\zorvi64.exe\" \"%1\"", 1, L"C:\\Tools\\Zorvalind\\"},
        {L"\"C:\\Tools\\Zorvalind\\ZORVI64.EXE\" \"%1\"", 1, L"C:\\Tools\\Zorvalind\\"},
        {L"\"D:\\zorvi64.exe\" \"%1\"", 1, L"D:\\"},
        {L"\"C:\\Tools\\Zorvalind\\myzorvi64.exe.bak\"", 1, L"C:\\Tools\\Zorvalind\\"},
        {L"C:\\Apps\\zorvi64.exe %1", 1, L":\\Apps\\"},  // no opening quote: its first character is skipped
        {L"\"C:\\Tools\\Other\\viewer.exe\" \"%1\"", 0, L""},
        {L"", 0, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        RegistryGuard registry;
        ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr, c.command));
        Found f = Find();
        EXPECT_EQ(f.result, c.result);
        EXPECT_EQ(f.folder, c.folder);
    }
    RegistryGuard registry;
    ASSERT_TRUE(registry.RemoveKey(RegistryGuard::kCommandKey));
    Found none = Find();
    EXPECT_EQ(none.result, 0);
    EXPECT_EQ(none.folder, L"");
}

// Values the 260-character buffer cannot hold, or that fill it without a terminator, are
// never read past their end: no folder. (Wine terminates a shorter unterminated value
// itself, so that case looks terminated here.)
TEST(InstallFolderRegistry, UnterminatedOrOverlongCommand) {
    std::wstring longValue = L"\"C:\\" + std::wstring(300, L'x') + L"\\zorvi64.exe\"";
    struct Case { const char* what; std::wstring data; DWORD bytes; };
    const Case cases[] = {
        {"over 260 characters", longValue, static_cast<DWORD>((longValue.size() + 1) * sizeof(wchar_t))},
        {"exactly 260 without terminator", std::wstring(L"\"C:\\zorvi64.exe\"") + std::wstring(244, L' '),
         520},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard registry;
        ASSERT_TRUE(registry.SetBytes(RegistryGuard::kCommandKey, nullptr, c.data.c_str(), c.bytes));
        Found f = Find();
        EXPECT_EQ(f.result, 0);
        EXPECT_EQ(f.folder, L"");
    }
    // 259 characters and the terminator fit.
    std::wstring fits = std::wstring(L"\"C:\\zorvi64.exe\"") + std::wstring(243, L' ');
    RegistryGuard registry;
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr, fits));
    EXPECT_EQ(Find().folder, L"C:\\");
}

// Only REG_SZ is a path as it stands; the same text under another type is not found.
TEST(InstallFolderRegistry, ValuesOfOtherTypesAreNotFound) {
    const std::wstring command = L"\"C:\\Tools\\Zorvalind\\zorvi64.exe\" \"%1\"";
    const std::wstring programFiles = L"D:\\Apps";
    const DWORD number = 0x003A0043;  // "C:" read as text
    struct Case { const char* what; DWORD type; bool asText; };
    const Case cases[] = {
        {"REG_BINARY", REG_BINARY, true},
        {"REG_MULTI_SZ", REG_MULTI_SZ, true},
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, true},
        {"REG_DWORD", REG_DWORD, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard registry;
        // Text values carry a second terminator, so a REG_MULTI_SZ is well formed.
        auto set = [&](const std::wstring& subKey, const wchar_t* name, const std::wstring& text) {
            const std::wstring data = text + L'\0';
            return c.asText ? registry.SetBytes(subKey, name, data.c_str(),
                                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)), c.type)
                            : registry.SetBytes(subKey, name, &number, sizeof number, c.type);
        };
        ASSERT_TRUE(set(RegistryGuard::kCommandKey, nullptr, command));
        ASSERT_TRUE(set(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
        Found f = Find();
        EXPECT_EQ(f.result, 0);
        EXPECT_EQ(f.folder, L"");
        wchar_t buffer[260] = L"x";
        EXPECT_EQ(GetDefaultInstallFolder(buffer), 1);
        EXPECT_STREQ(buffer, L"C:\\Zorvalind\\");
    }
    // The same texts as REG_SZ are found.
    RegistryGuard registry;
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCommandKey, nullptr, command));
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", programFiles));
    EXPECT_EQ(Find().folder, L"C:\\Tools\\Zorvalind\\");
    wchar_t buffer[260] = L"x";
    GetDefaultInstallFolder(buffer);
    EXPECT_STREQ(buffer, L"D:\\Apps\\Zorvalind");
}

TEST(InstallFolderRegistry, DefaultFolderUnderProgramFiles) {
    struct Case { const char* what; std::wstring value; DWORD bytes; const wchar_t* folder; };
    const std::wstring noNul = L"E:\\" + std::wstring(257, L'p');
    const Case cases[] = {
        {"plain", L"C:\\Program Files", 0, L"C:\\Program Files\\Zorvalind"},
        {"trailing backslash", L"D:\\Apps\\", 0, L"D:\\Apps\\Zorvalind"},
        {"fills the buffer unterminated", noNul, static_cast<DWORD>(noNul.size() * sizeof(wchar_t)), L"C:\\Zorvalind\\"},
        {"too long", L"C:\\" + std::wstring(270, L'p'), 0, L"C:\\Zorvalind\\"},
        {"no room for the folder name", L"C:\\" + std::wstring(250, L'p'), 0, L"C:\\Zorvalind\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RegistryGuard registry;
        DWORD bytes = c.bytes != 0 ? c.bytes : static_cast<DWORD>((c.value.size() + 1) * sizeof(wchar_t));
        ASSERT_TRUE(registry.SetBytes(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", c.value.c_str(), bytes));
        wchar_t buffer[520];
        wcscpy(buffer, L"whatever was here");
        EXPECT_EQ(GetDefaultInstallFolder(buffer), 1);
        EXPECT_STREQ(buffer, c.folder);
    }
}

TEST(InstallFolderRegistry, DefaultFolderWithoutTheValue) {
    // The value missing while the key opens gives the fallback, as a missing key does.
    RegistryGuard registry;
    ASSERT_TRUE(registry.SetString(RegistryGuard::kCurrentVersionKey, L"ProgramFilesDir", L"x"));
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, RegistryGuard::kCurrentVersionKey, 0, KEY_SET_VALUE, &key), 0);
    RegDeleteValueW(key, L"ProgramFilesDir");
    RegCloseKey(key);
    wchar_t buffer[260] = L"x";
    EXPECT_EQ(GetDefaultInstallFolder(buffer), 1);
    EXPECT_STREQ(buffer, L"C:\\Zorvalind\\");
}

} // namespace
