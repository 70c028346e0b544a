// The built payload archive, read byte by byte: the form the installer is released with.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <map>
#include <string>

#include "support/ScratchFolder.h"

namespace {

uint32_t U16(const std::string& b, size_t at) {
    return static_cast<uint8_t>(b[at]) | (static_cast<uint8_t>(b[at + 1]) << 8);
}
uint32_t U32(const std::string& b, size_t at) { return U16(b, at) | (U16(b, at + 2) << 16); }

struct Record {
    std::string name;
    uint32_t madeBy, needed, flag, method, dosDate, crc, packed, size, internal, external, local;
};

class ArchiveForm : public ::testing::Test {
protected:
    std::string bytes;
    std::vector<Record> records;
    size_t centralOffset = 0, centralSize = 0;

    void SetUp() override {
        if (!PAYLOAD_FROM_PACKER) GTEST_SKIP() << "a prebuilt archive is embedded as it is";
        ASSERT_TRUE(ReadBytes(PAYLOAD_ARCHIVE, bytes));
        ASSERT_GE(bytes.size(), 22u);
        const size_t end = bytes.size() - 22;
        ASSERT_EQ(U32(bytes, end), 0x06054B50u) << "end record is last, with no comment";
        EXPECT_EQ(U16(bytes, end + 20), 0u);
        const uint32_t count = U16(bytes, end + 10);
        EXPECT_EQ(U16(bytes, end + 8), count);
        centralSize = U32(bytes, end + 12);
        centralOffset = U32(bytes, end + 16);
        ASSERT_EQ(centralOffset + centralSize, end) << "central directory directly before the end record";
        size_t at = centralOffset;
        for (uint32_t i = 0; i < count; ++i) {
            ASSERT_EQ(U32(bytes, at), 0x02014B50u);
            Record r{std::string(bytes, at + 46, U16(bytes, at + 28)), U16(bytes, at + 4), U16(bytes, at + 6),
                     U16(bytes, at + 8), U16(bytes, at + 10), U32(bytes, at + 12), U32(bytes, at + 16),
                     U32(bytes, at + 20), U32(bytes, at + 24), U16(bytes, at + 36), U32(bytes, at + 38),
                     U32(bytes, at + 42)};
            EXPECT_EQ(U16(bytes, at + 30), 0u) << r.name << ": extra field";
            EXPECT_EQ(U16(bytes, at + 32), 0u) << r.name << ": comment";
            EXPECT_EQ(U16(bytes, at + 34), 0u) << r.name << ": disk";
            records.push_back(r);
            at += 46 + r.name.size();
        }
        ASSERT_EQ(at, centralOffset + centralSize);
    }
};

TEST_F(ArchiveForm, EveryEntryHasTheReleaseForm) {
    size_t expectedLocal = 0;
    for (const Record& r : records) {
        SCOPED_TRACE(r.name);
        const bool folder = r.name.back() == '/';
        EXPECT_EQ(r.madeBy, 20u);
        EXPECT_EQ(r.needed, 20u);
        EXPECT_EQ(r.flag, 0x0002u);
        EXPECT_EQ(r.method, folder ? 0u : 8u);
        EXPECT_EQ(r.external, folder ? 0x10u : 0x20u);
        if (folder) {
            EXPECT_EQ(r.size + r.packed, 0u);
        }
        // Local headers and data in central-directory order, agreeing with it.
        ASSERT_EQ(r.local, expectedLocal);
        ASSERT_EQ(U32(bytes, r.local), 0x04034B50u);
        EXPECT_EQ(U16(bytes, r.local + 4), 20u);
        EXPECT_EQ(U16(bytes, r.local + 6), r.flag);
        EXPECT_EQ(U16(bytes, r.local + 8), r.method);
        EXPECT_EQ(U32(bytes, r.local + 10), r.dosDate);
        EXPECT_EQ(U32(bytes, r.local + 14), r.crc);
        EXPECT_EQ(U32(bytes, r.local + 18), r.packed);
        EXPECT_EQ(U32(bytes, r.local + 22), r.size);
        EXPECT_EQ(U16(bytes, r.local + 28), 0u);
        EXPECT_EQ(std::string(bytes, r.local + 30, U16(bytes, r.local + 26)), r.name);
        expectedLocal = r.local + 30 + r.name.size() + r.packed;
        // Every folder entry comes before what is inside it.
        const size_t slash = r.name.find_last_of('/', folder ? r.name.size() - 2 : std::string::npos);
        if (slash != std::string::npos) {
            const std::string parent = r.name.substr(0, slash + 1);
            const bool before = std::any_of(records.begin(), records.begin() + (&r - records.data()),
                                            [&](const Record& p) { return p.name == parent; });
            EXPECT_TRUE(before) << "folder " << parent;
        }
    }
    EXPECT_EQ(expectedLocal, centralOffset);
}

TEST_F(ArchiveForm, SamplePackHasTheShapeOfTheRelease) {
    if (!PAYLOAD_IS_SAMPLE) GTEST_SKIP() << "not the generated sample pack";
    ASSERT_EQ(records.size(), 72u);
    uint64_t unpacked = 0, packed = 0, largest = 0;
    size_t folders = 0, topFiles = 0;
    std::map<std::string, int> kinds, perFolder;
    for (const Record& r : records) {
        EXPECT_LE(r.name.size(), 41u) << r.name;
        for (char c : r.name) EXPECT_TRUE(c > 0x20 && c < 0x7F) << r.name;
        const uint32_t year = 1980 + (r.dosDate >> 25);
        EXPECT_TRUE(year >= 2006 && year <= 2026) << r.name;
        if (r.name.back() == '/') { ++folders; continue; }
        unpacked += r.size;
        packed += r.packed;
        largest = std::max<uint64_t>(largest, r.size);
        kinds[r.name.substr(r.name.find_last_of('.') + 1)]++;
        const size_t slash = r.name.find_last_of('/');
        if (slash == std::string::npos) ++topFiles; else perFolder[r.name.substr(0, slash + 1)]++;
    }
    EXPECT_EQ(folders, 5u);
    EXPECT_EQ(topFiles, 41u);
    std::vector<int> counts;
    for (auto& [name, n] : perFolder) counts.push_back(n);
    std::sort(counts.begin(), counts.end());
    EXPECT_EQ(counts, (std::vector<int>{2, 2, 4, 8, 10}));
    EXPECT_EQ(kinds, (std::map<std::string, int>{{"8bf", 6}, {"chm", 4}, {"dat", 1}, {"dll", 53}, {"exe", 1}, {"txt", 2}}));
    EXPECT_EQ(unpacked, 70152176u);
    EXPECT_EQ(largest, 10302016u);
    const double ratio = static_cast<double>(packed) / static_cast<double>(unpacked);
    EXPECT_GT(ratio, 0.40);
    EXPECT_LT(ratio, 0.45);
    EXPECT_EQ(std::count_if(records.begin(), records.end(), [](const Record& r) { return r.internal == 1; }), 2);
}

} // namespace
