#include <gtest/gtest.h>

#include <cwchar>
#include <string>

#include "app/CommandLine.h"
#include "app/Platform.h"
#include "app/SilentInstall.h"
#include "install/InstallLog.h"
#include "support/LogEntries.h"
#include "support/ScratchFolder.h"

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

TEST(CommandLine, PathSwitchValue) {
    using enum PathSwitch;
    const std::wstring long300(300, L'x');
    const std::wstring fill248(248, L'x');  // and the drive in front: 251 characters
    struct Case { std::wstring line; const wchar_t* name; PathSwitch found; std::wstring value; };
    const Case cases[] = {
        {L"setup.exe /silent /folder=\"C:\\Program Files\\Zorvalind\" /app", L"/folder=", Given,
         L"\"C:\\Program Files\\Zorvalind\" "},
        {L"setup.exe /silent /folder=C:\\Data/More", L"/folder=", Given, L"C:\\Data"},
        {L"setup.exe /silent /folder=", L"/folder=", Given, L""},
        {L"setup.exe /silent /folder=/app", L"/folder=", Given, L""},
        {L"setup.exe /silent /FOLDER=C:\\Data", L"/folder=", Absent, L""},
        {L"setup.exe /silent /folder=C:\\A /folder=C:\\B", L"/folder=", Given, L"C:\\A "},
        // The limit: 251 characters are a whole value; at 252 it may have been cut.
        {L"setup.exe /silent /folder=C:\\" + fill248, L"/folder=", Given, L"C:\\" + fill248},
        {L"setup.exe /silent /folder=C:\\" + fill248 + L"/app", L"/folder=", Given, L"C:\\" + fill248},
        {L"setup.exe /silent /folder=C:\\" + fill248 + L"x", L"/folder=", TooLong, L""},
        {L"setup.exe /silent /folder=C:\\" + fill248 + L"x/app", L"/folder=", TooLong, L""},
        {L"setup.exe /silent /folder=C:\\" + long300, L"/folder=", TooLong, L""},
        {L"setup.exe /silent /log=\"C:\\logs\\setup.log\" /folder=C:\\A", L"/log=", Given,
         L"\"C:\\logs\\setup.log\" "},
        {L"setup.exe /silent /log=C:/logs/x.log", L"/log=", Given, L"C:"},
        {L"setup.exe /silent /Log=x.log", L"/log=", Absent, L""},
        {L"setup.exe /silent /log=" + std::wstring(251, L'l'), L"/log=", Given, std::wstring(251, L'l')},
        {L"setup.exe /silent /log=" + std::wstring(252, L'l'), L"/log=", TooLong, L""},
        // Blanks before an opening quote are not part of the value; before anything else they are.
        {L"setup.exe /silent /log= \"C:\\x.log\"", L"/log=", Given, L"\"C:\\x.log\""},
        {L"setup.exe /silent /folder=  \t \"C:\\A B\" /app", L"/folder=", Given, L"\"C:\\A B\" "},
        {L"setup.exe /silent /folder= C:\\A", L"/folder=", Given, L" C:\\A"},
        {L"setup.exe /silent /folder= ", L"/folder=", Given, L" "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        wchar_t value[kCommandLineChars] = L"unchanged";
        wchar_t copy[kCommandLineChars];
        const bool cut = CopyCommandLine(c.line.c_str(), copy);
        EXPECT_EQ(ReadPathSwitch(copy, cut, c.name, value), c.found);
        EXPECT_EQ(std::wstring(value), c.found == Absent ? L"unchanged" : c.value);
    }
    // The folder switch is this with its own name.
    wchar_t copy[kCommandLineChars], folder[kCommandLineChars] = {};
    CopyCommandLine(L"setup.exe /log=C:\\l.log /folder=C:\\F /app", copy);
    EXPECT_EQ(ReadFolderSwitch(copy, false, folder), Given);
    EXPECT_STREQ(folder, L"C:\\F ");
}

TEST(CommandLine, OnlyAbsoluteFolders) {
    struct Case { const wchar_t* folder; bool absolute; };
    const Case cases[] = {
        {L"C:\\ok", true},
        {L"C:\\", true},
        {L"z:\\Tools\\Zorvalind\\", true},
        {L"C:/Tools", true},
        {L"\\\\server\\share\\x", true},
        {L"\\\\server\\share", true},
        {L"C:", false},
        {L"C:Tools", false},
        {L"\\Tools", false},
        {L"Tools\\Z", false},
        {L"1:\\Tools", false},
        {L" C:\\Tools", false},
        {L"\\\\server", false},
        {L"\\\\server\\", false},
        {L"\\\\server\\\\share", false},
        {L"\\\\\\share", false},
        {L"\\\\.\\C:\\Tools", false},
        {L"\\\\?\\C:\\Tools", false},
        {L"", false},
    };
    for (const Case& c : cases) EXPECT_EQ(IsAbsoluteFolder(c.folder), c.absolute) << c.folder;
}

TEST(CommandLine, LongLineIsCutAndStaysTerminated) {
    std::wstring line = L"setup.exe /silent " + std::wstring(600, L'a') + L" /app";
    wchar_t copy[kCommandLineChars];
    EXPECT_TRUE(CopyCommandLine(line.c_str(), copy));
    EXPECT_EQ(wcslen(copy), static_cast<size_t>(kCommandLineChars - 1));
    EXPECT_EQ(wcsstr(copy, L"/app"), nullptr) << "a switch beyond the cut is not seen";
}

// A value that runs into the cut is only the start of what was written: a folder cut to
// a prefix would install the pack where nobody asked.
TEST(CommandLine, ValueCutWithTheLineIsRefused) {
    using enum PathSwitch;
    const size_t keep = kCommandLineChars - 1;  // characters the copy keeps
    // The line as written, made exactly `length` characters long by the value at its end.
    auto lineOf = [](const std::wstring& head, size_t length) {
        return head + L"C:\\" + std::wstring(length - head.size() - 3, L'x');
    };
    const std::wstring folderHead = L"setup.exe /silent /log=\"" + std::wstring(380, L'l') + L"\" /folder=";
    const std::wstring logHead = L"setup.exe /silent /folder=C:\\F /log=" + std::wstring(300, L' ') + L"\"";
    struct Case { const char* what; std::wstring line; const wchar_t* name; bool cut; PathSwitch found; };
    const Case cases[] = {
        {"folder ends at the copy's end, line ends there", lineOf(folderHead, keep), L"/folder=", false, Given},
        {"folder runs into the cut by one character", lineOf(folderHead, keep + 1), L"/folder=", true, TooLong},
        {"folder runs far past the cut", lineOf(folderHead, keep + 200), L"/folder=", true, TooLong},
        {"folder ends before the cut", folderHead + L"C:\\F /app" + std::wstring(300, L'a'), L"/folder=", true, Given},
        {"log runs into the cut", lineOf(logHead, keep + 5) + L"\"", L"/log=", true, TooLong},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t copy[kCommandLineChars], value[kCommandLineChars] = {};
        ASSERT_EQ(CopyCommandLine(c.line.c_str(), copy), c.cut);
        EXPECT_EQ(ReadPathSwitch(copy, c.cut, c.name, value), c.found);
        if (c.found == TooLong) {
            EXPECT_STREQ(value, L"");
        }
    }
}

// "/log=" is resolved once, against the directory current at start: later changes of
// the current directory do not move the log.
TEST(CommandLine, LogSwitchResolvedAtStart) {
    ScratchFolder scratch;
    // Another depth, so that a relative name left unresolved points elsewhere from there.
    const std::wstring startFolder = scratch / L"start", later = scratch / L"later\\deeper";
    ASSERT_TRUE(CreateDirectoryW(startFolder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"later").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(later.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((scratch / L"my logs").c_str(), nullptr));
    struct Case { const char* what; std::wstring line; std::wstring log; };  // log empty: lost
    const Case cases[] = {
        {"relative", L"setup.exe /silent /log=..\\my logs\\a.log", scratch / L"my logs\\a.log"},
        {"quoted, blanks before the next switch", L"setup.exe /log=\"" + (scratch / L"my logs\\b.log") +
         L"\"  /silent", scratch / L"my logs\\b.log"},
        {"absent: as before, the current directory of the moment", L"setup.exe /silent",
         later + L"\\Zorvalind_Install.log"},
        {"empty", L"setup.exe /silent /log= /app", L""},
        {"too long", L"setup.exe /silent /log=" + std::wstring(252, L'l'), L""},
        {"a blank before the quote", L"setup.exe /silent /log= \"" + (scratch / L"my logs\\c.log") + L"\"",
         scratch / L"my logs\\c.log"},
        {"cut with the command line", L"setup.exe /silent " + std::wstring(380, L'a') + L" /log=\"" +
         (scratch / L"my logs\\") + std::wstring(200, L'd') + L".log\"", L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(SetCurrentDirectoryW(startFolder.c_str()));
        UseLogSwitch(c.line.c_str());
        ASSERT_TRUE(SetCurrentDirectoryW(later.c_str()));
        WriteLogEntry(L"entry");
        SetInstallLogPath(nullptr);
        if (!c.log.empty()) {
            std::string b;
            ASSERT_TRUE(ReadBytes(c.log, b));
            EXPECT_EQ(StripTimes(b), ExpectedEntry("entry\r\n"));
            DeleteFileW(c.log.c_str());
        }
        EXPECT_TRUE(ListFiles(scratch.Path()).empty());
    }
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
