// The transaction's edges that no archive shows: a step outside the folder that commits with
// the pack, and a target whose parent is not where it was resolved to.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "payload/Journal.h"
#include "payload/Recovery.h"
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
    void TearDown() override { SetCompanionRecovery(nullptr); }
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
