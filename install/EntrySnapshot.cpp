#include "install/EntrySnapshot.h"

#include <cstring>
#include <cwchar>

namespace {

uint32_t Le(const unsigned char* p, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void Put(unsigned char* p, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

// The record at offset: its name's characters, type, data; false where it runs past size.
bool Record(const unsigned char* bytes, size_t size, size_t& at, size_t& nameChars, const unsigned char*& name,
            DWORD& type, const unsigned char*& data, DWORD& dataBytes) {
    if (size - at < 2) return false;
    nameChars = Le(bytes + at, 2);
    if (nameChars == 0 || nameChars >= kValueNameChars || size - at - 2 < nameChars * 2 + 8) return false;
    name = bytes + at + 2;
    type = Le(name + nameChars * 2, 4);
    dataBytes = Le(name + nameChars * 2 + 4, 4);
    if (size - at - 2 - nameChars * 2 - 8 < dataBytes) return false;
    data = name + nameChars * 2 + 8;
    at += 2 + nameChars * 2 + 8 + dataBytes;
    return true;
}

} // namespace

bool EntrySnapshot::Add(const wchar_t* name, DWORD type, const void* data, DWORD bytes) noexcept {
    const size_t chars = wcsnlen(name, kValueNameChars);
    const size_t count = Count();
    if (chars == 0 || chars >= kValueNameChars || count >= 0xFFFF) return false;
    if (kSnapshotBytes - size_ < 2 + chars * 2 + 8 || kSnapshotBytes - size_ - 2 - chars * 2 - 8 < bytes) return false;
    unsigned char* p = bytes_ + size_;
    Put(p, static_cast<uint32_t>(chars), 2);
    for (size_t i = 0; i < chars; ++i) Put(p + 2 + i * 2, name[i], 2);
    Put(p + 2 + chars * 2, type, 4);
    Put(p + 2 + chars * 2 + 4, bytes, 4);
    if (bytes > 0) memcpy(p + 2 + chars * 2 + 8, data, bytes);
    size_ += 2 + chars * 2 + 8 + bytes;
    Put(bytes_, static_cast<uint32_t>(count + 1), 2);
    return true;
}

bool EntrySnapshot::AddString(const wchar_t* name, const wchar_t* text) noexcept {
    const size_t chars = wcsnlen(text, kSnapshotBytes);
    return chars < kSnapshotBytes && Add(name, REG_SZ, text, static_cast<DWORD>((chars + 1) * sizeof(wchar_t)));
}

bool EntrySnapshot::AddDword(const wchar_t* name, DWORD value) noexcept {
    return Add(name, REG_DWORD, &value, sizeof value);
}

bool EntrySnapshot::Read(HKEY key) noexcept {
    Clear();
    for (DWORD i = 0;; ++i) {
        wchar_t name[kValueNameChars];
        DWORD nameChars = kValueNameChars, type = 0, bytes = 0;
        LONG status = RegEnumValueW(key, i, name, &nameChars, nullptr, &type, nullptr, &bytes);
        if (status == ERROR_NO_MORE_ITEMS) return true;
        // A name too long for us, or a default value, is not one we could put back.
        if (status != ERROR_SUCCESS || nameChars == 0 || bytes > kSnapshotBytes) return false;
        unsigned char data[kSnapshotBytes];
        nameChars = kValueNameChars;
        status = RegEnumValueW(key, i, name, &nameChars, nullptr, &type, data, &bytes);
        if (status != ERROR_SUCCESS || !Add(name, type, data, bytes)) return false;
    }
}

bool EntrySnapshot::Load(const void* bytes, size_t size) noexcept {
    Clear();
    const unsigned char* p = static_cast<const unsigned char*>(bytes);
    if (size < 2 || size > kSnapshotBytes) return false;
    const size_t count = Le(p, 2);
    size_t at = 2;
    for (size_t i = 0; i < count; ++i) {
        size_t chars;
        const unsigned char *name, *data;
        DWORD type, dataBytes;
        if (!Record(p, size, at, chars, name, type, data, dataBytes)) return false;
        for (size_t c = 0; c < chars; ++c)
            if (Le(name + c * 2, 2) == 0) return false;
    }
    if (at != size) return false;
    memcpy(bytes_, p, size);
    size_ = size;
    return true;
}

bool EntrySnapshot::At(size_t i, wchar_t (&name)[kValueNameChars], DWORD& type, const unsigned char*& data,
                       DWORD& bytes) const noexcept {
    size_t at = 2;
    for (size_t k = 0; k < Count(); ++k) {
        size_t chars;
        const unsigned char* stored;
        if (!Record(bytes_, size_, at, chars, stored, type, data, bytes)) return false;
        if (k != i) continue;
        for (size_t c = 0; c < chars; ++c) name[c] = static_cast<wchar_t>(Le(stored + c * 2, 2));
        name[chars] = L'\0';
        return true;
    }
    return false;
}

bool EntrySnapshot::Find(const wchar_t* wanted, DWORD& type, const unsigned char*& data, DWORD& bytes) const noexcept {
    wchar_t name[kValueNameChars];
    for (size_t i = 0; At(i, name, type, data, bytes); ++i)
        if (_wcsicmp(name, wanted) == 0) return true;
    return false;
}

bool EntrySnapshot::String(const wchar_t* name, wchar_t* out, size_t chars) const noexcept {
    DWORD type = 0, bytes = 0;
    const unsigned char* data = nullptr;
    if (!Find(name, type, data, bytes) || type != REG_SZ) return false;
    const size_t stored = bytes / sizeof(wchar_t);
    size_t n = 0;
    while (n < stored && Le(data + n * 2, 2) != 0) ++n;
    if (n >= chars) return false;
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<wchar_t>(Le(data + i * 2, 2));
    out[n] = L'\0';
    return true;
}
