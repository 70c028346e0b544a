#include "payload/Journal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "libdeflate.h"
#include "payload/FileSteps.h"
#include "payload/Payload.h"

namespace {

constexpr unsigned char kMagic[8] = {'Z', 'L', 'J', '2', 0, 0, 0, 0};
// The earlier setup's journal: no seals, no sizes. Still read, so that a run of it that was
// killed is undone or finished by this one.
constexpr unsigned char kEarlierMagic[8] = {'Z', 'L', 'J', '1', 0, 0, 0, 0};
constexpr DWORD kJournalLimit = 16u << 20;

struct SealedHead {
    unsigned char kind;
    unsigned char zero;
    uint16_t chars;
    uint32_t stateBytes;
    uint64_t placedId, placedSize, oldId, oldSize;
    uint32_t placedCrc;
    uint32_t seal;  // CRC-32 of the record with this field zero, chained from the previous seal
};
static_assert(sizeof(SealedHead) == 48, "the journal's layout");

struct EarlierHead {
    unsigned char kind;
    unsigned char zero;
    uint16_t chars;
    uint32_t reserved;
    uint64_t index;
};
static_assert(sizeof(EarlierHead) == 16, "the earlier journal's layout");

uint32_t Seal(uint32_t previous, const unsigned char* record, size_t bytes) {
    constexpr size_t sealAt = offsetof(SealedHead, seal);
    const uint32_t zero = 0;
    uint32_t crc = libdeflate_crc32(previous, record, sealAt);
    crc = libdeflate_crc32(crc, &zero, sizeof zero);
    return libdeflate_crc32(crc, record + sizeof(SealedHead), bytes - sizeof(SealedHead));
}

bool AllZero(const unsigned char* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (p[i] != 0) return false;
    return true;
}

// A name the setup could have written: below the target, no link-shaped tricks, no NUL inside.
bool IsRecordName(const wchar_t* name, size_t chars) {
    return chars > 0 && wcslen(name) == chars && IsSafeEntryName(name) && wcschr(name, L'/') == nullptr &&
           name[chars - 1] != L'\\';
}

bool IsTag(const wchar_t* tag, size_t chars) {
    if (chars == 0 || chars >= kCompanionTagChars || wcslen(tag) != chars) return false;
    for (size_t i = 0; i < chars; ++i) {
        const wchar_t c = tag[i];
        if (!((c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.')) return false;
    }
    return true;
}

} // namespace

JournalWriter::~JournalWriter() { free(records_); }

bool JournalWriter::Reserve(size_t bytes) noexcept {
    if (recordBytes_ + bytes <= recordCapacity_) return true;
    const size_t grown = (recordCapacity_ == 0 ? 4096 : recordCapacity_ * 2) + bytes;
    void* records = realloc(records_, grown);
    if (records == nullptr) return false;
    records_ = static_cast<unsigned char*>(records);
    recordCapacity_ = grown;
    return true;
}

bool JournalWriter::Start() noexcept {
    recordBytes_ = writtenBytes_ = 0;
    if (!Reserve(sizeof kMagic)) return false;
    memcpy(records_, kMagic, sizeof kMagic);
    recordBytes_ = sizeof kMagic;
    seal_ = libdeflate_crc32(0, kMagic, sizeof kMagic);
    return true;
}

bool JournalWriter::Add(JournalKind kind, const wchar_t* name, const FileIdentity& placed, const FileIdentity& old,
                        const void* state, size_t stateBytes) noexcept {
    if (recordBytes_ == 0) return false;
    const size_t chars = name != nullptr ? wcslen(name) : 0;
    if (chars >= kRecordNameChars || (kind != kComplete && chars == 0) || stateBytes > kCompanionStateLimit ||
        (kind == kCompanion && !IsTag(name, chars)))
        return false;
    const size_t bytes = sizeof(SealedHead) + chars * sizeof(wchar_t) + stateBytes;
    if (!Reserve(bytes)) return false;
    unsigned char* record = records_ + recordBytes_;
    SealedHead head{};
    head.kind = kind;
    head.chars = static_cast<uint16_t>(chars);
    head.stateBytes = static_cast<uint32_t>(stateBytes);
    head.placedId = placed.id;
    head.placedSize = placed.size;
    head.placedCrc = placed.crc;
    head.oldId = old.id;
    head.oldSize = old.size;
    memcpy(record, &head, sizeof head);
    if (chars > 0) memcpy(record + sizeof head, name, chars * sizeof(wchar_t));
    if (stateBytes > 0) memcpy(record + sizeof head + chars * sizeof(wchar_t), state, stateBytes);
    seal_ = Seal(seal_, record, bytes);
    memcpy(record + offsetof(SealedHead, seal), &seal_, sizeof seal_);
    recordBytes_ += bytes;
    return true;
}

bool JournalWriter::WriteOut(HANDLE file) noexcept {
    if (writtenBytes_ == recordBytes_) return true;
    DWORD written = 0;
    const DWORD bytes = static_cast<DWORD>(recordBytes_ - writtenBytes_);
    if (!WriteFile(file, records_ + writtenBytes_, bytes, &written, nullptr) || written != bytes) return false;
    writtenBytes_ = recordBytes_;
    return true;
}

JournalBytes::~JournalBytes() {
    free(bytes_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
}

bool JournalBytes::Read(const wchar_t* path, bool& present, DWORD& error) noexcept {
    present = false;
    free(bytes_);
    bytes_ = nullptr;
    size_ = 0;
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    // Held until the clean-up is done with it: nobody writes, renames or deletes it meanwhile.
    file_ = CreateFileW(path, GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        if (Gone(error)) return true;
        // A folder there may be held by the clean-up's own walk.
        const DWORD attributes = GetFileAttributesW(path);
        present = true;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) error = ERROR_DIRECTORY;
        return false;
    }
    present = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file_, &info)) {
        error = GetLastError();
        return false;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
        error = ERROR_DIRECTORY;
        return false;
    }
    if (info.nFileSizeHigh != 0 || info.nFileSizeLow > kJournalLimit) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    size_ = info.nFileSizeLow;
    bytes_ = static_cast<unsigned char*>(malloc(size_ + 1));
    DWORD read = 0;
    if (bytes_ == nullptr || !ReadFile(file_, bytes_, size_, &read, nullptr) || read != size_) {
        error = bytes_ == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        return false;
    }
    return true;
}

JournalRecords::~JournalRecords() { free(starts_); }

bool JournalRecords::Keep(size_t at) noexcept {
    if (!Grow(starts_, count_, capacity_, 64)) return false;
    starts_[count_++] = at;
    return true;
}

bool JournalRecords::Parse(const unsigned char* bytes, DWORD size) noexcept {
    free(starts_);
    starts_ = nullptr;
    count_ = capacity_ = 0;
    complete_ = false;
    bytes_ = bytes;
    // Cut by a kill within the magic, or lost with the power before it reached the disk.
    if (size < sizeof kMagic)
        return AllZero(bytes, size) || memcmp(bytes, kMagic, size) == 0 || memcmp(bytes, kEarlierMagic, size) == 0;
    if (AllZero(bytes, sizeof kMagic)) return true;
    if (memcmp(bytes, kMagic, sizeof kMagic) == 0) {
        sealed_ = true;
        return ParseSealed(size);
    }
    if (memcmp(bytes, kEarlierMagic, sizeof kMagic) == 0) {
        sealed_ = false;
        return ParseEarlier(size);
    }
    return false;
}

bool JournalRecords::ParseSealed(DWORD size) noexcept {
    uint32_t seal = libdeflate_crc32(0, kMagic, sizeof kMagic);
    for (size_t at = sizeof kMagic; size - at >= sizeof(SealedHead);) {
        SealedHead head;
        memcpy(&head, bytes_ + at, sizeof head);
        const size_t bytes = sizeof head + static_cast<size_t>(head.chars) * sizeof(wchar_t) + head.stateBytes;
        if (head.chars >= kRecordNameChars || head.stateBytes > kCompanionStateLimit || size - at < bytes) break;
        if (Seal(seal, bytes_ + at, bytes) != head.seal) break;  // never reached the disk whole
        seal = head.seal;
        JournalRecord record;
        if (!Keep(at) || !At(count_ - 1, record)) return false;
        if (record.kind == kComplete) complete_ = true;
        at += bytes;
    }
    return true;
}

bool JournalRecords::ParseEarlier(DWORD size) noexcept {
    for (size_t at = sizeof kMagic; size - at >= sizeof(EarlierHead);) {
        EarlierHead head;
        memcpy(&head, bytes_ + at, sizeof head);
        if (head.kind < kFolderMade || head.kind > kRemovedFile || head.zero != 0 || head.chars == 0 ||
            head.chars >= kRecordNameChars)
            return false;
        const size_t bytesOfName = static_cast<size_t>(head.chars) * sizeof(wchar_t);
        if (size - at - sizeof head < bytesOfName) break;  // cut by a kill
        JournalRecord record;
        if (!Keep(at) || !At(count_ - 1, record)) return false;
        at += sizeof head + bytesOfName;
    }
    return true;
}

bool JournalRecords::At(size_t i, JournalRecord& record) const noexcept {
    if (i >= count_) return false;
    const unsigned char* p = bytes_ + starts_[i];
    record = JournalRecord{};
    size_t chars = 0;
    if (sealed_) {
        SealedHead head;
        memcpy(&head, p, sizeof head);
        if (head.kind < kFolderMade || head.kind > kComplete || head.zero != 0) return false;
        record.kind = static_cast<JournalKind>(head.kind);
        record.placed = FileIdentity{head.placedId, head.placedSize, head.placedCrc};
        record.old = FileIdentity{head.oldId, head.oldSize, 0};
        record.hasSizes = true;
        chars = head.chars;
        memcpy(record.name, p + sizeof head, chars * sizeof(wchar_t));
        record.name[chars] = L'\0';
        record.state = p + sizeof head + chars * sizeof(wchar_t);
        record.stateBytes = head.stateBytes;
        if (record.kind == kComplete) return chars == 0 && head.stateBytes == 0;
        if (record.kind == kCompanion) return IsTag(record.name, chars);
        if (head.stateBytes != 0) return false;
    } else {
        EarlierHead head;
        memcpy(&head, p, sizeof head);
        record.kind = static_cast<JournalKind>(head.kind);
        record.placed.id = head.index;
        chars = head.chars;
        memcpy(record.name, p + sizeof head, chars * sizeof(wchar_t));
        record.name[chars] = L'\0';
    }
    return IsRecordName(record.name, chars);
}
