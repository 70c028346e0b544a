// Unpacking archives that the tests make themselves, under Wine's real file system.
#include <gtest/gtest.h>

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <map>

#include "payload/InstallReport.h"
#include "payload/Journal.h"
#include "payload/Payload.h"
#include "payload/Recovery.h"
#include "payload/Transaction.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"
#include "support/Unix.h"

namespace {

// What a folder holds, byte for byte, with each file's modification time and attributes.
struct FileState {
    std::string bytes;
    FILETIME written{};
    DWORD attributes = 0;
    bool operator==(const FileState& o) const {
        return bytes == o.bytes && CompareFileTime(&written, &o.written) == 0 && attributes == o.attributes;
    }
};
using Snapshot = std::map<std::wstring, FileState>;

Snapshot Take(const std::wstring& root) {
    Snapshot s;
    for (const std::wstring& f : ListFiles(root)) {
        FileState state;
        ReadBytes(root + L"\\" + f, state.bytes);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExW((root + L"\\" + f).c_str(), GetFileExInfoStandard, &data)) {
            state.written = data.ftLastWriteTime;
            state.attributes = data.dwFileAttributes;
        }
        s[f] = state;
    }
    for (const std::wstring& d : ListFolders(root)) s[d + L"\\"] = FileState{};
    return s;
}

void SetWriteTime(const std::wstring& path, uint32_t dos) {
    HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME local, utc;
    DosDateTimeToFileTime(static_cast<WORD>(dos >> 16), static_cast<WORD>(dos), &local);
    LocalFileTimeToFileTime(&local, &utc);
    SetFileTime(h, nullptr, nullptr, &utc);
    CloseHandle(h);
}

constexpr uint32_t kOldTime = (uint32_t{2010 - 1980} << 25) | (3u << 21) | (4u << 16) | (5u << 11) | (6u << 5) | 7u;

class Extraction : public ::testing::Test {
protected:
    ScratchFolder scratch;
    std::wstring archive = scratch / L"test.zip";
    std::wstring target = scratch / L"target";
    std::wstring start = scratch / L"start";

    void SetUp() override {
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryW(start.c_str(), nullptr));
        ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    }
    void TearDown() override { TransactionProbe = nullptr; }
    int Extract() { return ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0); }
    std::string Content(const std::wstring& relative) {
        std::string bytes;
        return ReadBytes(target + L"\\" + relative, bytes) ? bytes : std::string("<missing>");
    }
    // Old versions of the archive's files, dated and marked so that a restore shows.
    void PlaceOldVersions(const std::vector<TestEntry>& entries) {
        for (const TestEntry& e : entries) {
            if (e.name.back() == '/') continue;
            std::wstring path = target + L"\\";
            for (char c : e.name) path += c == '/' ? L'\\' : static_cast<wchar_t>(c);
            const size_t slash = path.rfind(L'\\');
            CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
            ASSERT_TRUE(WriteBytes(path, "old " + e.name));
            SetWriteTime(path, kOldTime);
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE);
        }
    }
    // Nothing of a run's own anywhere in the scratch folder.
    void ExpectNoLeftovers() { EXPECT_EQ(SetupLeftovers(scratch.Path()), std::vector<std::wstring>{}); }
};

TEST_F(Extraction, WritesFoldersAndFilesAndLeavesTargetCurrent) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"A/", "", 0},
                                           {"A/x.dll", Compressible(100000, 1)},
                                           {"top.dll", "top", 0},
                                           {"empty.dat", ""},
                                           {"B/D/y.dll", Compressible(5000, 2)}}));
    ASSERT_TRUE(WriteBytes(target + L"\\top.dll", "an older top.dll that is longer"));
    ASSERT_TRUE(WriteBytes(target + L"\\mine.dll", "not in the pack"));
    EXPECT_EQ(Extract(), 0);
    EXPECT_EQ(Content(L"A\\x.dll"), Compressible(100000, 1));
    EXPECT_EQ(Content(L"top.dll"), "top");
    EXPECT_EQ(Content(L"empty.dat"), "");
    EXPECT_EQ(Content(L"B\\D\\y.dll"), Compressible(5000, 2));
    EXPECT_EQ(Content(L"mine.dll"), "not in the pack");
    EXPECT_EQ(ListFiles(target), (std::vector<std::wstring>{L"A\\x.dll", L"B\\D\\y.dll", L"empty.dat", L"mine.dll",
                                                            L"top.dll"}));
    EXPECT_EQ(CurrentDirectory(), target);
    ExpectNoLeftovers();
}

TEST_F(Extraction, EmptyArchiveWritesNothingAndSucceeds) {
    // minizip 1.1 looks for the end record above offset 0, so the bare 22-byte archive
    // does not open; a preamble (as in a self-extractor) makes it an archive with no entries.
    ASSERT_TRUE(WriteBytes(archive, std::string("stub") + "PK\5\6" + std::string(18, '\0')));
    EXPECT_EQ(Extract(), 0);
    EXPECT_TRUE(ListFiles(target).empty());
    EXPECT_EQ(CurrentDirectory(), target);
}

// Whether the file system keeps a creation time of its own. Wine does not: it reports
// the modification time, so there the creation half of the check below says nothing.
bool CreationTimesAreKept(const std::wstring& probe) {
    if (!WriteBytes(probe, "")) return false;
    HANDLE h = CreateFileW(probe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    FILETIME set{0x12345678, 0x01C00000}, creation{}, access{}, write{};
    SetFileTime(h, &set, nullptr, nullptr);
    GetFileTime(h, &creation, &access, &write);
    CloseHandle(h);
    DeleteFileW(probe.c_str());
    return CompareFileTime(&creation, &set) == 0;
}

TEST_F(Extraction, FilesCarryTheStoredTimeAsCreationAndModification) {
    const uint32_t summer = (uint32_t{2019 - 1980} << 25) | (7u << 21) | (14u << 16) | (22u << 11) | (45u << 5) | 29u;
    const uint32_t winter = (uint32_t{2008 - 1980} << 25) | (1u << 21) | (2u << 16) | (3u << 11) | (4u << 5) | 5u;
    ASSERT_TRUE(WriteTestArchive(archive, {{"s.dll", "s", 8, summer}, {"w/w.dll", "w", 8, winter}}));
    // s.dll replaces a file of today, whose name it takes over: its time is set on that name.
    ASSERT_TRUE(WriteBytes(target + L"\\s.dll", "today's s.dll"));
    const bool keepsCreation = CreationTimesAreKept(scratch / L"probe");
    if (!keepsCreation) std::printf("note: this file system reports no creation time of its own\n");
    FILETIME before;
    GetSystemTimeAsFileTime(&before);
    ASSERT_EQ(Extract(), 0);
    for (auto [name, dos] : {std::pair{L"s.dll", summer}, std::pair{L"w\\w.dll", winter}}) {
        HANDLE h = CreateFileW((target + L"\\" + name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        FILETIME creation, access, write, local;
        GetFileTime(h, &creation, &access, &write);
        CloseHandle(h);
        WORD date, time;
        ASSERT_TRUE(FileTimeToLocalFileTime(&write, &local));
        ASSERT_TRUE(FileTimeToDosDateTime(&local, &date, &time));
        EXPECT_EQ((uint32_t{date} << 16) | time, dos) << name;
        if (keepsCreation) {
            EXPECT_EQ(CompareFileTime(&creation, &write), 0) << name;
        }
        // The access time is the file's own (it was just written), not the archived one.
        ULARGE_INTEGER a{{access.dwLowDateTime, access.dwHighDateTime}}, b{{before.dwLowDateTime, before.dwHighDateTime}};
        EXPECT_GE(a.QuadPart + 20000000ull, b.QuadPart) << name;
    }
}

// Every way an archive or a target can fail, with an older version of every file in place:
// afterwards the target holds exactly what it held, nothing of ours is left, and the report
// names the step and a cause (the archive's reason, or the system's code).
struct FailureCase {
    const char* what;
    void (*prepare)(const std::wstring& archive, const std::wstring& target);
    InstallStep step;
    InstallReason reason;
    DWORD orError = 0;  // where the system refuses first: no reason, this code
};

class FailedInstall : public Extraction, public ::testing::WithParamInterface<FailureCase> {};

const std::vector<TestEntry>& FailureEntries() {
    static const std::vector<TestEntry> entries = {{"first.dll", Compressible(70000, 3)},
                                                   {"Sub/", "", 0},
                                                   {"Sub/stored.dll", Compressible(90000, 4), 0},
                                                   {"deflated.dll", Compressible(90000, 5)},
                                                   {"last.dll", Compressible(60000, 6)}};
    return entries;
}

TEST_P(FailedInstall, LeavesTheTargetExactlyAsItWas) {
    ASSERT_TRUE(WriteTestArchive(archive, FailureEntries()));
    PlaceOldVersions(FailureEntries());
    ASSERT_TRUE(WriteBytes(target + L"\\mine.dll", "not in the pack"));
    GetParam().prepare(archive, target);
    const Snapshot before = Take(target);
    InstallReport report;
    EXPECT_EQ(ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0, &report), -1);
    const Snapshot after = Take(target);
    UndoReadOnly(target);
    EXPECT_TRUE(after == before);
    EXPECT_EQ(report.failure.step, GetParam().step);
    if (GetParam().orError != 0 && report.failure.reason == InstallReason::None) {
        EXPECT_EQ(report.failure.error, GetParam().orError);
    } else {
        EXPECT_EQ(report.failure.reason, GetParam().reason);
    }
    if (report.failure.reason == InstallReason::None) {
        EXPECT_NE(report.failure.error, 0u);
    }
    EXPECT_GE(after.size(), 6u);  // the five files and Sub, at least: the snapshot saw them
    EXPECT_EQ(CurrentDirectory(), start);
    ExpectNoLeftovers();
}

void FlipStoredByte(const std::wstring& a, const std::wstring&) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "Sub/stored.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.data + 40000, "#"));
}
void CrcOfLastEntry(const std::wstring& a, const std::wstring&) {
    ASSERT_TRUE(PatchEntryHeaders(a, "last.dll", 14, 16, Le32(0x12345678)));
}
void InvalidDeflateBlock(const std::wstring& a, const std::wstring&) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "deflated.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.data, "\x07"));  // final block of the reserved type 3
}
void SizeBeyondTheStream(const std::wstring& a, const std::wstring&) {
    // The stream ends cleanly, short of the size both headers promise.
    ASSERT_TRUE(PatchEntryHeaders(a, "deflated.dll", 22, 24, Le32(90001)));
}
void StreamBeyondTheSize(const std::wstring& a, const std::wstring&) {
    // A bomb in small: the stream holds more than both headers admit.
    ASSERT_TRUE(PatchEntryHeaders(a, "deflated.dll", 22, 24, Le32(89999)));
}
// The first central record is no record: the archive opens, but its directory cannot be walked.
void FirstCentralRecordDamaged(const std::wstring& a, const std::wstring&) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "first.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.central, "PK\x09\x09"));
}
void CentralNameChanged(const std::wstring& a, const std::wstring&) {
    // One bit in the central name: "last.dll" becomes "lbst.dll"; the local header still says last.dll.
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "last.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.central + 46 + 1, "b"));
}
void LocalNameChanged(const std::wstring& a, const std::wstring&) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "first.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.local + 30, "g"));
}
void ReadOnlyLastFile(const std::wstring&, const std::wstring& t) { ASSERT_TRUE(MakeReadOnly(t + L"\\last.dll")); }
void FolderWhereTheLastFileGoes(const std::wstring&, const std::wstring& t) {
    ASSERT_TRUE(DeleteFileW((t + L"\\last.dll").c_str()));
    ASSERT_TRUE(CreateDirectoryW((t + L"\\last.dll").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(t + L"\\last.dll\\inside", "x"));
}
// A folder where the last file's backup would go: the last move fails after every other
// file is in place, and all of them go back.
void BackupNameTaken(const std::wstring&, const std::wstring& t) {
    ASSERT_TRUE(CreateDirectoryW((t + L"\\~zlbak.last.dll.~zl").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(t + L"\\~zlbak.last.dll.~zl\\inside", "x"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailedInstall,
    ::testing::Values(
        FailureCase{"crc", FlipStoredByte, InstallStep::Checking, InstallReason::CrcMismatch},
        FailureCase{"crc_of_last", CrcOfLastEntry, InstallStep::Checking, InstallReason::CrcMismatch},
        FailureCase{"deflate", InvalidDeflateBlock, InstallStep::Checking, InstallReason::DamagedStream},
        FailureCase{"short", SizeBeyondTheStream, InstallStep::Checking, InstallReason::ShortStream},
        FailureCase{"bomb", StreamBeyondTheSize, InstallStep::Checking, InstallReason::LongStream},
        FailureCase{"first_central_record", FirstCentralRecordDamaged, InstallStep::Checking,
                    InstallReason::DamagedArchive},
        FailureCase{"central_name", CentralNameChanged, InstallStep::Checking, InstallReason::NameMismatch},
        FailureCase{"local_name", LocalNameChanged, InstallStep::Checking, InstallReason::NameMismatch},
        // Wine as root refuses the immutable file before its attribute is read.
        FailureCase{"read_only", ReadOnlyLastFile, InstallStep::Placing, InstallReason::ReadOnlyFile, ERROR_ACCESS_DENIED},
        FailureCase{"folder", FolderWhereTheLastFileGoes, InstallStep::Placing, InstallReason::FolderInTheWay},
        FailureCase{"backup_taken", BackupNameTaken, InstallStep::Placing, InstallReason::None}),
    [](const auto& info) { return std::string(info.param.what); });

TEST_F(Extraction, HeldOpenOldFileFailsAndEverythingStays) {
    ASSERT_TRUE(WriteTestArchive(archive, FailureEntries()));
    PlaceOldVersions(FailureEntries());
    const Snapshot before = Take(target);
    HANDLE lock = CreateFileW((target + L"\\last.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Extract(), -1);
    CloseHandle(lock);
    EXPECT_TRUE(Take(target) == before);
    ExpectNoLeftovers();
}

// Between the renames of the last file another process takes its name: the move in fails
// and every file already in place goes back, with its old time and attributes.
TEST_F(Extraction, FailureWhilePuttingInPlaceRestoresEveryFile) {
    ASSERT_TRUE(WriteTestArchive(archive, FailureEntries()));
    PlaceOldVersions(FailureEntries());
    const Snapshot before = Take(target);
    static std::wstring squatter;
    squatter = target + L"\\last.dll";
    static int placedBefore;
    placedBefore = 0;
    TransactionProbe = [](int stage, unsigned index) {
        if (stage != 1) return;
        if (index < 3) {
            ++placedBefore;
            return;
        }
        WriteBytes(squatter, "squatter");
    };
    EXPECT_EQ(Extract(), -1);
    EXPECT_EQ(placedBefore, 3);
    // The squatter is not ours to remove: the old last.dll waits beside it under its backup name.
    std::string squatted;
    ASSERT_TRUE(ReadBytes(squatter, squatted));
    EXPECT_EQ(squatted, "squatter");
    EXPECT_TRUE(Exists(target + L"\\~zlbak.last.dll.~zl"));
    // The journal still names it: once the name is free again, the next run puts it back.
    ASSERT_TRUE(DeleteFileW(squatter.c_str()));
    EXPECT_TRUE(CleanUpInterruptedRun((L"\\\\?\\" + target + L"\\").c_str()));
    EXPECT_TRUE(Take(target) == before);
}

TEST_F(Extraction, NewFoldersGoAgainAfterAFailure) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"New/", "", 0}, {"New/Deep/a.dll", "a"}, {"Other/b.dll", "b"},
                                           {"Sub/c.dll", "c"}, {"bad.dll", "bad"}}));
    ASSERT_TRUE(CreateDirectoryW((target + L"\\Sub").c_str(), nullptr));
    ASSERT_TRUE(PatchEntryHeaders(archive, "bad.dll", 14, 16, Le32(1)));
    EXPECT_EQ(Extract(), -1);
    EXPECT_EQ(ListFolders(target), (std::vector<std::wstring>{L"Sub"}));
    EXPECT_TRUE(ListFiles(target).empty());
}

// Leftovers no journal names (from an older setup, or files of a run long gone): part and
// spent files go; a backup goes back where its name is free; where a file stands there,
// nothing tells whose it is, so it stays and the backup goes. The journal's own cases are
// tested by killing real runs.
TEST_F(Extraction, CleansUpLeftoversNoJournalNames) {
    ASSERT_TRUE(CreateDirectoryW((target + L"\\Sub").c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(target + L"\\~zl00001234-00000.part", "half"));
    ASSERT_TRUE(WriteBytes(target + L"\\Sub\\~zl00001234-00001.part", "half"));
    ASSERT_TRUE(WriteBytes(target + L"\\~zlbak.a.dll.~zl", "old a"));  // a.dll missing
    ASSERT_TRUE(WriteBytes(target + L"\\c.dll", "someone's c"));
    ASSERT_TRUE(WriteBytes(target + L"\\Sub\\~zlbak.c.dll.~zl", "old c"));
    ASSERT_TRUE(WriteBytes(target + L"\\Sub\\c.dll", "someone's c"));
    ASSERT_TRUE(WriteBytes(target + L"\\~zlbak.c.dll.~zl", "old c"));
    ASSERT_TRUE(WriteBytes(target + L"\\~zl0000abcd-00002.~zld", "spent"));
    ASSERT_TRUE(WriteBytes(target + L"\\keep.dll", "keep"));
    EXPECT_TRUE(CleanUpInterruptedRun((L"\\\\?\\" + target + L"\\").c_str()));
    EXPECT_EQ(ListFiles(target), (std::vector<std::wstring>{L"Sub\\c.dll", L"a.dll", L"c.dll", L"keep.dll"}));
    EXPECT_EQ(Content(L"a.dll"), "old a");
    EXPECT_EQ(Content(L"c.dll"), "someone's c");
    EXPECT_EQ(Content(L"Sub\\c.dll"), "someone's c");
    // Done is done: a second clean-up changes nothing.
    EXPECT_TRUE(CleanUpInterruptedRun((L"\\\\?\\" + target + L"\\").c_str()));
    EXPECT_EQ(ListFiles(target), (std::vector<std::wstring>{L"Sub\\c.dll", L"a.dll", L"c.dll", L"keep.dll"}));

    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}, {"Sub/b.dll", "new b"}}));
    ASSERT_TRUE(WriteBytes(target + L"\\~zl00001234-00002.part", "half"));
    EXPECT_EQ(Extract(), 0);
    EXPECT_EQ(Content(L"a.dll"), "new a");
    EXPECT_EQ(Content(L"Sub\\b.dll"), "new b");
    ExpectNoLeftovers();
}

// A journal the setup never wrote: the clean-up refuses it and changes nothing, and so does
// the install.
TEST_F(Extraction, ForeignJournalChangesNothing) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}}));
    ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    // A record of a kind the setup never writes, in an otherwise well-formed journal.
    std::string unknownKind("ZLJ1\0\0\0\0", 8);
    unknownKind += std::string("\x09\0\x01\0", 4) + std::string(12, '\0') + std::string("a\0", 2);
    // A record that names a.dll by its real ID as a file of the run's own, after one whose
    // name could not stand in a folder: refused whole, a.dll is not touched either.
    BY_HANDLE_FILE_INFORMATION id{};
    HANDLE a = CreateFileW((target + L"\\a.dll").c_str(), FILE_READ_ATTRIBUTES,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileInformationByHandle(a, &id));
    CloseHandle(a);
    auto newFile = [&](const std::wstring& name, uint32_t low, uint32_t high) {
        std::string r = std::string("\x02\0", 2) + Le16(static_cast<uint16_t>(name.size())) + Le32(id.dwVolumeSerialNumber) +
                        Le32(low) + Le32(high);
        for (wchar_t c : name) r += Le16(static_cast<uint16_t>(c));
        return r;
    };
    const std::string badNameFirst = std::string("ZLJ1\0\0\0\0", 8) + newFile(L"a|b.dll", 1, 0) +
                                     newFile(L"a.dll", id.nFileIndexLow, id.nFileIndexHigh);
    for (const std::string& bytes : {std::string("garbage"), unknownKind, badNameFirst}) {
        ASSERT_TRUE(WriteBytes(target + L"\\~zljournal.~zlj", bytes));
        const Snapshot before = Take(target);
        EXPECT_EQ(Extract(), -1);
        EXPECT_TRUE(Take(target) == before);
    }
}

// A journal that the power cut back to zeros, or to nothing, before any rename depended on
// it: the old set stands; its part files go and the install goes on, as with no journal.
TEST_F(Extraction, JournalLostWithThePowerIsNoObstacle) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}, {"Sub/b.dll", "new b"}}));
    ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    for (const std::string& journal : {std::string(400, '\0'), std::string()}) {
        SCOPED_TRACE(journal.size());
        ASSERT_TRUE(WriteBytes(target + L"\\~zljournal.~zlj", journal));
        ASSERT_TRUE(WriteBytes(target + L"\\~zl00001234-00000.part", std::string(300, '\0')));
        EXPECT_EQ(Extract(), 0);
        EXPECT_EQ(Content(L"a.dll"), "new a");
        EXPECT_EQ(Content(L"Sub\\b.dll"), "new b");
        ExpectNoLeftovers();
        ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    }
}

// Names the setup keeps for itself, taken by a folder of somebody else's, or its lock held by
// another setup: the run changes nothing and says which name and why.
TEST_F(Extraction, ReservedNameInTheWayIsNamedAndChangesNothing) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}}));
    ASSERT_TRUE(WriteBytes(target + L"\\a.dll", "old a"));
    struct Case {
        const wchar_t* name;
        bool folder;
        InstallReason reason;
    };
    for (const Case& c : {Case{L"~zljournal.~zlj", true, InstallReason::ReservedName},
                          Case{L"~zlcommit.~zlc", true, InstallReason::ReservedName},
                          Case{L"~zllock.~zll", true, InstallReason::ReservedName},
                          Case{L"~zllock.~zll", false, InstallReason::FolderInUse}}) {
        SCOPED_TRACE(testing::Message() << std::string(c.name, c.name + wcslen(c.name)) << (c.folder ? " folder" : " held"));
        const std::wstring path = target + L"\\" + c.name;
        HANDLE held = INVALID_HANDLE_VALUE;
        if (c.folder) {
            ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
        } else {
            held = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }
        const Snapshot before = Take(target);
        InstallReport report;
        EXPECT_EQ(ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0, &report), -1);
        EXPECT_EQ(report.failure.reason, c.reason);
        EXPECT_STREQ(report.failure.file, c.name);
        EXPECT_EQ(report.Busy(), c.reason == InstallReason::FolderInUse);
        EXPECT_TRUE(Take(target) == before);
        if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
        RemoveDirectoryW(path.c_str());
    }
    // The lock goes with the run that held it.
    EXPECT_EQ(Extract(), 0);
    EXPECT_FALSE(Exists(target + L"\\~zllock.~zll"));
}

// A folder of the user's that cannot be entered (held open without sharing) is left alone and
// noted, and does not stop an install; unless a killed run's journal names something in it.
TEST_F(Extraction, FolderThatCannotBeEnteredIsLeftAloneUnlessTheJournalNeedsIt) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}}));
    const std::wstring closed = target + L"\\Closed";
    ASSERT_TRUE(CreateDirectoryW(closed.c_str(), nullptr));
    ASSERT_TRUE(WriteBytes(closed + L"\\mine.txt", "mine"));
    HANDLE held = CreateFileW(closed.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    InstallReport report;
    EXPECT_EQ(ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0, &report), 0);
    EXPECT_EQ(Content(L"a.dll"), "new a");
    ASSERT_EQ(report.skippedFolders, 1u);
    EXPECT_STREQ(report.skipped[0].file, L"Closed\\");
    EXPECT_EQ(report.skipped[0].error, static_cast<DWORD>(ERROR_SHARING_VIOLATION));

    // A killed run's journal naming a file in there: nothing can be undone without it.
    const std::wstring journal = scratch / L"journal";
    HANDLE file = CreateFileW(journal.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    JournalWriter w;
    ASSERT_TRUE(w.Start() && w.Add(kNewFile, L"Closed\\mine.txt", FileIdentity{1, 4, 0}) && w.WriteOut(file));
    CloseHandle(file);
    ASSERT_TRUE(MoveFileW(journal.c_str(), (target + L"\\~zljournal.~zlj").c_str()));
    InstallReport refused;
    EXPECT_EQ(ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0, &refused), -1);
    EXPECT_STREQ(refused.failure.file, L"Closed\\mine.txt");
    CloseHandle(held);
    std::string mine;
    EXPECT_TRUE(ReadBytes(closed + L"\\mine.txt", mine) && mine == "mine");
    EXPECT_EQ(Extract(), 0);
    ExpectNoLeftovers();
}

// Names that only look like the setup's own, planted where its clean-up walks: none of
// them crashes it, the install goes through, and every one is still there with its bytes.
TEST_F(Extraction, LookAlikeNamesAreLeftAlone) {
    const std::wstring overlong = L"~zl" + std::wstring(200, L'0') + L"-00000.part";
    const std::vector<std::wstring> names = {
        L"~zlbak.~zl", L"~zlbak.~zld", L"~zlbak.~zln", L"~zlbak..~zl", L"~zlbak...~zl", L"~zlbak. .~zl",
        L"~zlnotes.part", L"~zl.part", L"~zl0000123-00000.part", L"~zl000012345-00000.part",
        L"~zl0000123g-00000.part", L"~zl00001234-0000.part", L"~zl00001234_00000.part", L"~zl00001234-00000.partx",
        L"~zl00001234-00000.~zl", L"~zlbak.x.dll.~zlx", L"~zlbak.x.dll.~zl.txt", L"~zlbakx.dll.~zl",
        L"~zl-notes.txt", L"~zlcommit.~zl", L"~zlcommit.~zlcx", L"~zljournal.~zl", L"~zljournal.~zljx",
        L"~zlbak.x.dll.~zln", overlong};
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}, {"Sub/b.dll", "new b"}}));
    ASSERT_TRUE(CreateDirectoryW((target + L"\\Sub").c_str(), nullptr));
    std::vector<std::wstring> planted;
    for (const std::wstring& folder : {std::wstring(), std::wstring(L"Sub\\")})
        for (const std::wstring& name : names) {
            ASSERT_TRUE(WriteBytes(target + L"\\" + folder + name, "planted")) << name;
            planted.push_back(folder + name);
        }
    ASSERT_EQ(Extract(), 0);
    EXPECT_EQ(Content(L"a.dll"), "new a");
    EXPECT_EQ(Content(L"Sub\\b.dll"), "new b");
    for (const std::wstring& name : planted) EXPECT_EQ(Content(name), "planted") << name;
    EXPECT_EQ(ListFiles(target).size(), planted.size() + 2);
}

// A user's own tree deeper than any pack does not stop an install, and stays as it is.
TEST_F(Extraction, DeepFolderOfTheUsersOwnIsNoObstacle) {
    std::wstring deep = target;
    for (int level = 0; level < 140; ++level) {
        deep += L"\\d";
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << level;
    }
    ASSERT_TRUE(WriteBytes(deep + L"\\~zl00001234-00000.part", "the user's, down there"));
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "new a"}}));
    EXPECT_EQ(Extract(), 0);
    EXPECT_EQ(Content(L"a.dll"), "new a");
    std::string bytes;
    EXPECT_TRUE(ReadBytes(deep + L"\\~zl00001234-00000.part", bytes) && bytes == "the user's, down there");
}

// A file system that runs full while the part files are written: the old files stay.
TEST_F(Extraction, FullDiskLeavesTheTargetAsItWas) {
    const std::wstring small = scratch / L"small";
    ASSERT_TRUE(CreateDirectoryW(small.c_str(), nullptr));
    const std::wstring unixSmall = UnixPath(small);
    if (unixSmall.empty()) GTEST_SKIP() << "no Unix side to mount a small file system on";
    RunShell(L"mount -t tmpfs -o size=3m tmpfs \\\"$0\\\" && touch \\\"$0/mounted\\\"", unixSmall);
    if (!Exists(small + L"\\mounted")) GTEST_SKIP() << "this machine does not let the test mount a small file system";
    struct Unmount {
        std::wstring path;
        ~Unmount() { RunShell(L"umount \\\"$0\\\"", path); }
    } unmount{unixSmall};
    const std::wstring plugins = small + L"\\Plugins";
    ASSERT_TRUE(CreateDirectoryW(plugins.c_str(), nullptr));
    std::string noise(1200000, '\0');
    unsigned x = 1;
    for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const std::vector<TestEntry> entries = {{"a.dll", noise}, {"b.dll", noise}, {"c.dll", noise}};
    ASSERT_TRUE(WriteTestArchive(archive, entries));
    ASSERT_TRUE(WriteBytes(plugins + L"\\a.dll", "old a"));
    ASSERT_TRUE(WriteBytes(plugins + L"\\c.dll", "old c"));
    const Snapshot before = Take(plugins);
    EXPECT_EQ(ExtractArchive(archive.c_str(), (plugins + L"\\").c_str(), 0), -1);
    EXPECT_TRUE(Take(plugins) == before);
    // What failed was the space: two of the three fit.
    ASSERT_TRUE(WriteTestArchive(archive, {entries[0], entries[1]}));
    EXPECT_EQ(ExtractArchive(archive.c_str(), (plugins + L"\\").c_str(), 0), 0);
    SetCurrentDirectoryW(start.c_str());
}

// Each unsafe entry stands between two good ones: the whole install fails and nothing is
// written, neither in the target nor beside it.
TEST_F(Extraction, RefusesUnsafeNamesAndForms) {
    const std::string longName = std::string(330, 'n') + ".dll";  // fits 520 bytes, not 323 UTF-16
    const std::string tooLong = std::string(600, 'n') + ".dll";
    const char* const names[] = {"/root.dll", "\\root.dll", "C:x.dll", "C:\\x.dll", "ads.dll:hidden",
                                 "../up.dll", "sub/../../up.dll", "sub\\..\\up.dll", "..", "CON",
                                 "nul.txt", "sub/Com1.dll", "LPT9", "aux .dll", "a.dll.", "a.dll ",
                                 "dot./a.dll", "blank /a.dll", "a<b.dll", "a>b.dll", "a\"b.dll", "a|b.dll",
                                 "a?b.dll", "a*b.dll", "a\x01" "b.dll", "a\x1f" "b.dll", "sub//a.dll", ".", "A.DLL"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "a"}, {name, "evil"}, {"z.dll", "z"}}));
        EXPECT_EQ(Extract(), -1);
        EXPECT_TRUE(ListFiles(target).empty());
        EXPECT_TRUE(ListFolders(target).empty());
        EXPECT_EQ(ListFiles(scratch.Path()), (std::vector<std::wstring>{L"test.zip"}));
    }
    struct Form { const char* what; std::string name; unsigned local, central; std::string bytes; };
    const Form forms[] = {{"long", longName, 0, 0, ""},
                          {"too long", tooLong, 0, 0, ""},
                          {"bzip2", "m.dll", 8, 10, Le16(12)},
                          {"encrypted", "m.dll", 6, 8, Le16(3)}};
    for (const Form& f : forms) {
        SCOPED_TRACE(f.what);
        ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "a"}, {f.name, "data"}, {"z.dll", "z"}}));
        if (!f.bytes.empty()) {
            ASSERT_TRUE(PatchEntryHeaders(archive, f.name, f.local, f.central, f.bytes));
        }
        EXPECT_EQ(Extract(), -1);
        EXPECT_TRUE(ListFiles(target).empty());
    }
}

// Names as real archivers write them: flagged UTF-8 (7-Zip, WinRAR, Windows for names
// beyond its code page), the OEM code page unflagged (Windows, WinZip, 7-Zip for names
// within it), WinZip's Unicode path field, and unflagged UTF-8 from Unix and macOS hosts.
TEST_F(Extraction, NamesComeOutAsTheirArchiverMeantThem) {
    const bool oem437 = GetOEMCP() == 437;
    if (!oem437) std::printf("note: the OEM code page is %u, not 437: its rows are skipped\n", GetOEMCP());
    auto unicodePath = [](const std::string& headerName, const std::string& utf8) {
        const uint32_t crc = [&] {
            uint32_t c = 0xFFFFFFFFu;
            for (unsigned char b : headerName) {
                c ^= b;
                for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
            }
            return ~c;
        }();
        return Le16(0x7075) + Le16(static_cast<uint16_t>(5 + utf8.size())) + std::string(1, '\1') + Le32(crc) + utf8;
    };
    struct Case { const char* what; TestEntry entry; std::wstring expected; bool needs437; };
    const Case cases[] = {
        {"7-Zip, UTF-8 flag", {"B\xC3\xBC" "cher/\xE2\x82\xAC.dll", "1", 8, 0x4A8C6B3D, 0x800, 0x0A3F}, L"B\u00FCcher\\\u20AC.dll", false},
        {"Windows, OEM", {"\x9A" "ber.dll", "2", 8, 0x4A8C6B3D, 0, 20}, L"\u00DCber.dll", true},
        {"WinZip, Unicode path field", {"_.dll", "3", 8, 0x4A8C6B3D, 0, 0x0A3F, unicodePath("_.dll", "\xE6\x97\xA5\xE6\x9C\xAC.dll")},
         L"\u65E5\u672C.dll", false},
        {"a stale Unicode path field", {"\x81" "ber.dll", "4", 8, 0x4A8C6B3D, 0, 20, unicodePath("other", "x.dll")},
         L"\u00FCber.dll", true},
        {"macOS, unflagged UTF-8", {"Cafe\xCC\x81.dll", "5", 8, 0x4A8C6B3D, 0, 0x1315}, L"Cafe\u0301.dll", false},
        {"Info-ZIP on Unix, unflagged UTF-8", {"Gr\xC3\xB6\xC3\x9F" "e.dll", "6", 8, 0x4A8C6B3D, 0, 0x031E}, L"Gr\u00F6\u00DFe.dll", false},
        {"Unix host, not UTF-8", {"\x84" "x.dll", "7", 8, 0x4A8C6B3D, 0, 0x031E}, L"\u00E4x.dll", true},
        {"ASCII", {"plain.dll", "8", 8, 0x4A8C6B3D, 0, 0x031E}, L"plain.dll", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.needs437 && !oem437) continue;
        ASSERT_TRUE(WriteTestArchive(archive, {c.entry}));
        EXPECT_EQ(Extract(), 0);
        EXPECT_EQ(ListFiles(target), std::vector<std::wstring>{c.expected});
        EXPECT_EQ(Content(c.expected), c.entry.data);
        SetCurrentDirectoryW(start.c_str());
        RemoveTree(target);
        CreateDirectoryW(target.c_str(), nullptr);
    }
    // Flagged as UTF-8 but not UTF-8: no guess, the install fails.
    ASSERT_TRUE(WriteTestArchive(archive, {{"bad\xC3.dll", "x", 8, 0x4A8C6B3D, 0x800}}));
    EXPECT_EQ(Extract(), -1);
    EXPECT_TRUE(ListFiles(target).empty());
}

// Above the whole-entry limit an entry streams through zlib in small steps: it comes out
// right, its CRC-32 is still checked, and memory stays far below its size.
TEST_F(Extraction, LargeEntryStreams) {
    constexpr uint64_t kSize = (64ull << 20) + 4096;
    ASSERT_TRUE(WriteTestArchive(archive, {{"small.dll", "small"}, {"large.dat", "", 8, 0x4A8C6B3D, 0, 20, "", kSize}}));
    PROCESS_MEMORY_COUNTERS before{}, after{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before));
    ASSERT_EQ(Extract(), 0);
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after));
    EXPECT_LT(after.PeakWorkingSetSize, before.PeakWorkingSetSize + (24u << 20));
    HANDLE h = CreateFileW((target + L"\\large.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string chunk(1u << 20, '\0');
    uint64_t total = 0;
    bool zeros = true;
    for (DWORD n = 0; ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &n, nullptr) && n > 0; total += n)
        zeros = zeros && std::all_of(chunk.begin(), chunk.begin() + n, [](char c) { return c == '\0'; });
    CloseHandle(h);
    EXPECT_EQ(total, kSize);
    EXPECT_TRUE(zeros);

    SetCurrentDirectoryW(start.c_str());
    RemoveTree(target);
    CreateDirectoryW(target.c_str(), nullptr);
    ASSERT_TRUE(PatchEntryHeaders(archive, "large.dat", 14, 16, Le32(0x12345678)));
    EXPECT_EQ(Extract(), -1);
    EXPECT_TRUE(ListFiles(target).empty());
}

// A file whose own path fits in 259 characters is installed although the part file beside
// it has a longer name.
TEST_F(Extraction, PartFileLongerThanThePathLimitStillWorks) {
    std::wstring deep = target;
    while (deep.size() < 240) {
        deep += L"\\" + std::wstring(std::min<size_t>(30, 246 - deep.size()), L'd');
        ASSERT_TRUE(CreateDirectoryW(deep.c_str(), nullptr)) << deep.size();
    }
    const std::string name(258 - deep.size() - 1, 'p');  // deep + '\\' + name: 258 characters
    ASSERT_TRUE(WriteTestArchive(archive, {{name, "fits"}}));
    EXPECT_EQ(ExtractArchive(archive.c_str(), (deep + L"\\").c_str(), 0), 0);
    std::string bytes;
    EXPECT_TRUE(ReadBytes(deep + L"\\" + std::wstring(name.begin(), name.end()), bytes));
    EXPECT_EQ(bytes, "fits");
    SetCurrentDirectoryW(start.c_str());
}

TEST_F(Extraction, OpenFailuresLeaveTheCurrentDirectory) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "a"}}));
    EXPECT_EQ(ExtractArchive(nullptr, target.c_str(), 0), -1);
    EXPECT_EQ(ExtractArchive((scratch / L"missing.zip").c_str(), target.c_str(), 0), -1);
    ASSERT_TRUE(WriteBytes(scratch / L"not.zip", "PK\3\4 this is no archive"));
    EXPECT_EQ(ExtractArchive((scratch / L"not.zip").c_str(), target.c_str(), 0), -1);
    EXPECT_EQ(ExtractArchive(archive.c_str(), (scratch / L"nowhere\\").c_str(), 0), -1);
    EXPECT_EQ(CurrentDirectory(), start);
    // The archive is closed again: it can be deleted.
    EXPECT_TRUE(DeleteFileW(archive.c_str()));
}

TEST_F(Extraction, SkipFlagPassesOverIconLibrariesOnlyWhenOne) {
    const std::vector<TestEntry> entries = {
        {"Sub/ICONS.DLL", "1"}, {"icons.dll", "2"}, {"myicons.dll.txt", "3"}, {"keep.dll", "4"}};
    ASSERT_TRUE(WriteTestArchive(archive, entries));
    EXPECT_EQ(ExtractArchive(archive.c_str(), target.c_str(), 1), 0);
    EXPECT_EQ(ListFiles(target), (std::vector<std::wstring>{L"keep.dll"}));
    EXPECT_EQ(ExtractArchive(archive.c_str(), target.c_str(), 0), 0);
    EXPECT_EQ(ListFiles(target), (std::vector<std::wstring>{L"Sub\\ICONS.DLL", L"icons.dll", L"keep.dll", L"myicons.dll.txt"}));
}

TEST_F(Extraction, MakeDirectoryTree) {
    ASSERT_TRUE(SetCurrentDirectoryW(target.c_str()));
    EXPECT_EQ(MakeDirectoryTree(L""), 0);
    EXPECT_EQ(MakeDirectoryTree(L"A/"), 1);
    EXPECT_TRUE(Exists(target + L"\\A"));
    EXPECT_EQ(MakeDirectoryTree(L"A"), 1);
    EXPECT_EQ(MakeDirectoryTree(L"B/C\\D"), 1);
    EXPECT_TRUE(Exists(target + L"\\B\\C\\D"));
    EXPECT_EQ(MakeDirectoryTree(L"Q:\\no\\such\\drive"), 0);
}

TEST(EntryNames, SafeAndUnsafe) {
    for (const wchar_t* name : {L"a.dll", L"Effects/Lens/zv_lens.dll", L"A/", L"a..b.dll", L"CONFIG.dll",
                                L"com10.dll", L"LPT0.dll", L"console/x.dll", L"sub\\x.dll", L".hidden", L""})
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    for (const wchar_t* name : {L"/a", L"\\a", L"a:b", L"C:\\a", L"..", L"../a", L"a/..", L"a\\..\\b",
                                L"con", L"CON.txt", L"Prn", L"aux.dll", L"NUL", L"x/COM1", L"lpt5.log", L"...",
                                L"a.", L"a ", L"a./b", L"a//b", L"a<b", L"a\tb", L"a?"})
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
}

} // namespace
