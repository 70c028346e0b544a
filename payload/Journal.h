// The journal a run keeps in the plug-in folder: what it made and what it put in place or
// took away, so that the next run can undo or finish it after a kill. A magic, then records
// of a fixed head and a name below the target, in the order the run made them. Only whole
// records count: a tail cut by a kill is ignored.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

enum JournalKind : unsigned char { kFolderMade = 1, kNewFile = 2, kReplacedFile = 3, kRemovedFile = 4 };

struct RecordHead {
    unsigned char kind;
    unsigned char zero;
    uint16_t chars;
    uint32_t reserved;
    uint64_t index;  // the file ID of the file the run put in place (or, removing, took away)
};
static_assert(sizeof(RecordHead) == 16, "the journal's layout");

inline constexpr size_t kRecordNameChars = MAX_PATH * 2;

// The records of a run, kept in memory and written out in order.
class JournalWriter {
public:
    JournalWriter() = default;
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    ~JournalWriter();

    // Starts over with the magic alone.
    bool Start() noexcept;
    bool Add(JournalKind kind, const wchar_t* relative, uint64_t index) noexcept;
    // Appends to file what it has not been given yet.
    bool WriteOut(HANDLE file) noexcept;

private:
    bool Reserve(size_t bytes) noexcept;
    unsigned char* records_ = nullptr;
    size_t recordBytes_ = 0, recordCapacity_ = 0, writtenBytes_ = 0;
};

// A journal's bytes, read whole.
class JournalBytes {
public:
    JournalBytes() = default;
    JournalBytes(const JournalBytes&) = delete;
    JournalBytes& operator=(const JournalBytes&) = delete;
    ~JournalBytes();

    // False where it stands but cannot be read as one; present tells whether anything stands.
    bool Read(const wchar_t* path, bool& present, DWORD& error) noexcept;
    const unsigned char* Data() const noexcept { return bytes_; }
    DWORD Size() const noexcept { return size_; }

private:
    unsigned char* bytes_ = nullptr;
    DWORD size_ = 0;
};

// The records of a journal, every one checked before any is handed out.
class JournalRecords {
public:
    JournalRecords() = default;
    JournalRecords(const JournalRecords&) = delete;
    JournalRecords& operator=(const JournalRecords&) = delete;
    ~JournalRecords();

    // False for a journal the setup never writes: a record of an unknown kind, a name that
    // could not stand below the folder. bytes must outlive this object.
    bool Parse(const unsigned char* bytes, DWORD size) noexcept;
    size_t Count() const noexcept { return count_; }
    // The i-th record's head and its name below the target.
    bool At(size_t i, RecordHead& head, wchar_t (&name)[kRecordNameChars]) const noexcept;

private:
    const unsigned char* bytes_ = nullptr;
    size_t* starts_ = nullptr;
    size_t count_ = 0;
};
