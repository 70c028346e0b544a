// Installs over an older plug-in set, and installs that are killed midway and run again,
// as a reboot or a deployment tool's time-out would end them.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>

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

void KillInstallAt(const std::wstring& commandLine, const std::wstring& start, const wchar_t* hold) {
    ASSERT_TRUE(KillSetupAt(commandLine, start, hold)) << "the install never reached " << hold;
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
        KillInstallAt(CommandLine(), start, c.hold);
        if (HasFatalFailure()) return;

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

// Plugins as a deployment finds it: an older version of most plug-ins, a few it does not
// have (a whole folder of them among them), and a file of the user's own.
class OverMixedSet : public OverOlderSet {
protected:
    using Files = std::map<std::wstring, std::string>;
    std::vector<std::wstring> order;  // the pack's files in the order the archive holds them
    std::vector<bool> isNew;
    Files oldSet, newSet;

    void SetUp() override {
        OverOlderSet::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        for (const auto& [name, dos] : ArchivedEntries(PAYLOAD_ARCHIVE))
            if (!name.empty() && name.back() != L'\\') order.push_back(name);
        ASSERT_EQ(order.size(), pack.size());
        // The pack's deepest folder is new to Plugins, its parent is not.
        std::wstring newFolder;
        for (const std::wstring& f : order)
            if (std::count(f.begin(), f.end(), L'\\') > std::count(newFolder.begin(), newFolder.end(), L'\\'))
                newFolder = f.substr(0, f.rfind(L'\\') + 1);
        ASSERT_GE(std::count(newFolder.begin(), newFolder.end(), L'\\'), 2) << "the pack has no nested folder";
        for (size_t i = 0; i < order.size(); ++i) {
            isNew.push_back(i % 5 == 1 || order[i].compare(0, newFolder.size(), newFolder) == 0);
            if (isNew[i]) {
                ASSERT_TRUE(DeleteFileW((plugins + L"\\" + order[i]).c_str())) << order[i];
            }
        }
        RemoveDirectoryW((plugins + L"\\" + newFolder).c_str());
        ASSERT_FALSE(Exists(plugins + L"\\" + newFolder));
        oldSet = Contents();
        for (const std::wstring& f : pack) ASSERT_TRUE(ReadBytes(std::wstring(PAYLOAD_SOURCE_FOLDER) + L"\\" + f, newSet[f]));
        newSet[L"mine.8bf"] = "the user's own";
    }
    // Every file and folder below Plugins with its bytes (a folder's are empty).
    Files Contents() { return TreeContents(plugins); }
    Files NewSetWithFolders() {
        Files files = newSet;
        for (const std::wstring& f : ListFolders(PAYLOAD_SOURCE_FOLDER)) files[f + L"\\"] = "";
        return files;
    }
    // Each case of a table starts from the old set.
    void PutBackTheOldSet() {
        RemoveTree(plugins);
        ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
        for (const auto& [name, bytes] : oldSet) {
            if (name.back() == L'\\') {
                ASSERT_TRUE(CreateDirectoryW((plugins + L"\\" + name).c_str(), nullptr)) << name;
            }
        }
        for (const auto& [name, bytes] : oldSet) {
            if (name.back() != L'\\') {
                ASSERT_TRUE(WriteBytes(plugins + L"\\" + name, bytes)) << name;
            }
        }
        ASSERT_TRUE(Contents() == oldSet);
    }
    // The transaction's index of the first, middle and last files that replace an old one.
    std::vector<unsigned> Replaced() {
        std::vector<unsigned> r;
        for (unsigned i = 0; i < isNew.size(); ++i)
            if (!isNew[i]) r.push_back(i);
        return r;
    }
};

// A kill at every kind of step, then a run that fails (it cannot stage the pack), then a
// good one. After the failing run Plugins holds exactly the old set or exactly the new one,
// never a mix, and nothing of the setup's; the good run gives the new set.
TEST_F(OverMixedSet, KillThenFailingRunThenGoodRun) {
    const unsigned last = static_cast<unsigned>(order.size() - 1), mid = last / 2;
    unsigned firstNew = 0;
    while (!isNew[firstNew]) ++firstNew;
    const std::vector<unsigned> replaced = Replaced();
    ASSERT_GE(replaced.size(), 3u);
    struct Case {
        std::string what;
        int stage;
        unsigned index;
        bool committed;
    };
    const Case cases[] = {
        {"first part file written", 0, 0, false},
        {"last part file written", 0, last, false},
        {"journal complete", 7, 0, false},
        {"first old file moved aside", 1, 0, false},
        {"before the first new file goes in", 1, firstNew, false},
        {"first file in place", 4, 0, false},
        {"first new file in place", 4, firstNew, false},
        {"a middle file in place", 4, mid, false},
        {"last file in place", 4, last, false},
        {"every file in place", 3, last + 1, false},
        {"committed", 5, 0, true},
        {"first backup deleted", 6, replaced.front(), true},
        {"a middle backup deleted", 6, replaced[replaced.size() / 2], true},
        {"last backup deleted", 6, replaced.back(), true},
    };
    const std::wstring log = start + L"\\Zorvalind_Install.log";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // Each case starts from the old set.
        RemoveTree(plugins);
        ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
        for (const auto& [name, bytes] : oldSet) {
            if (name.back() == L'\\') {
                ASSERT_TRUE(CreateDirectoryW((plugins + L"\\" + name).c_str(), nullptr)) << name;
            }
        }
        for (const auto& [name, bytes] : oldSet)
            if (name.back() != L'\\') {
                ASSERT_TRUE(WriteBytes(plugins + L"\\" + name, bytes)) << name;
            }
        ASSERT_TRUE(Contents() == oldSet);

        const std::wstring hold = std::to_wstring(c.stage) + L":" + std::to_wstring(c.index);
        KillInstallAt(CommandLine(), start, hold.c_str());
        if (HasFatalFailure()) return;
        EXPECT_FALSE(SetupLeftovers(plugins).empty());

        {
            TemporaryFolderOverride missing{scratch / L"no such folder"};
            SetupRun failing = Install();
            ASSERT_TRUE(failing.finished);
            EXPECT_EQ(failing.exitCode, 4u);
        }
        const Files after = Contents();
        EXPECT_TRUE(after == (c.committed ? NewSetWithFolders() : oldSet))
            << "expected the " << (c.committed ? "new" : "old") << " set; " << after.size() << " names";
        EXPECT_TRUE(SetupLeftovers(plugins).empty());

        SetupRun good = Install();
        ASSERT_TRUE(good.finished);
        EXPECT_EQ(good.exitCode, 0u);
        EXPECT_TRUE(Contents() == NewSetWithFolders());
        EXPECT_TRUE(SetupLeftovers(plugins).empty());
        DeleteFileW(log.c_str());
    }
}

// A file put at a name by somebody else after the kill is not the run's own: the next run
// keeps it and drops the backup it would have put back, and still undoes everything else.
TEST_F(OverMixedSet, FileTheUserPutBackAfterAKillStays) {
    const std::vector<unsigned> replaced = Replaced();
    const unsigned victim = replaced[1];
    const std::wstring hold = L"4:" + std::to_wstring(replaced[2]);
    KillInstallAt(CommandLine(), start, hold.c_str());
    if (HasFatalFailure()) return;
    const std::wstring path = plugins + L"\\" + order[victim];
    // Written before the run's own file goes, so that it is another file (Linux, under Wine,
    // hands a deleted file's inode number, its file ID, to the next one made).
    ASSERT_TRUE(WriteBytes(path + L".new", "put back by the user"));
    ASSERT_TRUE(DeleteFileW(path.c_str()));
    ASSERT_TRUE(MoveFileW((path + L".new").c_str(), path.c_str()));
    {
        TemporaryFolderOverride missing{scratch / L"no such folder"};
        SetupRun failing = Install();
        ASSERT_TRUE(failing.finished);
        EXPECT_EQ(failing.exitCode, 4u);
    }
    Files expected = oldSet;
    expected[order[victim]] = "put back by the user";
    EXPECT_TRUE(Contents() == expected);
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

// After a kill, one of the run's new files is held open by another process when the next
// run comes: that run fails and must not drop the old file waiting under its backup name;
// once the file is free again, a run puts the whole old set back.
TEST_F(OverMixedSet, NewFileHeldOpenAfterAKillKeepsItsOldFile) {
    const std::vector<unsigned> replaced = Replaced();
    const unsigned victim = replaced[1];
    const std::wstring hold = L"4:" + std::to_wstring(replaced[2]);
    KillInstallAt(CommandLine(), start, hold.c_str());
    if (HasFatalFailure()) return;
    HANDLE held = CreateFileW((plugins + L"\\" + order[victim]).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    TemporaryFolderOverride missing{scratch / L"no such folder"};
    SetupRun whileHeld = Install();
    CloseHandle(held);
    ASSERT_TRUE(whileHeld.finished);
    EXPECT_EQ(whileHeld.exitCode, 4u);
    SetupRun afterwards = Install();
    ASSERT_TRUE(afterwards.finished);
    EXPECT_EQ(afterwards.exitCode, 4u);
    EXPECT_TRUE(Contents() == oldSet);
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

// The clean-up acts only once it holds every name it will touch. After a kill, a placed file
// or a backup held open by another process (reading, without delete sharing) makes the next
// run change nothing at all and fail; once the holder lets go, the run after it finishes the
// clean-up: the old set, or the new one where the killed run had committed.
TEST_F(OverMixedSet, HeldNameAfterAKillChangesNothingUntilLetGo) {
    const std::vector<unsigned> replaced = Replaced();
    const unsigned last = static_cast<unsigned>(order.size() - 1);
    const unsigned mid = replaced[replaced.size() / 2];
    struct Case {
        std::string what;
        std::wstring hold;  // where the run is killed
        unsigned file;      // the replaced file whose name or backup is held
        bool backup;
        bool committed;
    };
    const Case cases[] = {
        {"a placed file, killed midway", L"1:" + std::to_wstring(mid), replaced[1], false, false},
        {"a backup, killed midway", L"1:" + std::to_wstring(mid), replaced[1], true, false},
        {"a placed file, killed with every file in place", L"4:" + std::to_wstring(last), replaced.back(), false, false},
        {"a backup, killed with every file in place", L"4:" + std::to_wstring(last), replaced.back(), true, false},
        {"a backup, killed once committed", L"5:0", replaced[2], true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutBackTheOldSet();
        if (HasFatalFailure()) return;
        KillInstallAt(CommandLine(), start, c.hold.c_str());
        if (HasFatalFailure()) return;

        const std::wstring& name = order[c.file];
        const size_t slash = name.rfind(L'\\');
        const std::wstring held = plugins + L"\\" +
                                  (c.backup ? name.substr(0, slash + 1) + L"~zlbak." + name.substr(slash + 1) + L".~zl" : name);
        HANDLE holder = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE) << "nothing to hold at " << std::string(held.begin(), held.end());
        const Files killed = Contents();
        {
            SetupRun whileHeld = Install();
            ASSERT_TRUE(whileHeld.finished);
            EXPECT_EQ(whileHeld.exitCode, 4u);
        }
        EXPECT_TRUE(Contents() == killed) << "the run changed something before it held every name";
        CloseHandle(holder);
        {
            TemporaryFolderOverride missing{scratch / L"no such folder"};
            SetupRun failing = Install();
            ASSERT_TRUE(failing.finished);
            EXPECT_EQ(failing.exitCode, 4u);
        }
        EXPECT_TRUE(Contents() == (c.committed ? NewSetWithFolders() : oldSet))
            << "expected the " << (c.committed ? "new" : "old") << " set";
        SetupRun good = Install();
        ASSERT_TRUE(good.finished);
        EXPECT_EQ(good.exitCode, 0u);
        EXPECT_TRUE(Contents() == NewSetWithFolders());
        DeleteFileW((start + L"\\Zorvalind_Install.log").c_str());
    }
}

// A file at a placed name that is the same file as far as its ID goes (rewritten in place,
// or a file system that hands the ID on) but not the bytes the run wrote: it is not the run's
// own, and stays, while everything else is undone.
TEST_F(OverMixedSet, FileRewrittenInPlaceAfterAKillStays) {
    const std::vector<unsigned> replaced = Replaced();
    const unsigned victim = replaced[1];
    const std::wstring hold = L"4:" + std::to_wstring(replaced[2]);
    KillInstallAt(CommandLine(), start, hold.c_str());
    if (HasFatalFailure()) return;
    const std::wstring path = plugins + L"\\" + order[victim];
    // The same size, one byte changed: only the bytes tell it apart.
    std::string bytes;
    ASSERT_TRUE(ReadBytes(path, bytes));
    ASSERT_FALSE(bytes.empty());
    bytes[bytes.size() / 2] ^= 0x5A;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    CloseHandle(file);
    {
        TemporaryFolderOverride missing{scratch / L"no such folder"};
        SetupRun failing = Install();
        ASSERT_TRUE(failing.finished);
        EXPECT_EQ(failing.exitCode, 4u);
    }
    Files expected = oldSet;
    expected[order[victim]] = bytes;
    EXPECT_TRUE(Contents() == expected);
    EXPECT_TRUE(SetupLeftovers(plugins).empty());
}

// A file step that never ends (an open waiting for an oplock break nobody acknowledges; the
// test host stands one in), or the folder's lock held by another setup: the run ends with
// 1618, names the file in its log, and leaves the old set, or what the killed run left.
TEST_F(OverMixedSet, StalledStepOrASecondSetupEndsWith1618) {
    const std::vector<unsigned> replaced = Replaced();
    const unsigned mid = replaced[replaced.size() / 2];
    const std::wstring log = scratch / L"setup.log";
    struct Case {
        std::string what;
        std::wstring killAt;  // empty: no killed run before
        std::wstring stallAt;  // empty: the lock is held instead
        std::string logged;    // in the /log= file
    };
    const Case cases[] = {
        {"stalled while putting files in place", L"", L"1:" + std::to_wstring(mid),
         "File: Plugins\\" + std::string(order[mid].begin(), order[mid].end())},
        {"stalled while a part file is written", L"", L"0:3", "Reason: a file step did not end in time"},
        {"stalled in the clean-up of a killed run", L"4:" + std::to_wstring(mid), L"10:5",
         "Reason: a file step did not end in time"},
        {"stalled while taking the folder's lock", L"", L"11:0", "Reason: a file step did not end in time"},
        {"the folder's lock held by another setup", L"", L"", "File: Plugins\\~zllock.~zll"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PutBackTheOldSet();
        if (HasFatalFailure()) return;
        if (!c.killAt.empty()) {
            KillInstallAt(CommandLine(), start, c.killAt.c_str());
            if (HasFatalFailure()) return;
        }
        const Files before = Contents();
        HANDLE lock = INVALID_HANDLE_VALUE;
        if (c.stallAt.empty()) {
            lock = CreateFileW((plugins + L"\\~zllock.~zll").c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW,
                               FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            ASSERT_NE(lock, INVALID_HANDLE_VALUE);
        }
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STALL", c.stallAt.empty() ? nullptr : c.stallAt.c_str());
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STEP_LIMIT_MS", L"1500");
        SetupOptions o;
        o.executable = SETUP_TESTHOST_EXE;
        o.commandLine = CommandLine() + L" /log=" + Quoted(log);
        o.currentDirectory = start;
        o.timeoutMs = 30000;
        SetupRun run = RunSetup(o);
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STALL", nullptr);
        SetEnvironmentVariableW(L"ZORVALIND_SETUP_TEST_STEP_LIMIT_MS", nullptr);
        if (lock != INVALID_HANDLE_VALUE) CloseHandle(lock);
        ASSERT_TRUE(run.finished) << "the run waited past its limit";
        EXPECT_EQ(run.exitCode, 1618u);
        Files after = Contents();
        after.erase(L"~zllock.~zll");
        EXPECT_TRUE(after == before) << "the run changed something";
        std::string text;
        ASSERT_TRUE(ReadBytes(log, text));
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
        DeleteFileW(log.c_str());
        SetupRun good = Install();
        ASSERT_TRUE(good.finished);
        EXPECT_EQ(good.exitCode, 0u);
        EXPECT_TRUE(Contents() == NewSetWithFolders());
    }
}

} // namespace
