// Owning wrappers for the handles the program holds. Null and INVALID_HANDLE_VALUE
// both count as empty, so a failed open never reaches a close call.
#pragma once

#include <windows.h>
#include <shlobj.h>
#include <cstdio>
#include <memory>

namespace fw {

struct HandleCloser {
    using pointer = HANDLE;
    void operator()(HANDLE h) const noexcept {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};
using unique_hfile = std::unique_ptr<void, HandleCloser>;
inline bool Valid(const unique_hfile& h) noexcept {
    return h.get() != nullptr && h.get() != INVALID_HANDLE_VALUE;
}

struct FindCloser {
    using pointer = HANDLE;
    void operator()(HANDLE h) const noexcept {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) FindClose(h);
    }
};
using unique_hfind = std::unique_ptr<void, FindCloser>;

struct KeyCloser {
    void operator()(HKEY k) const noexcept { RegCloseKey(k); }
};
using unique_hkey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

struct FileCloser {
    void operator()(FILE* f) const noexcept { fclose(f); }
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

struct GdiCloser {
    void operator()(HGDIOBJ o) const noexcept { DeleteObject(o); }
};
using unique_hfont = std::unique_ptr<std::remove_pointer_t<HFONT>, GdiCloser>;

struct PidlFreer {
    void operator()(LPITEMIDLIST p) const noexcept { CoTaskMemFree(p); }
};
using unique_pidl = std::unique_ptr<ITEMIDLIST, PidlFreer>;

struct HeapFreer {
    void operator()(void* p) const noexcept { free(p); }
};
template <class T> using unique_malloc = std::unique_ptr<T, HeapFreer>;

// A file that is deleted again unless it was handed over (Release) first.
class TempFile {
public:
    TempFile() = default;
    explicit TempFile(const wchar_t* path) noexcept { Reset(path); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() { Delete(); }

    void Reset(const wchar_t* path) noexcept {
        Delete();
        lstrcpynW(path_, path, MAX_PATH_CHARS);
    }
    const wchar_t* Path() const noexcept { return path_; }
    void Release() noexcept { path_[0] = L'\0'; }
    void Delete() noexcept {
        if (path_[0] != L'\0') DeleteFileW(path_);
        path_[0] = L'\0';
    }

    static constexpr int MAX_PATH_CHARS = 1040;

private:
    wchar_t path_[MAX_PATH_CHARS] = {};
};

} // namespace fw
