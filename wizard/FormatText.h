#pragma once
#include <cstddef>

// Formats a text whose only conversions are %s (wide strings, taken in order) and %%,
// as the page's templates are; cut to fit and always terminated.
void FormatStrings(const wchar_t* format, const wchar_t* const* args, int count, wchar_t* out, size_t outChars) noexcept;
