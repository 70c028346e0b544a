// The embedded pack, staged from this executable's own "ZIP" 1973 resource.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>

#include "framework/Module.h"
#include "payload/InstallReport.h"
#include "payload/Payload.h"
#include "payload/Transaction.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/Unix.h"

namespace {

class Staging : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring temp = scratch / L"temp";
    std::wstring staged = temp + L"\\ZL64_plugins.zip";
    std::wstring target = scratch / L"Plugins\\";
    // Without a trailing backslash: the staging adds one.
    TemporaryFolderOverride temporary{temp};

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(scratch.Path().c_str()));
    }
    void TearDown() override {
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

// Whatever stands at the staging name goes without being followed, and the pack is
// staged afresh: a link's target is never written or removed.
TEST_F(Staging, WhateverStandsAtTheStagingNameGoesUnfollowed) {
    const std::wstring victim = scratch / L"victim.dll";
    struct Case { const char* what; bool (*plant)(const std::wstring& staged, const std::wstring& victim); };
    const Case cases[] = {
        {"read-only file", [](const std::wstring& s, const std::wstring&) {
             return WriteBytes(s, "planted") && SetFileAttributesW(s.c_str(), FILE_ATTRIBUTE_READONLY) != FALSE; }},
        {"empty folder", [](const std::wstring& s, const std::wstring&) { return CreateDirectoryW(s.c_str(), nullptr) != FALSE; }},
        {"hard link", [](const std::wstring& s, const std::wstring& v) { return CreateHardLinkW(s.c_str(), v.c_str(), nullptr) != FALSE; }},
        {"symbolic link", [](const std::wstring& s, const std::wstring& v) {
             if (CreateSymbolicLinkW(s.c_str(), v.c_str(), 0)) return true;
             // Where Wine makes no Windows link, a Unix process of the user still can.
             RunShell(L"ln -s \\\"$0\\\" \\\"$1\\\"", UnixPath(v), UnixPath(s.substr(0, s.rfind(L'\\'))) + L"/ZL64_plugins.zip");
             return GetFileAttributesW(s.c_str()) != INVALID_FILE_ATTRIBUTES; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(WriteBytes(victim, "the victim"));
        ASSERT_TRUE(c.plant(staged, victim));
        ASSERT_EQ(ExtractPayload(target.c_str()), 0);
        EXPECT_FALSE(Exists(staged));
        std::string bytes;
        EXPECT_TRUE(ReadBytes(victim, bytes));
        EXPECT_EQ(bytes, "the victim");
        EXPECT_FALSE(ListFiles(target).empty());
        SetCurrentDirectoryW(scratch.Path().c_str());
        RemoveTree(scratch / L"Plugins");
        CreateDirectoryW(target.c_str(), nullptr);
    }
}

// What cannot be removed makes the install fail cleanly: nothing is written through it
// and nothing is extracted.
TEST_F(Staging, WhatCannotBeRemovedMakesItFailAndStays) {
    ASSERT_TRUE(WriteBytes(staged, "keep me"));
    ASSERT_TRUE(MakeReadOnly(staged));  // immutable as well: not even root removes it
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    std::string bytes;
    EXPECT_TRUE(ReadBytes(staged, bytes));
    EXPECT_TRUE(bytes == "keep me") << bytes.size() << " bytes";
    UndoReadOnly(temp);
    SetFileAttributesW(staged.c_str(), FILE_ATTRIBUTE_NORMAL);
    ASSERT_TRUE(DeleteFileW(staged.c_str()));

    ASSERT_TRUE(CreateDirectoryW(staged.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(staged + L"\\inside", "inside"));
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    EXPECT_TRUE(Exists(staged + L"\\inside"));
    RemoveTree(staged);

    ASSERT_TRUE(WriteBytes(staged, "held"));
    HANDLE held = CreateFileW(staged.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    CloseHandle(held);
    EXPECT_TRUE(ReadBytes(staged, bytes));
    EXPECT_EQ(bytes, "held");
    EXPECT_TRUE(ListFiles(target).empty());
    EXPECT_EQ(CurrentDirectory(), scratch.Path());
}

// While the pack is extracted (each time a file of it has been written), someone tries to
// swap the staged archive: write into it, replace it, rename or delete it. Every attempt
// fails, and what is installed is the pack's own.
TEST_F(Staging, TheStagedArchiveCannotBeSwappedWhileItIsRead) {
    if (!PAYLOAD_FROM_PACKER) GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
    static std::wstring stagedPath, other, moved;
    static int attempts, swapped;
    stagedPath = staged;
    other = temp + L"\\other.zip";
    moved = temp + L"\\moved.zip";
    attempts = swapped = 0;
    ASSERT_TRUE(WriteBytes(other, "PK\3\4 not the pack"));
    TransactionProbe = [](int stage, unsigned) {
        if (stage != 0) return;
        ++attempts;
        HANDLE h = CreateFileW(stagedPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            ++swapped;
            CloseHandle(h);
        }
        if (MoveFileExW(other.c_str(), stagedPath.c_str(), MOVEFILE_REPLACE_EXISTING)) ++swapped;
        if (MoveFileW(stagedPath.c_str(), moved.c_str())) ++swapped;
        if (DeleteFileW(stagedPath.c_str())) ++swapped;
    };
    const int result = ExtractPayload(target.c_str());
    TransactionProbe = nullptr;
    EXPECT_EQ(result, 0);
    EXPECT_GT(attempts, 0);
    EXPECT_EQ(swapped, 0);
    EXPECT_FALSE(Exists(staged));
    const std::vector<std::wstring> files = ListFiles(PAYLOAD_SOURCE_FOLDER);
    EXPECT_EQ(ListFiles(target), files);
    for (const std::wstring& f : files) {
        std::string expected, actual;
        ASSERT_TRUE(ReadBytes(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + f, expected));
        ASSERT_TRUE(ReadBytes(target + f, actual)) << f;
        EXPECT_TRUE(expected == actual) << f;
    }
}

TEST_F(Staging, MissingTemporaryFolderOrResourceFails) {
    SetEnvironmentVariableW(L"TMP", (scratch / L"no-such-temp").c_str());
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    SetEnvironmentVariableW(L"TMP", temp.c_str());
    fw::SetResourceInstance(GetModuleHandleW(L"kernel32.dll"));
    EXPECT_EQ(ExtractPayload(target.c_str()), -1);
    EXPECT_FALSE(Exists(staged));
}

// A failed staging tells the administrator what stood in the way and what the system said.
TEST_F(Staging, FailureIsReportedWithItsPathAndTheSystemsCode) {
    const std::wstring inside = staged + L"\\inside", notAFolder = scratch / L"a file";
    ASSERT_TRUE(WriteBytes(notAFolder, "x"));
    struct Case {
        const char* what;
        bool (*plant)(const std::wstring& staged);
        std::wstring tmp;     // TMP for the run
        std::wstring file;    // what the report names
        DWORD error;
    };
    const Case cases[] = {
        {"a folder that is not empty", [](const std::wstring& s) {
             return CreateDirectoryW(s.c_str(), nullptr) && WriteBytes(s + L"\\inside", "x"); },
         temp, staged, ERROR_DIR_NOT_EMPTY},
        {"no such temporary folder", nullptr, scratch / L"no-such-temp", scratch / L"no-such-temp\\",
         ERROR_FILE_NOT_FOUND},
        // The trailing backslash makes a file's name invalid before its kind is seen.
        {"the temporary folder is a file", nullptr, notAFolder, notAFolder + L"\\", ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.plant != nullptr) {
            ASSERT_TRUE(c.plant(staged));
        }
        SetEnvironmentVariableW(L"TMP", c.tmp.c_str());
        InstallReport report;
        EXPECT_EQ(ExtractPayload(target.c_str(), &report), -1);
        SetEnvironmentVariableW(L"TMP", temp.c_str());
        EXPECT_EQ(report.failure.step, InstallStep::Staging);
        EXPECT_EQ(report.failure.reason, InstallReason::None);
        EXPECT_EQ(report.failure.error, c.error);
        EXPECT_EQ(_wcsicmp(report.failure.file, c.file.c_str()), 0) << report.failure.file;
        RemoveTree(staged);
    }
    // Held open without delete sharing, as another user's process may hold it.
    ASSERT_TRUE(WriteBytes(staged, "held"));
    HANDLE held = CreateFileW(staged.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    InstallReport report;
    EXPECT_EQ(ExtractPayload(target.c_str(), &report), -1);
    CloseHandle(held);
    EXPECT_EQ(report.failure.step, InstallStep::Staging);
    EXPECT_EQ(report.failure.error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(_wcsicmp(report.failure.file, staged.c_str()), 0) << report.failure.file;
    // No pack in the module: the whole run, no file.
    fw::SetResourceInstance(GetModuleHandleW(L"kernel32.dll"));
    InstallReport noPack;
    EXPECT_EQ(ExtractPayload(target.c_str(), &noPack), -1);
    EXPECT_EQ(noPack.failure.step, InstallStep::Staging);
    EXPECT_NE(noPack.failure.error, 0u);
    EXPECT_STREQ(noPack.failure.file, L"");
    EXPECT_TRUE(ListFiles(target).empty());
}

} // namespace
