// The install operation with the embedded sample pack, its reports captured.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/MessageIds.h"
#include "framework/Strings.h"
#include "install/InstallPlugins.h"
#include "support/LogEntries.h"
#include "support/ManagedState.h"
#include "support/MessageBoxes.h"
#include "support/ScratchFolder.h"

namespace {

// Every install registers an entry and keeps a copy: each test starts and ends without them.
const bool kManagedStateKept = (KeepManagedStateForEachTest(), true);

const wchar_t kCaption[] = L"Zorvalind PlugIns ARM 64-bit Setup";

std::string LogBytesOf(UINT id) { return ExpectedEntryFor(fw::CString(id).c_str()); }

class Install : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring log = start + L"\\Zorvalind_Install.log";
    std::wstring viewer = scratch / L"Zorvalind";
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(viewer.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    }
    void TearDown() override { SilentMode = 0; }
    std::string Log() {
        std::string b;
        return ReadBytes(log, b) ? StripTimes(b) : std::string("<no log>");
    }
    bool Installed(const std::wstring& plugins) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((plugins + L"\\*.dll").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return false;
        FindClose(find);
        return true;
    }
};

TEST_F(Install, FolderWithOrWithoutSeparatorGetsOnePluginsFolder) {
    for (const std::wstring& folder : {viewer, viewer + L"\\", scratch / L"Fwd/"}) {
        SCOPED_TRACE(folder);
        SetCurrentDirectoryW(start.c_str());
        CapturedBoxes boxes;
        EXPECT_EQ(InstallPlugins(folder.c_str(), kCaption), InstallOutcome::Installed);
        std::wstring plugins = (folder.back() == L'\\' ? folder : folder + L"\\") + L"Plugins";
        EXPECT_TRUE(Installed(plugins));
        EXPECT_EQ(CurrentDirectory(), folder.back() == L'/' ? scratch / L"Fwd\\Plugins" : plugins);
    }
}

TEST_F(Install, InteractiveReportsOneBox) {
    {
        CapturedBoxes boxes;
        EXPECT_EQ(InstallPlugins(viewer.c_str(), kCaption), InstallOutcome::Installed);
        EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{L"Installation successfull!", kCaption, 0x40}}));
    }
    SetCurrentDirectoryW(start.c_str());
    // A file where the Plugins folder should be: the extraction cannot enter it.
    ASSERT_TRUE(CreateDirectoryW((scratch / L"Blocked2").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(scratch / L"Blocked2\\Plugins", "a file"));
    {
        CapturedBoxes boxes;
        EXPECT_EQ(InstallPlugins((scratch / L"Blocked2").c_str(), kCaption), InstallOutcome::ExtractionFailed);
        fw::CString seven(IDS_CANT_INSTALL);
        EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{seven.c_str(), kCaption, 0x10}}));
    }
    {
        CapturedBoxes boxes;
        EXPECT_EQ(InstallPlugins(L"", kCaption), InstallOutcome::EmptyFolder);
        fw::CString ten(IDS_NO_FOLDER);
        EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{ten.c_str(), kCaption, 0x10}}));
    }
    EXPECT_FALSE(Exists(log));
    EXPECT_EQ(CurrentDirectory(), start);
}

// Folders too long for the working copy once "\\Plugins\\" is added are refused, never cut
// to a prefix; nothing is created for them.
TEST_F(Install, FolderTooLongForTheWorkingCopyIsRefused) {
    for (size_t chars : {511u, 519u, 520u, 700u}) {
        SCOPED_TRACE(chars);
        std::wstring folder = viewer + L"\\";
        folder += std::wstring(chars - folder.size(), L'x');
        CapturedBoxes boxes;
        EXPECT_EQ(InstallPlugins(folder.c_str(), kCaption), InstallOutcome::ExtractionFailed);
        fw::CString seven(IDS_CANT_INSTALL);
        EXPECT_EQ(boxes.Shown(), (std::vector<ShownBox>{{seven.c_str(), kCaption, 0x10}}));
        EXPECT_TRUE(ListFiles(viewer).empty());
        EXPECT_TRUE(ListFolders(viewer).empty());
        EXPECT_EQ(CurrentDirectory(), start);
    }
}

TEST_F(Install, SilentLogsFailuresOnlyWhereItStarted) {
    SilentMode = 1;
    CapturedBoxes boxes;
    EXPECT_EQ(InstallPlugins(viewer.c_str(), kCaption), InstallOutcome::Installed);
    EXPECT_FALSE(Exists(log));
    EXPECT_FALSE(Exists(viewer + L"\\Plugins\\Zorvalind_Install.log"));

    struct Case { std::wstring folder; InstallOutcome outcome; UINT message; };
    ASSERT_TRUE(CreateDirectoryW((scratch / L"Blocked").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(scratch / L"Blocked\\Plugins", "a file"));
    const Case cases[] = {{scratch / L"Blocked", InstallOutcome::ExtractionFailed, IDS_CANT_INSTALL},
                          {L"Q:\\Zorvalind", InstallOutcome::ExtractionFailed, IDS_CANT_INSTALL},
                          {L"", InstallOutcome::EmptyFolder, IDS_NO_FOLDER_SILENT}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.folder);
        DeleteFileW(log.c_str());
        SetCurrentDirectoryW(start.c_str());
        EXPECT_EQ(InstallPlugins(c.folder.c_str(), kCaption), c.outcome);
        EXPECT_EQ(Log(), LogBytesOf(c.message));
        EXPECT_EQ(CurrentDirectory(), start);
    }
    EXPECT_TRUE(boxes.Shown().empty());
}

} // namespace
