#pragma once

// Makes sure the folder exists, creating each missing level from the drive down.
// path must have room for one more character: it gains a trailing backslash.
// 1: it existed or every creation ran without a missing parent; 0: no drive, a split
// that fails, or a level whose parent is missing.
int CreateDirectoryPath(wchar_t* path) noexcept;
