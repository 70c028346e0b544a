#include "payload/Journal.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "framework/Handles.h"
#include "payload/FileSteps.h"
#include "payload/Payload.h"

namespace {

constexpr unsigned char kJournalMagic[8] = {'Z', 'L', 'J', '1', 0, 0, 0, 0};
constexpr DWORD kJournalLimit = 16u << 20;

// A record's name, checked as one the setup could have written: below the target, no
// link-shaped tricks, no NUL inside.
bool RecordName(const unsigned char* bytes, size_t at, const RecordHead& head, wchar_t (&name)[kRecordNameChars]) {
    memcpy(name, bytes + at + sizeof head, static_cast<size_t>(head.chars) * sizeof(wchar_t));
    name[head.chars] = L'\0';
    return wcslen(name) == head.chars && IsSafeEntryName(name) && wcschr(name, L'/') == nullptr &&
           name[head.chars - 1] != L'\\';
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
    if (!Reserve(sizeof kJournalMagic)) return false;
    memcpy(records_, kJournalMagic, sizeof kJournalMagic);
    recordBytes_ = sizeof kJournalMagic;
    return true;
}

bool JournalWriter::Add(JournalKind kind, const wchar_t* relative, uint64_t index) noexcept {
    const size_t chars = relative != nullptr ? wcslen(relative) : 0;
    if (chars == 0 || chars >= kRecordNameChars) return false;
    const size_t bytes = sizeof(RecordHead) + chars * sizeof(wchar_t);
    if (!Reserve(bytes)) return false;
    const RecordHead head{kind, 0, static_cast<uint16_t>(chars), 0, index};
    memcpy(records_ + recordBytes_, &head, sizeof head);
    memcpy(records_ + recordBytes_ + sizeof head, relative, chars * sizeof(wchar_t));
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

JournalBytes::~JournalBytes() { free(bytes_); }

bool JournalBytes::Read(const wchar_t* path, bool& present, DWORD& error) noexcept {
    present = false;
    free(bytes_);
    bytes_ = nullptr;
    size_ = 0;
    fw::unique_hfile file(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!fw::Valid(file)) {
        error = GetLastError();
        return Gone(error);
    }
    present = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(file.get(), &info)) {
        error = GetLastError();
        return false;
    }
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 || info.nFileSizeHigh != 0 ||
        info.nFileSizeLow > kJournalLimit) {
        error = ERROR_INVALID_DATA;
        return false;
    }
    size_ = info.nFileSizeLow;
    bytes_ = static_cast<unsigned char*>(malloc(size_ + 1));
    DWORD read = 0;
    if (bytes_ == nullptr || !ReadFile(file.get(), bytes_, size_, &read, nullptr) || read != size_) {
        error = bytes_ == nullptr ? ERROR_NOT_ENOUGH_MEMORY : GetLastError();
        return false;
    }
    return true;
}

JournalRecords::~JournalRecords() { free(starts_); }

bool JournalRecords::Parse(const unsigned char* bytes, DWORD size) noexcept {
    free(starts_);
    starts_ = nullptr;
    count_ = 0;
    bytes_ = bytes;
    // Cut by a kill before the first record was written: nothing to do.
    if (size < sizeof kJournalMagic) return memcmp(bytes, kJournalMagic, size) == 0;
    if (memcmp(bytes, kJournalMagic, sizeof kJournalMagic) != 0) return false;
    // Forward once to check every record and count them; then their starts are kept, so
    // that the records can be visited in either order.
    size_t count = 0;
    for (size_t at = sizeof kJournalMagic; size - at >= sizeof(RecordHead);) {
        RecordHead head;
        memcpy(&head, bytes + at, sizeof head);
        if (head.kind < kFolderMade || head.kind > kRemovedFile || head.zero != 0 || head.chars == 0 ||
            head.chars >= kRecordNameChars)
            return false;
        const size_t bytesOfName = static_cast<size_t>(head.chars) * sizeof(wchar_t);
        if (size - at - sizeof head < bytesOfName) break;  // cut by a kill
        wchar_t name[kRecordNameChars];
        if (!RecordName(bytes, at, head, name)) return false;
        at += sizeof head + bytesOfName;
        ++count;
    }
    starts_ = static_cast<size_t*>(malloc((count + 1) * sizeof(size_t)));
    if (starts_ == nullptr) return false;
    size_t at = sizeof kJournalMagic;
    for (size_t i = 0; i < count; ++i) {
        starts_[i] = at;
        RecordHead head;
        memcpy(&head, bytes + at, sizeof head);
        at += sizeof head + static_cast<size_t>(head.chars) * sizeof(wchar_t);
    }
    count_ = count;
    return true;
}

bool JournalRecords::At(size_t i, RecordHead& head, wchar_t (&name)[kRecordNameChars]) const noexcept {
    if (i >= count_) return false;
    memcpy(&head, bytes_ + starts_[i], sizeof head);
    return RecordName(bytes_, starts_[i], head, name);
}
