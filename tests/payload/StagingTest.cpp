// The embedded pack, staged from this executable's own "ZIP" 1973 resource.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>


#include "framework/Module.h"
#include "payload/Payload.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"

namespace {

class Staging : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring temp = scratch / L"temp";
    std::wstring staged = temp + L"\\ZL64_plugins.zip";
    std::wstring target = scratch / L"Plugins\\";
    std::wstring savedTmp;

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
        wchar_t old[MAX_PATH] = {};
        GetEnvironmentVariableW(L"TMP", old, MAX_PATH);
        savedTmp = old;
        // Without a trailing backslash: the staging adds one.
        SetEnvironmentVariableW(L"TMP", temp.c_str());
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"TMP", savedTmp.empty() ? nullptr : savedTmp.c_str());
        fw::SetResourceInstance(nullptr);
    }
};

TEST_F(Staging, UnpacksTheWholeEmbeddedPackAndRemovesTheStagedFile) {
    if (!PAYLOAD_FROM_PACKER) GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
    ASSERT_TRUE(WriteBytes(staged, "left over by an earlier run"));
    ASSERT_EQ(ExtractPayload(target.c_str()), 0);
    EXPECT_FALSE(Exists(staged));
    EXPECT_EQ(CurrentDirectory() + L"\\", target);

    const std::vector<std::wstring> files = ListFiles(PAYLOAD_SOURCE_FOLDER), folders = ListFolders(PAYLOAD_SOURCE_FOLDER);
    EXPECT_EQ(ListFiles(target), files);
    EXPECT_EQ(ListFolders(target), folders);
    if (PAYLOAD_IS_SAMPLE) {
        EXPECT_EQ(files.size(), 67u);
        EXPECT_EQ(folders.size(), 5u);
    }
    auto archived = ArchivedTimes(PAYLOAD_ARCHIVE);
    for (const std::wstring& f : files) {
        std::string expected, actual;
        ASSERT_TRUE(ReadBytes(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + f, expected));
        ASSERT_TRUE(ReadBytes(target + f, actual)) << f;
        EXPECT_TRUE(expected == actual) << f;  // never print 10 MB on a mismatch
        EXPECT_EQ(LocalDosTime(target + f), archived[f]) << f;
    }
}

TEST_F(Staging, FailedExtractionStillRemovesTheStagedFile) {
    EXPECT_EQ(ExtractPayload((scratch / L"missing\\Plugins\\").c_str()), -1);
    EXPECT_FALSE(Exists(staged));
    EXPECT_EQ(CurrentDirectory(), scratch.Path());
}

TEST_F(Staging, ReadOnlyStagedFileMakesItFailAndStays) {
    ASSERT_TRUE(WriteBytes(staged, "keep me"));
    ASSERT_TRUE(MakeReadOnly(staged));
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    std::string bytes;
    EXPECT_TRUE(ReadBytes(staged, bytes));
    EXPECT_TRUE(bytes == "keep me") << bytes.size() << " bytes";
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((target + L"*").c_str(), &data);
    int entries = 0;
    if (find != INVALID_HANDLE_VALUE) {
        do ++entries; while (FindNextFileW(find, &data));
        FindClose(find);
    }
    EXPECT_EQ(entries, 2);  // "." and ".." only
}

TEST_F(Staging, MissingTemporaryFolderOrResourceFails) {
    SetEnvironmentVariableW(L"TMP", (scratch / L"no-such-temp").c_str());
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    fw::SetResourceInstance(GetModuleHandleW(L"kernel32.dll"));
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    EXPECT_FALSE(Exists(staged));
}

} // namespace
