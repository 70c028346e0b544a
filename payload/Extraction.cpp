#include "payload/Payload.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <direct.h>

#include "framework/Handles.h"
#include "libdeflate.h"
#include "payload/InstallReport.h"
#include "payload/Transaction.h"
#include "payload/ZipHandle.h"

namespace {

constexpr unsigned kStoredNameBytes = 520;
constexpr int kWideNameChars = 324;
constexpr unsigned kExtraFieldBytes = 4096;
constexpr int kCurrentDirChars = 520;
// For speed, entries up to this size do not go through zlib in 32 KiB steps: libdeflate
// inflates each whole, in one call, into a buffer the size of the largest such entry, and
// it is written in one call. zlib stays for minizip and for a larger entry, which streams
// through it in steps of kStreamChunkBytes, so memory never follows a declared size blindly.
constexpr uint64_t kWholeEntryLimit = 64ull << 20;
constexpr unsigned kStreamChunkBytes = 1u << 20;

struct DecompressorFreer {
    void operator()(libdeflate_decompressor* d) const noexcept { libdeflate_free_decompressor(d); }
};

// Grows to the largest entry seen and is reused for the next.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { free(data_); }
    // The old contents are not kept: nothing is copied on the way up.
    bool Reserve(size_t bytes) {
        if (bytes <= size_) return true;
        free(data_);
        size_ = 0;
        data_ = static_cast<char*>(malloc(bytes));
        if (data_ == nullptr) return false;
        size_ = bytes;
        return true;
    }
    char* Data() { return data_; }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

struct Context {
    unzFile archive;
    // The archive's bytes, mapped from the one handle it is read through: entries are
    // inflated straight from the page cache, with no copy in between.
    const char* view;
    uint64_t viewBytes;
    InstallTransaction& transaction;
    int skipFlag;
    std::unique_ptr<libdeflate_decompressor, DecompressorFreer> inflater;
    Buffer plain;
    InstallReport* report;
    const wchar_t* entry = nullptr;  // the entry being written, for the report
    // The archive's reason for refusing the current entry: reading and checking its data.
    bool Refuse(InstallReason reason, DWORD error = 0) {
        if (report != nullptr) report->Fail(InstallStep::Checking, entry, error, reason);
        return false;
    }
    bool Holds(uint64_t offset, uint64_t bytes) const { return offset <= viewBytes && bytes <= viewBytes - offset; }
};

struct ViewUnmapper {
    void operator()(const void* view) const noexcept { UnmapViewOfFile(view); }
};

bool IsSeparator(wchar_t c) { return c == L'/' || c == L'\\'; }

// Inflates the open entry whole into a buffer of exactly its stored size and checks size
// and CRC-32 before a byte is written.
bool WriteWhole(Context& c, const unz_file_info64& info, uint64_t dataOffset) {
    const size_t packed = static_cast<size_t>(info.compressed_size), size = static_cast<size_t>(info.uncompressed_size);
    if (!c.Holds(dataOffset, packed)) return c.Refuse(InstallReason::DamagedArchive);
    const char* data = c.view + dataOffset;
    if (info.compression_method == 0) {
        if (packed != size) return c.Refuse(packed < size ? InstallReason::ShortStream : InstallReason::LongStream);
    } else {
        if (!c.plain.Reserve(size + 1)) return c.Refuse(InstallReason::None, ERROR_NOT_ENOUGH_MEMORY);
        if (!c.inflater) c.inflater.reset(libdeflate_alloc_decompressor());
        if (!c.inflater) return c.Refuse(InstallReason::None, ERROR_NOT_ENOUGH_MEMORY);
        // Without an actual-size result, a stream that ends short fails, and one that would
        // run past the stored size stops there and fails.
        switch (libdeflate_deflate_decompress(c.inflater.get(), data, packed, c.plain.Data(), size, nullptr)) {
        case LIBDEFLATE_SUCCESS: break;
        case LIBDEFLATE_SHORT_OUTPUT: return c.Refuse(InstallReason::ShortStream);
        case LIBDEFLATE_INSUFFICIENT_SPACE: return c.Refuse(InstallReason::LongStream);
        default: return c.Refuse(InstallReason::DamagedStream);
        }
        data = c.plain.Data();
    }
    if (libdeflate_crc32(0, data, size) != info.crc) return c.Refuse(InstallReason::CrcMismatch);
    return c.transaction.Write(data, size);
}

bool WriteStreamed(Context& c, const unz_file_info64& info) {
    if (!c.plain.Reserve(kStreamChunkBytes)) return c.Refuse(InstallReason::None, ERROR_NOT_ENOUGH_MEMORY);
    uint64_t total = 0;
    for (;;) {
        const int n = unzReadCurrentFile(c.archive, c.plain.Data(), kStreamChunkBytes);
        if (n == UNZ_CRCERROR) return c.Refuse(InstallReason::CrcMismatch);
        if (n < 0) return c.Refuse(InstallReason::DamagedStream);
        if (n == 0) break;
        if (!c.transaction.Write(c.plain.Data(), static_cast<size_t>(n))) return false;
        total += static_cast<uint64_t>(n);
    }
    // A deflate stream may end before the stored size; minizip then skips the CRC check.
    if (total < info.uncompressed_size) return c.Refuse(InstallReason::ShortStream);
    if (total > info.uncompressed_size) return c.Refuse(InstallReason::LongStream);
    return unzCloseCurrentFile(c.archive) == UNZ_OK || c.Refuse(InstallReason::CrcMismatch);
}

// The local header repeats the name, and no CRC covers either copy: a name that differs
// between them is a damaged or crafted archive.
bool LocalNameMatches(Context& c, const char* stored, unsigned length, uint64_t dataOffset) {
    const int localExtra = unzGetLocalExtrafield(c.archive, nullptr, 0);
    if (localExtra < 0 || dataOffset < static_cast<uint64_t>(localExtra) + length) return false;
    const uint64_t at = dataOffset - static_cast<uint64_t>(localExtra) - length;
    return c.Holds(at, length) && memcmp(c.view + at, stored, length) == 0;
}

bool ExtractCurrent(Context& c) {
    unz_file_info64 info{};
    char stored[kStoredNameBytes];
    unsigned char extra[kExtraFieldBytes];
    c.entry = nullptr;
    if (unzGetCurrentFileInfo64(c.archive, &info, stored, kStoredNameBytes, extra, kExtraFieldBytes, nullptr, 0) != UNZ_OK)
        return c.Refuse(InstallReason::DamagedArchive);
    // A name that fills the buffer arrives without its terminator; one with a NUL inside hides its tail.
    if (info.size_filename >= kStoredNameBytes) return c.Refuse(InstallReason::NameTooLong);
    if (strlen(stored) != info.size_filename) return c.Refuse(InstallReason::NameForbiddenCharacter);

    if (c.skipFlag == 1) {
        char lowered[kStoredNameBytes];
        memcpy(lowered, stored, info.size_filename + 1);
        for (char* p = lowered; *p != '\0'; ++p)
            if (*p >= 'A' && *p <= 'Z') *p = static_cast<char>(*p - 'A' + 'a');
        if (strstr(lowered, "icons.dll") != nullptr) return true;
    }

    wchar_t wide[kWideNameChars];
    const unsigned extraLength = info.size_file_extra < kExtraFieldBytes ? static_cast<unsigned>(info.size_file_extra) : kExtraFieldBytes;
    if (!DecodeEntryName(stored, static_cast<unsigned>(info.size_filename), info.flag, info.version, extra, extraLength,
                         wide, kWideNameChars))
        return c.Refuse(InstallReason::NameNotDecodable);
    for (wchar_t* p = wide; *p != L'\0'; ++p)
        if (*p == L'/') *p = L'\\';
    c.entry = wide;
    if (const InstallReason fault = EntryNameFault(wide); fault != InstallReason::None) return c.Refuse(fault);
    if ((info.flag & 1) != 0) return c.Refuse(InstallReason::Encrypted);
    if (info.compression_method != 0 && info.compression_method != Z_DEFLATED) return c.Refuse(InstallReason::UnsupportedMethod);

    // Deflate cannot pack more than 1032 bytes into one: a larger claim is no real entry.
    if (info.compression_method == Z_DEFLATED && info.uncompressed_size / 1032 > info.compressed_size + 64)
        return c.Refuse(InstallReason::TooCompressed);
    const bool whole = info.uncompressed_size <= kWholeEntryLimit && info.compressed_size <= kWholeEntryLimit;
    int method = 0, level = 0;
    if (unzOpenCurrentFile3(c.archive, &method, &level, whole ? 1 : 0, nullptr) != UNZ_OK) {
        unzCloseCurrentFile(c.archive);
        return c.Refuse(InstallReason::DamagedArchive);
    }
    const uint64_t dataOffset = unzGetCurrentFileZStreamPos64(c.archive);
    bool ok = LocalNameMatches(c, stored, static_cast<unsigned>(info.size_filename), dataOffset) ||
              c.Refuse(InstallReason::NameMismatch);

    const wchar_t* last = wide;
    for (const wchar_t* p = wide; *p != L'\0'; ++p)
        if (IsSeparator(*p)) last = p + 1;
    if (ok && *last == L'\0') {
        ok = wide[0] == L'\0' || c.transaction.MakeFolder(wide);
    } else if (ok) {
        if (last != wide) {
            wchar_t folder[kWideNameChars];
            const size_t folderChars = static_cast<size_t>(last - wide);
            wmemcpy(folder, wide, folderChars);
            folder[folderChars] = L'\0';
            ok = c.transaction.MakeFolder(folder);
        }
        ok = ok && c.transaction.BeginFile(wide, static_cast<uint32_t>(info.dosDate));
        ok = ok && (whole ? WriteWhole(c, info, dataOffset) : WriteStreamed(c, info));
        ok = ok && c.transaction.EndFile(static_cast<uint32_t>(info.crc));
    }
    unzCloseCurrentFile(c.archive);
    return ok;
}

} // namespace

int ExtractEntries(unzFile archive, HANDLE archiveFile, InstallTransaction& transaction, int skipFlag,
                   InstallReport* report) {
    // The archive as a whole could not be read: the system says why.
    const auto unreadable = [report]() {
        if (report != nullptr) report->Fail(InstallStep::Checking, nullptr, GetLastError());
        return -1;
    };
    LARGE_INTEGER bytes{};
    if (!GetFileSizeEx(archiveFile, &bytes)) return unreadable();
    fw::unique_hfile mapping(CreateFileMappingW(archiveFile, nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!fw::Valid(mapping)) return unreadable();
    std::unique_ptr<const void, ViewUnmapper> view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view) return unreadable();
    Context c{archive, static_cast<const char*>(view.get()), static_cast<uint64_t>(bytes.QuadPart), transaction,
              skipFlag, nullptr, {}, report};
    unz_global_info64 global{};
    if (unzGetGlobalInfo64(archive, &global) != UNZ_OK) return c.Refuse(InstallReason::DamagedArchive) ? 0 : -1;
    // One output buffer for the largest entry inflated whole, touched once: growing it on
    // the way would fault in fresh pages again and again.
    uint64_t largest = 0;
    for (int status = unzGoToFirstFile(archive); status == UNZ_OK; status = unzGoToNextFile(archive)) {
        unz_file_info64 info{};
        if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
            return c.Refuse(InstallReason::DamagedArchive) ? 0 : -1;
        if (info.compression_method == Z_DEFLATED && info.uncompressed_size <= kWholeEntryLimit &&
            info.compressed_size <= kWholeEntryLimit && info.uncompressed_size > largest)
            largest = info.uncompressed_size;
    }
    if (global.number_entry > 0 && unzGoToFirstFile(archive) != UNZ_OK) return c.Refuse(InstallReason::DamagedArchive) ? 0 : -1;
    if (global.number_entry > 0 && !c.plain.Reserve(static_cast<size_t>(largest) + 1))
        return c.Refuse(InstallReason::None, ERROR_NOT_ENOUGH_MEMORY) ? 0 : -1;
    for (ZPOS64_T i = 0; i < global.number_entry; ++i) {
        if (!ExtractCurrent(c)) return -1;
        if (i + 1 < global.number_entry && unzGoToNextFile(archive) != UNZ_OK) {
            c.entry = nullptr;
            return c.Refuse(InstallReason::DamagedArchive) ? 0 : -1;
        }
    }
    return 0;
}

int ExtractArchiveInto(HANDLE archiveFile, const wchar_t* targetFolder, InstallTransaction& transaction, int skipFlag,
                       InstallReport* report) {
    zlib_filefunc64_def functions;
    FillHandleFileFunctions(&functions);
    unique_unzfile archive(unzOpen2_64(archiveFile, &functions));
    if (!archive) {
        if (report != nullptr) report->Fail(InstallStep::Checking, nullptr, 0, InstallReason::DamagedArchive);
        transaction.Rollback();
        return -1;
    }

    wchar_t previous[kCurrentDirChars] = {};
    DWORD previousChars = GetCurrentDirectoryW(kCurrentDirChars, previous);
    if (previousChars == 0 || previousChars >= kCurrentDirChars) previous[0] = L'\0';
    if (_wchdir(targetFolder) != 0) {
        if (report != nullptr) report->Fail(InstallStep::Preparing, nullptr, GetLastError());
        transaction.Rollback();
        return -1;
    }

    const bool installed = ExtractEntries(archive.get(), archiveFile, transaction, skipFlag, report) == 0 &&
                           transaction.Commit();
    if (!installed) {
        transaction.Rollback();
        // Whoever reports the failure writes relative to where the run started.
        if (previous[0] != L'\0') SetCurrentDirectoryW(previous);
        return -1;
    }
    return 0;
}

int ExtractArchiveFromFile(HANDLE archiveFile, const wchar_t* targetFolder, int skipFlag, InstallReport* report) {
    // The target is resolved once, before the current directory moves: a drive-relative
    // folder would otherwise be taken from the new one.
    InstallTransaction transaction;
    if (!transaction.Begin(targetFolder, report)) return -1;
    return ExtractArchiveInto(archiveFile, targetFolder, transaction, skipFlag, report);
}

int ExtractArchive(const wchar_t* archivePath, const wchar_t* targetFolder, int skipFlag, InstallReport* report) {
    if (archivePath == nullptr) {
        if (report != nullptr) report->Fail(InstallStep::Checking, nullptr, ERROR_INVALID_PARAMETER);
        return -1;
    }
    fw::unique_hfile file(CreateFileW(archivePath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!fw::Valid(file)) {
        if (report != nullptr) report->Fail(InstallStep::Checking, nullptr, GetLastError());
        return -1;
    }
    return ExtractArchiveFromFile(file.get(), targetFolder, skipFlag, report);
}
