// The drive of a path as the runtime's _wsplitpath gives it, with its limits: at most
// 255 characters each of directory, file name and extension, else no parts at all.
#pragma once

namespace fw {
// drive receives at most two characters and a terminator; false when the split fails.
bool SplitPathDrive(const wchar_t* path, wchar_t (&drive)[3]) noexcept;
} // namespace fw
