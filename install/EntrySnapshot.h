// The values of one registry key, held in a fixed buffer in a form that can be kept in the
// journal: what an Apps & Features entry held before a run changed it, or what it holds after,
// so that either can be put back exactly.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

inline constexpr size_t kSnapshotBytes = 12 * 1024;
inline constexpr size_t kValueNameChars = 256;

class EntrySnapshot {
public:
    void Clear() noexcept { size_ = 2, bytes_[0] = bytes_[1] = 0; }
    bool Add(const wchar_t* name, DWORD type, const void* data, DWORD bytes) noexcept;
    bool AddString(const wchar_t* name, const wchar_t* text) noexcept;
    bool AddDword(const wchar_t* name, DWORD value) noexcept;

    // Every value of the open key; false when one does not fit or cannot be read.
    bool Read(HKEY key) noexcept;
    // Takes bytes that Bytes() gave, checking every length; false (and empty) otherwise.
    bool Load(const void* bytes, size_t size) noexcept;

    size_t Count() const noexcept { return static_cast<size_t>(bytes_[0] | (bytes_[1] << 8)); }
    bool At(size_t i, wchar_t (&name)[kValueNameChars], DWORD& type, const unsigned char*& data,
            DWORD& bytes) const noexcept;
    bool Find(const wchar_t* name, DWORD& type, const unsigned char*& data, DWORD& bytes) const noexcept;
    // A REG_SZ value, terminated within out; false when missing, of another type or too long.
    bool String(const wchar_t* name, wchar_t* out, size_t chars) const noexcept;

    const unsigned char* Bytes() const noexcept { return bytes_; }
    size_t Size() const noexcept { return size_; }

private:
    unsigned char bytes_[kSnapshotBytes] = {};
    size_t size_ = 2;
};
