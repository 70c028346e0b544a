// Paths below a plug-in folder in their long-path form, bounded and always terminated.
#pragma once

#include <cstddef>

inline constexpr size_t kLongPathChars = 1100;

bool AppendPath(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text, size_t n) noexcept;
bool AppendPath(wchar_t (&path)[kLongPathChars], size_t& length, const wchar_t* text) noexcept;

// folder's full long-path form (\\?\ or \\?\UNC\), ending in a backslash; false when it does
// not fit.
bool LongFolderPath(const wchar_t* folder, wchar_t (&out)[kLongPathChars], size_t& length) noexcept;
