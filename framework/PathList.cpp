#include "framework/PathList.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

namespace fw {

bool PathList::Add(const wchar_t* path) noexcept {
    if (count_ == capacity_) {
        const size_t grown = capacity_ == 0 ? 16 : capacity_ * 2;
        void* items = realloc(items_, grown * sizeof *items_);
        if (items == nullptr) return false;
        items_ = static_cast<wchar_t**>(items);
        capacity_ = grown;
    }
    wchar_t* copy = _wcsdup(path);
    if (copy == nullptr) return false;
    items_[count_++] = copy;
    return true;
}

void PathList::Clear() noexcept {
    for (size_t i = 0; i < count_; ++i) free(items_[i]);
    free(items_);
    items_ = nullptr;
    count_ = capacity_ = 0;
}

} // namespace fw
