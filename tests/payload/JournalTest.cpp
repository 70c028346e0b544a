// The journal as a power cut or a kill leaves it: only what reached the disk whole counts,
// and a journal the setup did not write is refused.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "payload/Journal.h"
#include "support/ScratchFolder.h"

namespace {

// A run's journal: a folder, a new file, a replaced file, a companion and the end.
std::string RunsJournal(const ScratchFolder& scratch) {
    const std::wstring path = scratch / L"journal";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    JournalWriter w;
    EXPECT_TRUE(w.Start());
    EXPECT_TRUE(w.Add(kFolderMade, L"Effects"));
    EXPECT_TRUE(w.WriteOut(file));  // written in two pieces, as a run does
    EXPECT_TRUE(w.Add(kNewFile, L"Effects\\a.dll", FileIdentity{11, 1000, 0xA1}));
    EXPECT_TRUE(w.Add(kReplacedFile, L"b.8bf", FileIdentity{12, 2000, 0xB2}, FileIdentity{7, 1500, 0}));
    EXPECT_TRUE(w.Add(kCompanion, L"Entry.1", {}, {}, "state", 5));
    EXPECT_TRUE(w.Add(kComplete, nullptr));
    EXPECT_TRUE(w.WriteOut(file));
    CloseHandle(file);
    std::string bytes;
    EXPECT_TRUE(ReadBytes(path, bytes));
    return bytes;
}

struct Parsed {
    bool known = false;
    size_t count = 0;
    bool complete = false;
};

Parsed Parse(const std::string& bytes) {
    JournalRecords records;
    Parsed p;
    p.known = records.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<DWORD>(bytes.size()));
    p.count = records.Count();
    p.complete = records.Complete();
    return p;
}

TEST(Journal, RecordsComeBackAsWritten) {
    ScratchFolder scratch;
    const std::string bytes = RunsJournal(scratch);
    JournalRecords records;
    ASSERT_TRUE(records.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<DWORD>(bytes.size())));
    ASSERT_EQ(records.Count(), 5u);
    EXPECT_TRUE(records.Complete());
    JournalRecord r;
    ASSERT_TRUE(records.At(2, r));
    EXPECT_EQ(r.kind, kReplacedFile);
    EXPECT_STREQ(r.name, L"b.8bf");
    EXPECT_EQ(r.placed.id, 12u);
    EXPECT_EQ(r.placed.size, 2000u);
    EXPECT_EQ(r.placed.crc, 0xB2u);
    EXPECT_EQ(r.old.id, 7u);
    EXPECT_EQ(r.old.size, 1500u);
    ASSERT_TRUE(records.At(3, r));
    EXPECT_EQ(r.kind, kCompanion);
    EXPECT_STREQ(r.name, L"Entry.1");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.state), r.stateBytes), "state");
}

// What a power cut or a kill leaves of it: the sealed records before the damage count, the
// rest is data that no step depended on; none of it is a reason to refuse the journal.
TEST(Journal, DamageKeepsTheSealedRecordsBeforeIt) {
    ScratchFolder scratch;
    const std::string whole = RunsJournal(scratch);
    const size_t firstTwo = 8 + (48 + 2 * 7) + (48 + 2 * 13);  // the magic, Effects, Effects\a.dll
    struct Case {
        const char* what;
        std::string bytes;
        size_t count;
    };
    std::string flipped = whole;
    flipped[firstTwo + 20] ^= 0x40;  // inside the third record's head
    std::string zeroTail = whole.substr(0, firstTwo) + std::string(whole.size() - firstTwo, '\0');
    const Case cases[] = {
        {"whole", whole, 5},
        {"zeros at its full length", std::string(whole.size(), '\0'), 0},
        {"zeros after two records", zeroTail, 2},
        {"cut within the magic", whole.substr(0, 5), 0},
        {"cut within the third record", whole.substr(0, firstTwo + 30), 2},
        {"a byte changed in the third record", flipped, 2},
        {"empty", std::string(), 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Parsed p = Parse(c.bytes);
        EXPECT_TRUE(p.known);
        EXPECT_EQ(p.count, c.count);
        EXPECT_EQ(p.complete, c.count == 5);
    }
}

// Sealed, so written whole, but not by the setup: refused before any record is handed out.
TEST(Journal, SealedRecordTheSetupNeverWritesIsRefused) {
    ScratchFolder scratch;
    struct Case {
        const char* what;
        JournalKind kind;
        const wchar_t* name;
    };
    const Case cases[] = {
        {"an unknown kind", static_cast<JournalKind>(9), L"a.dll"},
        {"a name that leaves the folder", kNewFile, L"..\\a.dll"},
        {"an absolute name", kNewFile, L"C:\\Windows\\a.dll"},
        {"a device", kNewFile, L"NUL"},
        {"a name ending in a backslash", kFolderMade, L"Effects\\"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::wstring path = scratch / L"foreign";
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        JournalWriter w;
        ASSERT_TRUE(w.Start());
        ASSERT_TRUE(w.Add(kNewFile, L"fine.dll"));
        ASSERT_TRUE(w.Add(c.kind, c.name));
        ASSERT_TRUE(w.WriteOut(file));
        CloseHandle(file);
        std::string bytes;
        ASSERT_TRUE(ReadBytes(path, bytes));
        EXPECT_FALSE(Parse(bytes).known);
    }
    EXPECT_FALSE(Parse("not a journal at all").known);
    // A companion's tag is a word: nothing that could reach a path.
    JournalWriter w;
    ASSERT_TRUE(w.Start());
    EXPECT_FALSE(w.Add(kCompanion, L"..\\x", {}, {}, "s", 1));
}

// The earlier setup's journal: no seals and no sizes, read as it always was, so that a run of
// that setup that was killed is undone by this one.
TEST(Journal, EarlierSetupsJournalIsStillRead) {
    std::string bytes("ZLJ1\0\0\0\0", 8);
    auto record = [&](unsigned char kind, const std::wstring& name, uint64_t id) {
        bytes += static_cast<char>(kind);
        bytes += '\0';
        bytes += static_cast<char>(name.size());
        bytes += '\0';
        bytes += std::string(4, '\0');
        for (int i = 0; i < 8; ++i) bytes += static_cast<char>((id >> (8 * i)) & 0xFF);
        for (wchar_t c : name) bytes += std::string{static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    };
    record(kFolderMade, L"Effects", 0);
    record(kReplacedFile, L"Effects\\a.dll", 0x1234);
    JournalRecords records;
    ASSERT_TRUE(records.Parse(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<DWORD>(bytes.size())));
    ASSERT_EQ(records.Count(), 2u);
    JournalRecord r;
    ASSERT_TRUE(records.At(1, r));
    EXPECT_EQ(r.kind, kReplacedFile);
    EXPECT_STREQ(r.name, L"Effects\\a.dll");
    EXPECT_EQ(r.placed.id, 0x1234u);
    EXPECT_FALSE(r.hasSizes);
}

} // namespace
