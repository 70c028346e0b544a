// Archives made by the tests with minizip's zip API, and the few byte patches that
// show damaged or unusual entries.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct TestEntry {
    std::string name;          // '/'-separated; a folder ends in '/'
    std::string data;
    int method = 8;            // 0 stored, 8 deflate
    uint32_t dosDate = 0x4A8C6B3D;  // 2017-04-12 13:25:58
    unsigned flag = 0;              // general-purpose flags beyond the deflate level's
    unsigned versionMadeBy = 20;    // host in the high byte: 0 MS-DOS, 3 Unix, 19 macOS
    std::string centralExtra{};     // extra field of the central record
    uint64_t zeroBytes = 0;         // data of that many zeros instead, written in pieces
};

bool WriteTestArchive(const std::wstring& path, const std::vector<TestEntry>& entries);

// Offsets inside an archive written by WriteTestArchive (no extra fields).
struct EntryOffsets {
    uint64_t local = 0;     // local file header
    uint64_t central = 0;   // central directory record
    uint64_t data = 0;      // first byte of the entry's data
};
bool FindEntry(const std::wstring& path, const std::string& name, EntryOffsets& offsets);
bool PatchBytes(const std::wstring& path, uint64_t offset, const std::string& bytes);

// Both headers of an entry, so that minizip sees them agree.
bool PatchEntryHeaders(const std::wstring& path, const std::string& name, unsigned localField,
                       unsigned centralField, const std::string& bytes);

std::string Le16(uint16_t v);
std::string Le32(uint32_t v);
std::string Compressible(size_t size, unsigned seed);  // text that deflates well

// The local DOS time a file shows, as a user reads the extraction's dates back.
uint32_t LocalDosTime(const std::wstring& path);
// Every entry's name with backslashes and its stored DOS time, in the archive's order.
std::vector<std::pair<std::wstring, uint32_t>> ArchivedEntries(const wchar_t* archive);
// The same, by name.
std::map<std::wstring, uint32_t> ArchivedTimes(const wchar_t* archive);
