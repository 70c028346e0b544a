// Installs over an older plug-in set, and installs that are killed midway and run again,
// as a reboot or a deployment tool's time-out would end them.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>

#include "app/MessageIds.h"
#include "e2e/SetupProcess.h"
#include "framework/Strings.h"
#include "support/LogEntries.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"

namespace {

class OverOlderSet : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring start = scratch / L"start";
    std::wstring temp = scratch / L"temp";
    std::wstring viewer = scratch / L"Viewer";
    std::wstring plugins = viewer + L"\\Plugins";
    std::vector<std::wstring> pack = ListFiles(PAYLOAD_SOURCE_FOLDER);
    // The setup's own temporary folder, to see that nothing is left in it.
    TemporaryFolderOverride temporary{temp};

    void SetUp() override {
        if (PAYLOAD_SOURCE_FOLDER[0] == L'\0') GTEST_SKIP() << "the pack was embedded from a prebuilt archive";
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(temp.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(viewer.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
        // An older version of every plug-in, and one of the user's own.
        for (const std::wstring& f : pack) {
            const std::wstring path = plugins + L"\\" + f;
            for (size_t at = path.find(L'\\', plugins.size() + 1); at != std::wstring::npos; at = path.find(L'\\', at + 1))
                CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
            ASSERT_TRUE(WriteBytes(path, "an older version"));
        }
        ASSERT_TRUE(WriteBytes(plugins + L"\\mine.8bf", "the user's own"));
    }
    void TearDown() override {
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", nullptr);
    }
    std::wstring CommandLine() const {
        return L"\"" SETUP_TESTHOST_EXE L"\" /silent /folder=\"" + viewer + L"\"";
    }
    // The pack byte for byte, the user's file as it was, and nothing else anywhere.
    void ExpectExactlyThePack() {
        std::vector<std::wstring> expected = pack;
        expected.push_back(L"mine.8bf");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(ListFiles(plugins), expected);
        for (const std::wstring& f : pack) {
            std::string want, got;
            ASSERT_TRUE(ReadBytes(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + f, want));
            ASSERT_TRUE(ReadBytes(plugins + L"\\" + f, got)) << f;
            EXPECT_TRUE(want == got) << f;
        }
        std::string mine;
        EXPECT_TRUE(ReadBytes(plugins + L"\\mine.8bf", mine) && mine == "the user's own");
        EXPECT_TRUE(ListFiles(temp).empty());
        EXPECT_TRUE(ListFiles(start).empty());
    }
    SetupRun Install() {
        SetupOptions o;
        o.executable = SETUP_TESTHOST_EXE;
        o.commandLine = CommandLine();
        o.currentDirectory = start;
        return RunSetup(o);
    }
};

TEST_F(OverOlderSet, ReplacesEveryPluginAndKeepsTheUsersOwn) {
    SetupRun run = Install();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0u);
    ExpectExactlyThePack();
}

// The pack's last file, in the order the archive holds it.
std::wstring LastFileOfThePack() {
    std::wstring last;
    for (const auto& [name, dos] : ArchivedEntries(PAYLOAD_ARCHIVE))
        if (!name.empty() && name.back() != L'\\') last = name;
    return last;
}

// An old file at the end of the pack that cannot be replaced: nothing changes at all.
TEST_F(OverOlderSet, OldFileThatCannotBeReplacedChangesNothing) {
    const std::wstring last = plugins + L"\\" + LastFileOfThePack();
    ASSERT_NE(last, plugins + L"\\");
    const std::wstring log = start + L"\\Zorvalind_Install.log";
    struct Case { const char* what; bool readOnly; };
    for (const Case& c : {Case{"read-only", true}, Case{"held open", false}}) {
        SCOPED_TRACE(c.what);
        std::vector<std::wstring> before = ListFiles(viewer);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.readOnly) {
            ASSERT_TRUE(MakeReadOnly(last));
        } else {
            held = CreateFileW(last.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        SetupRun run = Install();
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        UndoReadOnly(plugins);
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(run.exitCode, 4u);
        std::string entry;
        ASSERT_TRUE(ReadBytes(log, entry));
        EXPECT_EQ(StripTimes(entry), ExpectedEntryFor(fw::CString(IDS_CANT_INSTALL).c_str()));
        EXPECT_EQ(ListFiles(viewer), before);
        for (const std::wstring& f : pack) {
            std::string bytes;
            EXPECT_TRUE(ReadBytes(plugins + L"\\" + f, bytes) && bytes == "an older version") << f;
        }
        EXPECT_TRUE(ListFiles(temp).empty());
        DeleteFileW(log.c_str());
    }
}

TEST_F(OverOlderSet, KilledRunIsCleanedUpByTheNext) {
    struct Case {
        const char* what;
        const wchar_t* hold;   // stage:index, where the test host waits to be killed
        bool oneFileMissing;   // killed between moving an old file aside and moving its successor in
    };
    const Case cases[] = {{"at the first part file", L"0:0", false}, {"while putting files in place", L"1:20", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HANDLE held = CreateEventW(nullptr, TRUE, FALSE, L"Local\\ZorvalindSetupTestHeld");
        ASSERT_NE(held, nullptr);
        ResetEvent(held);
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", c.hold);
        DWORD pid = 0;
        HANDLE process = StartSetup(SETUP_TESTHOST_EXE, CommandLine(), start, true, &pid);
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_HOLD", nullptr);
        ASSERT_NE(process, nullptr);
        const bool reached = WaitForSingleObject(held, 60000) == WAIT_OBJECT_0;
        TerminateProcess(process, 99);
        WaitForSingleObject(process, 30000);
        CloseHandle(process);
        CloseHandle(held);
        ASSERT_TRUE(reached) << "the install never reached the point";

        // What the kill left: our leftovers, never a loadable name, and no staged archive.
        const std::vector<std::wstring> left = SetupLeftovers(plugins);
        EXPECT_FALSE(left.empty());
        for (const std::wstring& f : left) {
            const std::wstring ext = f.substr(f.rfind(L'.'));
            EXPECT_TRUE(ext != L".dll" && ext != L".8bf" && ext != L".exe") << f;
        }
        EXPECT_EQ(ListFiles(plugins).size() - left.size(), pack.size() + 1 - (c.oneFileMissing ? 1 : 0));
        EXPECT_TRUE(ListFiles(temp).empty());

        SetupRun rerun = Install();
        ASSERT_TRUE(rerun.finished);
        EXPECT_EQ(rerun.exitCode, 0u);
        ExpectExactlyThePack();
    }
}

} // namespace
