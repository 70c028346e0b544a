#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "app/CommandLine.h"
#include "app/Platform.h"

namespace {

TEST(CommandLine, TrimQuotedPath) {
    struct Case { const wchar_t* in; const wchar_t* out; };
    const Case cases[] = {
        {L"\"C:\\Program Files\\Zorvalind\" ", L"C:\\Program Files\\Zorvalind"},
        {L"\"C:\\Zorvalind\\\"  ", L"C:\\Zorvalind\\"},
        {L"C:\\Zorvalind\"", L"C:\\Zorvalind"},
        {L"\"C:\\Zorvalind", L"C:\\Zorvalind"},
        {L"\"", L""},
        {L"\"\"", L""},
        {L"  C:\\Data  ", L"  C:\\Data"},
        {L"C:\\Data\t ", L"C:\\Data\t"},
        {L"\" C:\\a\"b \" ", L" C:\\a\"b"},
        {L"", L""},
    };
    for (const Case& c : cases) {
        wchar_t buffer[64];
        wcscpy(buffer, c.in);
        TrimQuotedPath(buffer);
        EXPECT_STREQ(buffer, c.out) << c.in;
    }
}

TEST(CommandLine, FolderSwitchValue) {
    const std::wstring long300(300, L'x');
    struct Case { std::wstring line; bool found; std::wstring value; };
    const Case cases[] = {
        {L"setup.exe /silent /folder=\"C:\\Program Files\\Zorvalind\" /app", true, L"\"C:\\Program Files\\Zorvalind\" "},
        {L"setup.exe /silent /folder=C:\\Data/More", true, L"C:\\Data"},
        {L"setup.exe /silent /folder=", true, L""},
        {L"setup.exe /silent /folder=/app", true, L""},
        {L"setup.exe /silent /folder=C:\\" + long300, true, (L"C:\\" + long300).substr(0, 252)},
        {L"setup.exe /silent /FOLDER=C:\\Data", false, L""},
        {L"setup.exe /silent /folder=C:\\A /folder=C:\\B", true, L"C:\\A "},
    };
    for (const Case& c : cases) {
        wchar_t folder[kCommandLineChars] = L"unchanged";
        wchar_t copy[kCommandLineChars];
        CopyCommandLine(c.line.c_str(), copy);
        EXPECT_EQ(ReadFolderSwitch(copy, folder), c.found) << c.line;
        EXPECT_EQ(std::wstring(folder), c.found ? c.value : L"unchanged") << c.line;
    }
}

TEST(CommandLine, LongLineIsCutAndStaysTerminated) {
    std::wstring line = L"setup.exe /silent " + std::wstring(600, L'a') + L" /app";
    wchar_t copy[kCommandLineChars];
    CopyCommandLine(line.c_str(), copy);
    EXPECT_EQ(wcslen(copy), static_cast<size_t>(kCommandLineChars - 1));
    EXPECT_EQ(wcsstr(copy, L"/app"), nullptr) << "a switch beyond the cut is not seen";
}

TEST(Platform, GateAndVersion) {
    // Wine on this x86-64 machine reports the AMD64 native machine.
    USHORT native = 0;
    ASSERT_TRUE(QuerySystemNativeMachine(&native));
    EXPECT_EQ(native, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_FALSE(IsArm64Host());
    EXPECT_TRUE(IsWindowsXPOrLater());
}

} // namespace
