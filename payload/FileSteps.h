// Single steps on files that the transaction and the clean-up after a killed run share.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>

#include "payload/LongPath.h"

bool Gone(DWORD error) noexcept;
// True when nothing at all stands at path (neither file, folder nor link).
bool IsNameFree(const wchar_t* path) noexcept;

// One request where a move by name takes three; the handle then knows its new name. Never
// replaces what stands at path.
bool RenameHandle(HANDLE file, const wchar_t* path) noexcept;
bool DeleteHandle(HANDLE file) noexcept;

// Moves file, open at path with delete access, out of its name to a spent one beside it, which
// the next run deletes: that frees the name even while somebody reads the file with delete
// sharing, or has it loaded, where a delete would not.
bool MoveToSpentName(HANDLE file, const wchar_t* path) noexcept;

// The file's ID on its volume (the whole tree is on one: a mount point is a reparse point,
// which is never entered).
bool FileIdOf(HANDLE file, uint64_t& index) noexcept;

// Room for one more item in a malloc'd array, doubling from first; false when there is none.
template <class T>
bool Grow(T*& items, size_t count, size_t& capacity, size_t first) noexcept {
    if (count < capacity) return true;
    const size_t grown = capacity == 0 ? first : capacity * 2;
    void* more = realloc(items, grown * sizeof *items);
    if (more == nullptr) return false;
    items = static_cast<T*>(more);
    capacity = grown;
    return true;
}
