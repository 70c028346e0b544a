// The log's bytes, against the date this machine's user locale gives today.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/Strings.h"
#include "install/FolderTrust.h"
#include "install/InstallLog.h"
#include "support/LogEntries.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

class InstallLog : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring log = scratch / L"Zorvalind_Install.log";
    void SetUp() override { ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str())); }
    void TearDown() override { SetInstallLogPath(nullptr); }
    std::string Bytes() {
        std::string b;
        return ReadBytes(log, b) ? b : std::string("<no log>");
    }
};

TEST_F(InstallLog, OneLineEntry) {
    WriteLogEntry(L"No install folder!");
    EXPECT_EQ(StripTimes(Bytes()), ExpectedEntry("No install folder!\r\n"));
}

TEST_F(InstallLog, MultiLineMessageTakesSevenLines) {
    fw::CString text(IDS_NO_FOLDER_SILENT);
    WriteLogEntry(text);
    const std::string expected = ExpectedEntry(
        "Error!\r\n\r\nCan't find Zorvalind folder!\r\n\r\nYou have either no registry access permissions or "
        "Zorvalind is not installed!\r\nPlease check your user permissions or install Zorvalind!\r\n");
    EXPECT_EQ(StripTimes(Bytes()), expected);
    std::string b = Bytes();
    EXPECT_EQ(std::count(b.begin(), b.end(), '\n'), 7);
}

TEST_F(InstallLog, SingleBytesWithQuestionMarksAndCarriageReturnsKept) {
    WriteLogEntry(L"caf\u00e9 \u20ac \u0100 cr\rend");
    EXPECT_EQ(StripTimes(Bytes()), ExpectedEntry("caf\xe9 ? ? cr\rend\r\n"));
}

TEST_F(InstallLog, AppendsAfterWhatIsThereAndNeverRewrites) {
    const std::string bom = "\xFF\xFE" "a\0b\0";
    for (const std::string& before : {std::string("old line\r\n"), std::string(bom.data(), 6)}) {
        ASSERT_TRUE(WriteBytes(log, before));
        WriteLogEntry(L"first");
        WriteLogEntry(L"second");
        std::string b = Bytes();
        ASSERT_EQ(b.compare(0, before.size(), before), 0);
        EXPECT_EQ(StripTimes(b.substr(before.size())), ExpectedEntry("first\r\n") + ExpectedEntry("second\r\n"));
    }
}

TEST_F(InstallLog, UnwritableFolderDropsTheEntry) {
    ASSERT_TRUE(MakeReadOnly(scratch.Path()));
    WriteLogEntry(L"lost");
    EXPECT_FALSE(Exists(log));
}

// A junction planted on the way to an asked log is refused like one in the install tree: the
// process refuses such links before that file is first opened. The default log, in the start
// folder, changes nothing of the process. Once on, the protection stays on for the rest of a
// process, so this runs in a process of its own (gtest's death-test child).
TEST(InstallLogDeathTest, AskedLogIsOpenedOnlyOnceLinksAreRefused) {
    EXPECT_EXIT(
        {
            int code = 0;
            {
                ScratchFolder scratch;
                SetCurrentDirectoryW(scratch.Path().c_str());
                WriteLogEntry(L"default");
                if (CurrentRedirectionTrust() != RedirectionTrust::NotTried) code = 1;
                const std::wstring asked = scratch / L"asked.log";
                SetInstallLogPath(asked.c_str());
                WriteLogEntry(L"asked");
                SetInstallLogPath(nullptr);
                // Wine accepts the policy and enables nothing; Windows 11 reads it back as on.
                if (code == 0 && CurrentRedirectionTrust() == RedirectionTrust::NotTried) code = 2;
                std::string b;
                if (code == 0 && (!ReadBytes(asked, b) || StripTimes(b) != ExpectedEntry("asked\r\n"))) code = 3;
            }
            exit(code);
        },
        ::testing::ExitedWithCode(0), "")
        << "1: the default log turned it on; 2: the asked log was opened without it; 3: no entry";
}

TEST_F(InstallLog, GivenPathInsteadOfTheCurrentDirectoryOrNowhere) {
    const std::wstring elsewhere = scratch / L"elsewhere";
    ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
    const std::wstring given = elsewhere + L"\\setup.log";
    SetInstallLogPath(given.c_str());
    WriteLogEntry(L"first");
    // The path is kept, not the current directory it was given in.
    ASSERT_TRUE(SetCurrentDirectoryW(elsewhere.c_str()));
    WriteLogEntry(L"second");
    ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
    std::string b;
    ASSERT_TRUE(ReadBytes(given, b));
    EXPECT_EQ(StripTimes(b), ExpectedEntry("first\r\n") + ExpectedEntry("second\r\n"));
    EXPECT_EQ(ListFiles(scratch.Path()), (std::vector<std::wstring>{L"elsewhere\\setup.log"}));

    // Lost: an empty path, a path of 520 characters, a folder that does not exist.
    const std::wstring tooLong = scratch.Path() + L"\\" + std::wstring(519 - scratch.Path().size(), L'l');
    for (const std::wstring& lost : {std::wstring(), tooLong, scratch / L"missing\\setup.log"}) {
        SetInstallLogPath(lost.c_str());
        WriteLogEntry(L"lost");
        EXPECT_EQ(ListFiles(scratch.Path()), (std::vector<std::wstring>{L"elsewhere\\setup.log"})) << lost.size();
    }
    SetInstallLogPath(nullptr);
    WriteLogEntry(L"back");
    EXPECT_EQ(StripTimes(Bytes()), ExpectedEntry("back\r\n"));
}

// Whatever is planted at the log's name that is not a plain file of its own is left as it
// is, and what it points at too. Wine 8 shows none of the Windows reparse points: it
// follows a Unix symbolic link to a file as if it were that file, so that case cannot be
// shown here; a dangling one it hides, and a junction it cannot make.
TEST_F(InstallLog, OnlyAPlainFileOfItsOwnIsAppendedTo) {
    const std::wstring target = scratch / L"target.txt", folder = scratch / L"folder";
    const std::wstring planted = scratch / L"planted";
    struct Case { const char* what; const wchar_t* script; bool makeTarget; };
    const Case cases[] = {
        {"dangling symbolic link", L"ln -s \\\"$1\\\" \\\"$0\\\"", false},
        {"symbolic link to a folder", L"ln -s \\\"$2\\\" \\\"$0\\\"", false},
        {"hard link to a file", L"ln \\\"$1\\\" \\\"$0\\\"", true},
        {"folder", L"mkdir \\\"$0\\\"", false},
    };
    const std::string before = "not ours\r\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
        if (c.makeTarget) {
            ASSERT_TRUE(WriteBytes(target, before));
        }
        RunShell(c.script, UnixPath(log), UnixPath(target), UnixPath(folder));
        FILE* opened = OpenInstallLog();
        EXPECT_EQ(opened, nullptr);
        if (opened != nullptr) fclose(opened);
        WriteLogEntry(L"planted");
        std::string b;
        if (c.makeTarget) {
            ASSERT_TRUE(ReadBytes(target, b));
            EXPECT_EQ(b, before);
        } else {
            EXPECT_FALSE(Exists(target));
        }
        EXPECT_TRUE(ListFiles(folder).empty());
        // Still there as it was planted, asked on the Unix side, where Wine hides nothing.
        RunShell(L"if [ -L \\\"$0\\\" ] || [ -e \\\"$0\\\" ]; then touch \\\"$1\\\"; fi", UnixPath(log),
                 UnixPath(planted));
        EXPECT_TRUE(Exists(planted));
        RunShell(L"rm -rf \\\"$0\\\" \\\"$1\\\" \\\"$2\\\"", UnixPath(log), UnixPath(target), UnixPath(folder));
        DeleteFileW(planted.c_str());
        ASSERT_FALSE(Exists(log));
    }
    // A device is no log either.
    SetInstallLogPath(L"\\\\.\\NUL");
    FILE* device = OpenInstallLog();
    EXPECT_EQ(device, nullptr);
    if (device != nullptr) fclose(device);
    SetInstallLogPath(nullptr);
    // And a plain file is: made when missing, then appended to.
    WriteLogEntry(L"plain");
    EXPECT_EQ(StripTimes(Bytes()), ExpectedEntry("plain\r\n"));
}

} // namespace
