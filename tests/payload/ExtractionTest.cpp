// Unpacking archives that the tests make themselves, under Wine's real file system.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "payload/Payload.h"
#include "support/ReadOnly.h"
#include "support/ScratchFolder.h"
#include "support/TestArchive.h"

namespace {

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
    int Extract() { return ExtractArchive(archive.c_str(), (target + L"\\").c_str(), 0); }
    std::string Content(const std::wstring& relative) {
        std::string bytes;
        return ReadBytes(target + L"\\" + relative, bytes) ? bytes : std::string("<missing>");
    }
    // Nothing but the expected names in the target folder: no part files, no strays.
    std::vector<std::wstring> Listing(const std::wstring& folder) {
        std::vector<std::wstring> names;
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) return names;
        do {
            std::wstring n = data.cFileName;
            if (n != L"." && n != L"..") names.push_back(n);
        } while (FindNextFileW(find, &data));
        FindClose(find);
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Extraction, WritesFoldersAndFilesAndLeavesTargetCurrent) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"A/", "", 0},
                                           {"A/x.dll", Compressible(100000, 1)},
                                           {"top.dll", "top", 0},
                                           {"empty.dat", ""},
                                           {"B/D/y.dll", Compressible(5000, 2)}}));
    ASSERT_TRUE(WriteBytes(target + L"\\top.dll", "an older top.dll that is longer"));
    EXPECT_EQ(Extract(), 0);
    EXPECT_EQ(Content(L"A\\x.dll"), Compressible(100000, 1));
    EXPECT_EQ(Content(L"top.dll"), "top");
    EXPECT_EQ(Content(L"empty.dat"), "");
    EXPECT_EQ(Content(L"B\\D\\y.dll"), Compressible(5000, 2));
    EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"A", L"B", L"empty.dat", L"top.dll"}));
    EXPECT_EQ(CurrentDirectory(), target);
}

TEST_F(Extraction, EmptyArchiveWritesNothingAndSucceeds) {
    // minizip 1.1 looks for the end record above offset 0, so the bare 22-byte archive
    // does not open; a preamble (as in a self-extractor) makes it an archive with no entries.
    ASSERT_TRUE(WriteBytes(archive, std::string("stub") + "PK\5\6" + std::string(18, '\0')));
    EXPECT_EQ(Extract(), 0);
    EXPECT_TRUE(Listing(target).empty());
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

struct DamagedCase {
    const char* what;
    void (*damage)(const std::wstring& archive);
    bool stopsAtStoredEntry;
};

class DamagedEntry : public Extraction, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedEntry, KeepsEarlierFilesAndTheOldFileAndStops) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"first.dll", Compressible(70000, 3)},
                                           {"bad.dll", Compressible(90000, 4), 0},
                                           {"deflated.dll", Compressible(90000, 5)},
                                           {"after.dll", "after"}}));
    // The damaged entry is the second or third, depending on the case.
    GetParam().damage(archive);
    ASSERT_TRUE(WriteBytes(target + L"\\bad.dll", "old bad"));
    ASSERT_TRUE(WriteBytes(target + L"\\deflated.dll", "old deflated"));
    EXPECT_EQ(Extract(), -1);
    EXPECT_EQ(Content(L"first.dll"), Compressible(70000, 3));
    EXPECT_EQ(Content(L"bad.dll"), GetParam().stopsAtStoredEntry ? "old bad" : Compressible(90000, 4));
    EXPECT_EQ(Content(L"deflated.dll"), "old deflated");
    EXPECT_EQ(Content(L"after.dll"), "<missing>");
    EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"bad.dll", L"deflated.dll", L"first.dll"}));
    EXPECT_EQ(CurrentDirectory(), start);
}

void FlipStoredByte(const std::wstring& a) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "bad.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.data + 40000, "#"));
}
void InvalidDeflateBlock(const std::wstring& a) {
    EntryOffsets o;
    ASSERT_TRUE(FindEntry(a, "deflated.dll", o));
    ASSERT_TRUE(PatchBytes(a, o.data, "\x07"));  // final block of the reserved type 3
}
void SizeBeyondTheStream(const std::wstring& a) {
    // The stream ends cleanly, short of the size both headers promise.
    ASSERT_TRUE(PatchEntryHeaders(a, "deflated.dll", 22, 24, Le32(90001)));
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedEntry,
                         ::testing::Values(DamagedCase{"crc", FlipStoredByte, true},
                                           DamagedCase{"deflate", InvalidDeflateBlock, false},
                                           DamagedCase{"short", SizeBeyondTheStream, false}),
                         [](const auto& info) { return std::string(info.param.what); });

TEST_F(Extraction, ReadOnlyAndLockedFilesStayAndTheRestIsWritten) {
    ASSERT_TRUE(WriteTestArchive(archive, {{"ro.dll", "new ro"}, {"locked.dll", "new locked"}, {"after.dll", "after"}}));
    ASSERT_TRUE(WriteBytes(target + L"\\ro.dll", "old ro"));
    ASSERT_TRUE(MakeReadOnly(target + L"\\ro.dll"));
    ASSERT_TRUE(WriteBytes(target + L"\\locked.dll", "old locked"));
    HANDLE lock = CreateFileW((target + L"\\locked.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Extract(), -1);
    CloseHandle(lock);
    EXPECT_EQ(Content(L"ro.dll"), "old ro");
    EXPECT_EQ(Content(L"locked.dll"), "old locked");
    EXPECT_EQ(Content(L"after.dll"), "after");
    EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"after.dll", L"locked.dll", L"ro.dll"}));
    EXPECT_EQ(CurrentDirectory(), start);
}

// Each unsafe entry stands between two good ones: it is left out, nothing is made for it,
// the loop goes on, and the result reports the gap.
TEST_F(Extraction, RefusesUnsafeNamesAndForms) {
    const std::string longName = std::string(330, 'n') + ".dll";  // fits 520 bytes, not 323 UTF-16
    const std::string tooLong = std::string(600, 'n') + ".dll";
    const char* const names[] = {"/root.dll", "\\root.dll", "C:x.dll", "C:\\x.dll", "ads.dll:hidden",
                                 "../up.dll", "sub/../../up.dll", "sub\\..\\up.dll", "..", "CON",
                                 "nul.txt", "sub/Com1.dll", "LPT9", "aux .dll"};
    for (const char* name : names) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(WriteTestArchive(archive, {{"a.dll", "a"}, {name, "evil"}, {"z.dll", "z"}}));
        EXPECT_EQ(Extract(), -1);
        EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"a.dll", L"z.dll"}));
        EXPECT_EQ(Listing(scratch.Path()), (std::vector<std::wstring>{L"start", L"target", L"test.zip"}));
        RemoveTree(target);
        CreateDirectoryW(target.c_str(), nullptr);
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
        EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"a.dll", L"z.dll"}));
        RemoveTree(target);
        CreateDirectoryW(target.c_str(), nullptr);
    }
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
    EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"keep.dll"}));
    EXPECT_EQ(ExtractArchive(archive.c_str(), target.c_str(), 0), 0);
    EXPECT_EQ(Listing(target), (std::vector<std::wstring>{L"Sub", L"icons.dll", L"keep.dll", L"myicons.dll.txt"}));
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
                                L"com10.dll", L"LPT0.dll", L"console/x.dll", L"...", L"sub\\x.dll"})
        EXPECT_TRUE(IsSafeEntryName(name)) << name;
    for (const wchar_t* name : {L"/a", L"\\a", L"a:b", L"C:\\a", L"..", L"../a", L"a/..", L"a\\..\\b",
                                L"con", L"CON.txt", L"Prn", L"aux.dll", L"NUL", L"x/COM1", L"lpt5.log"})
        EXPECT_FALSE(IsSafeEntryName(name)) << name;
}

} // namespace
