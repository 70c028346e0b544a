#pragma once

namespace fw { class PathList; }

// Makes sure the folder exists, creating each missing level from the drive down.
// path must have room for one more character: it gains a trailing backslash.
// 1: it existed or every creation ran without a missing parent; 0: no drive, a split
// that fails, or a level whose parent is missing. Every level it creates is added to
// created, if given, so that a failed install can remove them again.
int CreateDirectoryPath(wchar_t* path, fw::PathList* created = nullptr) noexcept;
