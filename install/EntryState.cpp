#include "install/EntryState.h"

#include <cstring>
#include <cwchar>

namespace {

constexpr unsigned char kMagic[4] = {'Z', 'L', 'E', '1'};

class Writer {
public:
    explicit Writer(unsigned char (&bytes)[kEntryStateBytes]) : bytes_(bytes) {}
    bool Raw(const void* data, size_t n) {
        if (kEntryStateBytes - size_ < n) return ok_ = false;
        if (n > 0) memcpy(bytes_ + size_, data, n);
        size_ += n;
        return ok_;
    }
    bool U8(unsigned v) { return Raw(&v, 1); }  // little-endian machine
    bool U32(uint32_t v) { return Raw(&v, 4); }
    bool Text(const wchar_t* text, size_t limit) {
        const size_t chars = wcsnlen(text, limit);
        if (chars >= limit) return ok_ = false;
        const uint16_t n = static_cast<uint16_t>(chars);
        return Raw(&n, 2) && Raw(text, chars * sizeof(wchar_t));
    }
    bool Snapshot(const EntrySnapshot* s) {
        return s == nullptr ? U32(0) : U32(static_cast<uint32_t>(s->Size())) && Raw(s->Bytes(), s->Size());
    }
    size_t Size() const { return size_; }
    bool Ok() const { return ok_; }

private:
    unsigned char* bytes_;
    size_t size_ = 0;
    bool ok_ = true;
};

class Reader {
public:
    Reader(const void* bytes, size_t size) : bytes_(static_cast<const unsigned char*>(bytes)), size_(size) {}
    bool Raw(void* out, size_t n) {
        if (size_ - at_ < n) return false;
        if (n > 0) memcpy(out, bytes_ + at_, n);
        at_ += n;
        return true;
    }
    bool U8(unsigned& v) {
        unsigned char b = 0;
        if (!Raw(&b, 1)) return false;
        v = b;
        return true;
    }
    bool U32(uint32_t& v) { return Raw(&v, 4); }
    bool Text(wchar_t* out, size_t limit) {
        uint16_t n = 0;
        if (!Raw(&n, 2) || n >= limit || !Raw(out, n * sizeof(wchar_t))) return false;
        out[n] = L'\0';
        return wcslen(out) == n;
    }
    bool Snapshot(EntrySnapshot& s, bool wanted) {
        uint32_t n = 0;
        if (!U32(n) || size_ - at_ < n) return false;
        if (!wanted) return n == 0;
        const bool loaded = s.Load(bytes_ + at_, n);
        at_ += n;
        return loaded;
    }
    bool AtEnd() const { return at_ == size_; }

private:
    const unsigned char* bytes_;
    size_t size_, at_ = 0;
};

} // namespace

bool SaveEntryState(const EntryState& state, unsigned char (&bytes)[kEntryStateBytes], size_t& size) noexcept {
    Writer w(bytes);
    w.Raw(kMagic, 4);
    w.U8(static_cast<unsigned>(state.change));
    w.U8(static_cast<unsigned>(state.hive));
    w.U8(state.hadEntry ? 1 : 0);
    w.U8(0);
    w.Text(state.key, kEntryKeyChars);
    w.Text(state.copy, kCopyPathChars);
    w.Snapshot(state.hadEntry ? &state.previous : nullptr);
    w.Snapshot(state.change == EntryChange::Install ? &state.next : nullptr);
    size = w.Size();
    return w.Ok();
}

bool LoadEntryState(const void* bytes, size_t size, EntryState& state) noexcept {
    Reader r(bytes, size);
    unsigned char magic[4];
    unsigned change = 0, hive = 0, had = 0, zero = 1;
    if (!r.Raw(magic, 4) || memcmp(magic, kMagic, 4) != 0 || !r.U8(change) || !r.U8(hive) || !r.U8(had) ||
        !r.U8(zero) || zero != 0 || (change != 1 && change != 2) || (hive != 1 && hive != 2) || had > 1)
        return false;
    state.change = static_cast<EntryChange>(change);
    state.hive = static_cast<EntryHive>(hive);
    state.hadEntry = had == 1;
    state.previous.Clear();
    state.next.Clear();
    const bool install = state.change == EntryChange::Install;
    // An empty key: a removal that found no entry.
    const bool keyOk = r.Text(state.key, kEntryKeyChars) &&
                       (IsEntryKeyName(state.key) || (state.key[0] == L'\0' && !install && !state.hadEntry));
    return keyOk && r.Text(state.copy, kCopyPathChars) &&
           (install || state.copy[0] == L'\0') &&
           r.Snapshot(state.previous, state.hadEntry) && r.Snapshot(state.next, install) && r.AtEnd();
}
