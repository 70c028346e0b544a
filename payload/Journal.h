// The journal a run keeps in the plug-in folder: what it made and what it put in place or
// took away, so that the next run can undo or finish it after a kill or a power cut. A magic,
// then records in the order the run made them, each sealed with a CRC-32 chained from the one
// before. Only a sealed prefix counts: a tail cut by a kill, or lost with the power (zeros, or
// cut off), is data no step depended on, since every step waits for its records to be on the
// disk. A record that is sealed but could not have been written by the setup (an unknown kind,
// a name that could not stand below the folder) makes the journal foreign.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

enum JournalKind : unsigned char {
    kFolderMade = 1,
    kNewFile = 2,       // a file put where none stood
    kReplacedFile = 3,  // a file put in place of an old one, which was moved to its backup name
    kRemovedFile = 4,   // a removal's file, moved to its backup name
    kCompanion = 5,     // a step outside the folder that commits with the pack: a tag and a state
    kComplete = 6,      // every record of the run is before this one
};

// What tells a file for the one the run put in place (or took away): its ID, and where the
// file system's IDs cannot be trusted alone, its size and CRC-32.
struct FileIdentity {
    uint64_t id = 0;
    uint64_t size = 0;
    uint32_t crc = 0;
};

inline constexpr size_t kRecordNameChars = MAX_PATH * 2;
inline constexpr size_t kCompanionTagChars = 32;
inline constexpr size_t kCompanionStateLimit = 32u << 10;

struct JournalRecord {
    JournalKind kind = kComplete;
    FileIdentity placed;  // the new file; for a removal the file taken away
    FileIdentity old;     // a replaced file's old file
    bool hasSizes = false;  // written by a setup that recorded sizes and CRC-32s
    wchar_t name[kRecordNameChars] = {};  // below the target; a companion's tag
    const unsigned char* state = nullptr;  // a companion's, inside the journal's bytes
    size_t stateBytes = 0;
};

// The records of a run, kept in memory and written out in order.
class JournalWriter {
public:
    JournalWriter() = default;
    JournalWriter(const JournalWriter&) = delete;
    JournalWriter& operator=(const JournalWriter&) = delete;
    ~JournalWriter();

    // Starts over with the magic alone.
    bool Start() noexcept;
    bool Add(JournalKind kind, const wchar_t* name, const FileIdentity& placed = {}, const FileIdentity& old = {},
             const void* state = nullptr, size_t stateBytes = 0) noexcept;
    // Appends to file what it has not been given yet; the caller flushes.
    bool WriteOut(HANDLE file) noexcept;

private:
    bool Reserve(size_t bytes) noexcept;
    unsigned char* records_ = nullptr;
    size_t recordBytes_ = 0, recordCapacity_ = 0, writtenBytes_ = 0;
    uint32_t seal_ = 0;
};

// A journal's bytes, read whole, through a handle that is kept so that the journal can be
// deleted as the very file that was read.
class JournalBytes {
public:
    JournalBytes() = default;
    JournalBytes(const JournalBytes&) = delete;
    JournalBytes& operator=(const JournalBytes&) = delete;
    ~JournalBytes();

    // False where it stands but cannot be read as one; present tells whether anything
    // stands. error is the system's code, or ERROR_DIRECTORY for a folder or a link at the name.
    bool Read(const wchar_t* path, bool& present, DWORD& error) noexcept;
    const unsigned char* Data() const noexcept { return bytes_; }
    DWORD Size() const noexcept { return size_; }
    HANDLE File() const noexcept { return file_; }

private:
    unsigned char* bytes_ = nullptr;
    DWORD size_ = 0;
    HANDLE file_ = INVALID_HANDLE_VALUE;
};

// The sealed records of a journal, every one checked before any is handed out.
class JournalRecords {
public:
    JournalRecords() = default;
    JournalRecords(const JournalRecords&) = delete;
    JournalRecords& operator=(const JournalRecords&) = delete;
    ~JournalRecords();

    // False for a journal the setup never writes. bytes must outlive this object.
    bool Parse(const unsigned char* bytes, DWORD size) noexcept;
    size_t Count() const noexcept { return count_; }
    // Whether the run's last record (kComplete) is among them.
    bool Complete() const noexcept { return complete_; }
    bool At(size_t i, JournalRecord& record) const noexcept;

private:
    bool ParseSealed(DWORD size) noexcept;
    bool ParseEarlier(DWORD size) noexcept;
    bool Keep(size_t at) noexcept;
    const unsigned char* bytes_ = nullptr;
    size_t* starts_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
    bool sealed_ = true, complete_ = false;
};
