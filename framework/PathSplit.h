// A path split as the runtime's _wsplitpath does it, with its limits: at most 255
// characters each of directory, file name and extension, else no parts at all.
#pragma once

namespace fw {
// drive: at most "X:"; directory: up to and including the last '\' or '/'. False, with
// both empty, when a part is too long.
bool SplitPath(const wchar_t* path, wchar_t (&drive)[3], wchar_t (&directory)[256]) noexcept;
bool SplitPathDrive(const wchar_t* path, wchar_t (&drive)[3]) noexcept;
} // namespace fw
