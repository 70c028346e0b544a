// The log's bytes, against the date this machine's user locale gives today.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/Strings.h"
#include "install/InstallLog.h"
#include "support/LogEntries.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"

namespace {

class InstallLog : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring log = scratch / L"Zorvalind_Install.log";
    void SetUp() override { ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str())); }
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

} // namespace
