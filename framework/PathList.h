// Paths collected on the way, for undoing what a run created. Never throws: a path that
// cannot be kept makes Add fail, and the caller treats that as a failed step.
#pragma once
#include <cstddef>

namespace fw {

class PathList {
public:
    PathList() = default;
    PathList(const PathList&) = delete;
    PathList& operator=(const PathList&) = delete;
    ~PathList() { Clear(); }

    bool Add(const wchar_t* path) noexcept;
    size_t Count() const noexcept { return count_; }
    const wchar_t* At(size_t i) const noexcept { return items_[i]; }
    void Clear() noexcept;

private:
    wchar_t** items_ = nullptr;
    size_t count_ = 0, capacity_ = 0;
};

} // namespace fw
