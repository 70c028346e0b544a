// The transaction's edges that no archive shows: a step outside the folder that commits with
// the pack, and a target whose parent is not where it was resolved to.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "payload/FileSteps.h"
#include "payload/Journal.h"
#include "payload/Recovery.h"
#include "payload/StepDeadline.h"
#include "payload/Transaction.h"
#include "support/ScratchFolder.h"
#include "support/Unix.h"

namespace {

struct FakeCompanion final : CommitCompanion {
    bool applyResult = true;
    int applied = 0, undone = 0;
    std::string state = "before|after";
    const wchar_t* Tag() const noexcept override { return L"Test.Entry"; }
    bool State(const void*& bytes, size_t& size) noexcept override {
        bytes = state.data();
        size = state.size();
        return true;
    }
    bool Apply(InstallReport*) noexcept override {
        ++applied;
        return applyResult;
    }
    bool Undo(InstallReport*) noexcept override {
        ++undone;
        return true;
    }
};

class Transaction : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring target = scratch / L"Plugins";
    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    }
    const DWORD stepLimit = FileStepLimitMs;
    void TearDown() override {
        SetCompanionRecovery(nullptr);
        TransactionProbe = nullptr;
        FileStepLimitMs = stepLimit;
    }
    // One file, a.dll, and the companion; committed when commit is set.
    bool Run(FakeCompanion& companion, bool commit = true) {
        InstallTransaction t;
        if (!t.Begin((target + L"\\").c_str())) return false;
        const char bytes[] = "new a";
        if (!t.BeginFile(L"a.dll", 0x21000000) || !t.Write(bytes, 5) || !t.EndFile(0) || !t.AddCompanion(companion))
            return false;
        return commit ? t.Commit() : false;
    }
    std::string A() {
        std::string bytes;
        return ReadBytes(target + L"\\a.dll", bytes) ? bytes : "<missing>";
    }
};

TEST_F(Transaction, CompanionCommitsWithThePackOrIsUndoneWithIt) {
    FakeCompanion good;
    EXPECT_TRUE(Run(good));
    EXPECT_EQ(good.applied, 1);
    EXPECT_EQ(good.undone, 0);
    EXPECT_EQ(A(), "new a");

    ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    FakeCompanion failing;
    failing.applyResult = false;
    EXPECT_FALSE(Run(failing));
    EXPECT_EQ(failing.applied, 1);
    EXPECT_EQ(failing.undone, 1);  // its own failure may have left something behind
    EXPECT_EQ(A(), "old a");

    // Given up before the commit: never applied, so nothing to undo.
    FakeCompanion abandoned;
    EXPECT_FALSE(Run(abandoned, false));
    EXPECT_EQ(abandoned.applied, 0);
    EXPECT_EQ(abandoned.undone, 0);
    EXPECT_EQ(A(), "old a");
    EXPECT_TRUE(SetupLeftovers(target).empty());
}

struct Seen {
    std::wstring tag;
    std::string state;
    bool committed = false;
    int checks = 0, acts = 0;
    bool canDo = true;
};
Seen seen;

bool Recover(const wchar_t* tag, const void* state, size_t bytes, bool committed, bool check, InstallReport*) noexcept {
    seen.tag = tag;
    seen.state.assign(static_cast<const char*>(state), bytes);
    seen.committed = committed;
    (check ? seen.checks : seen.acts)++;
    return seen.canDo;
}

// After a kill the next run hands the companion's state to whoever set the recovery, first
// to check, then to act; without one, or where it cannot, the clean-up changes nothing.
TEST_F(Transaction, KilledRunsCompanionIsUndoneOrFinishedFromItsState) {
    struct Case {
        const wchar_t* journal;
        bool committed;
        bool recovery, canDo;
    };
    for (const Case& c : {Case{L"~zljournal.~zlj", false, true, true}, Case{L"~zlcommit.~zlc", true, true, true},
                          Case{L"~zljournal.~zlj", false, false, true}, Case{L"~zljournal.~zlj", false, true, false}}) {
        SCOPED_TRACE(testing::Message() << c.committed << c.recovery << c.canDo);
        const std::wstring path = target + L"\\" + c.journal;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        JournalWriter w;
        ASSERT_TRUE(w.Start() && w.Add(kCompanion, L"Test.Entry", {}, {}, "before|after", 12) && w.Add(kComplete, nullptr) &&
                    w.WriteOut(file));
        CloseHandle(file);
        seen = Seen{};
        seen.canDo = c.canDo;
        SetCompanionRecovery(c.recovery ? Recover : nullptr);
        const bool cleaned = CleanUpInterruptedRun((L"\\\\?\\" + target + L"\\").c_str());
        EXPECT_EQ(cleaned, c.recovery && c.canDo);
        EXPECT_EQ(Exists(path), !cleaned);
        if (c.recovery) {
            EXPECT_EQ(seen.tag, L"Test.Entry");
            EXPECT_EQ(seen.state, "before|after");
            EXPECT_EQ(seen.committed, c.committed);
            EXPECT_EQ(seen.checks, 1);
            EXPECT_EQ(seen.acts, c.canDo ? 1 : 0);
        }
        DeleteFileW(path.c_str());
    }
}

// A slow disk: every part file takes a while to reach it, all of them together longer than one
// file step may take. Each flush is a step that begins, not a stall, so the install goes through.
TEST_F(Transaction, FlushesThatTogetherOutlastTheStepLimitAreNoStall) {
    FileStepLimitMs = 800;
    TransactionProbe = [](int stage, unsigned) {
        if (stage == 12) Sleep(450);
    };
    InstallReport report;
    bool committed = false;
    {
        InstallTransaction t;
        ASSERT_TRUE(t.Begin((target + L"\\").c_str(), &report));
        for (const wchar_t* name : {L"a.dll", L"b.dll", L"c.dll", L"d.dll"}) {
            const std::string bytes = "new " + std::string(name, name + 1);
            ASSERT_TRUE(t.BeginFile(name, 0x21000000) && t.Write(bytes.data(), bytes.size()) && t.EndFile(0));
        }
        committed = t.Commit();
    }
    EXPECT_TRUE(committed);
    EXPECT_EQ(report.failure.reason, InstallReason::None);
    EXPECT_EQ(A(), "new a");
    std::string d;
    EXPECT_TRUE(ReadBytes(target + L"\\d.dll", d) && d == "new d");
    EXPECT_TRUE(SetupLeftovers(target).empty());
}

uint64_t IdOf(const std::wstring& path) {
    uint64_t id = 0;
    HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) FileIdOf(file, id);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return id;
}

// A killed run's file that stands at its name, with its ID and size, but whose data cannot be
// read to check it (a range another process locked, a failing disk; here a file system whose
// reads fail). It must not be taken for somebody else's: that would keep it and discard the old
// file's backup. The clean-up changes nothing, names the file, and the journal stays.
TEST_F(Transaction, KilledRunsFileThatCannotBeReadIsNotTakenForSomebodyElses) {
    const std::wstring mount = scratch / L"unreadable";
    ASSERT_TRUE(CreateDirectoryW(mount.c_str(), nullptr));
    const std::wstring unixMount = UnixPath(mount);
    if (unixMount.empty()) GTEST_SKIP() << "no Unix side to mount a file system on";
    RunShell(L"[ -x \\\"$0\\\" ] && \\\"$0\\\" 5 \\\"$1\\\"", UNREADABLE_FS, unixMount);
    if (!Exists(mount + L"\\held")) GTEST_SKIP() << "the unreadable file system is not built or cannot be mounted here";
    struct Unmount {
        std::wstring path;
        ~Unmount() { RunShell(L"fusermount3 -u \\\"$0\\\"", path); }
    } unmount{unixMount};
    const std::wstring placed = target + L"\\a.dll", backup = target + L"\\~zlbak.a.dll.~zl",
                       journal = target + L"\\~zljournal.~zlj";
    struct Case {
        const char* what;
        JournalKind kind;
    };
    for (const Case& c : {Case{"a new file", kNewFile}, Case{"a replaced file", kReplacedFile}}) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(DeleteFileW(placed.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND);
        RunShell(L"ln -s \\\"$0/held\\\" \\\"$1\\\"", unixMount, UnixPath(placed));
        ASSERT_TRUE(Exists(placed));
        if (c.kind == kReplacedFile) {
            ASSERT_TRUE(WriteBytes(backup, "old a"));
        }
        HANDLE file = CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        // The CRC-32 is never reached: the data it would be taken from cannot be read.
        const FileIdentity run{IdOf(placed), 5, 0x2D0C1F76}, old{c.kind == kReplacedFile ? IdOf(backup) : 0, 5, 0};
        JournalWriter w;
        const bool written = w.Start() && w.Add(c.kind, L"a.dll", run, old) && w.Add(kComplete, nullptr) && w.WriteOut(file);
        CloseHandle(file);
        ASSERT_TRUE(written);

        InstallReport report;
        EXPECT_FALSE(CleanUpInterruptedRun((L"\\\\?\\" + target + L"\\").c_str(), &report));
        EXPECT_STREQ(report.failure.file, L"a.dll");
        EXPECT_NE(report.failure.error, 0u);
        EXPECT_TRUE(Exists(journal)) << "the next run must still know what to undo";
        EXPECT_TRUE(Exists(placed));
        std::string kept;
        if (c.kind == kReplacedFile) {
            EXPECT_TRUE(ReadBytes(backup, kept) && kept == "old a") << "the old file was discarded";
        }
        DeleteFileW(journal.c_str());
        DeleteFileW(backup.c_str());
        DeleteFileW(placed.c_str());
        for (const std::wstring& left : SetupLeftovers(target)) DeleteFileW((target + L"\\" + left).c_str());
    }
}

// The target is resolved before the transaction begins; a folder above it swapped for a link
// since (here: the target named through one) is refused, and nothing is made through it.
TEST_F(Transaction, TargetWhoseParentIsALinkIsRefused) {
    const std::wstring real = scratch / L"real", link = scratch / L"link";
    if (UnixPath(link).empty()) GTEST_SKIP() << "no Unix side to make a link on";
    ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((real + L"\\Plugins").c_str(), nullptr));
    RunShell(L"ln -s \"$0\" \"$1\"", UnixPath(real), UnixPath(link));
    ASSERT_TRUE(Exists(link + L"\\Plugins"));
    InstallReport report;
    {
        InstallTransaction t;
        EXPECT_FALSE(t.Begin((link + L"\\Plugins\\").c_str(), &report));
    }
    EXPECT_EQ(report.failure.reason, InstallReason::RefusedLink);
    EXPECT_TRUE(ListFiles(real).empty());
    RunShell(L"rm -f \"$0\"", UnixPath(link));
    InstallTransaction direct;
    EXPECT_TRUE(direct.Begin((real + L"\\Plugins\\").c_str()));
}

} // namespace
