// A folder opened as itself, never through a link, and held so that neither it nor a folder
// above it can be renamed, deleted or swapped for a link until the handle closes.
#pragma once

#include <windows.h>

#include "framework/Handles.h"

// Opens path (a long-path form, no trailing backslash) as itself and checks it: a folder,
// no reparse point, and its final path is path itself (in any case; a Unix link under Wine
// shows up here). false with error set: the system's code, or ERROR_UNTRUSTED_MOUNT_POINT
// where the folder is a link or is not where it should be.
bool HoldFolder(const wchar_t* path, fw::unique_hfile& held, DWORD& error) noexcept;

// The final path of an open file or folder, as the system resolves it; false where it has none
// or it does not fit.
bool FinalPathOf(HANDLE handle, wchar_t* path, DWORD chars) noexcept;

// True when handle's final path is expected (in any case).
bool IsAt(HANDLE handle, const wchar_t* expected) noexcept;

// Removes the folder at path (a long-path form, no trailing backslash) where it is empty, as
// itself: a link there, or a path that a link above it leads elsewhere, is left alone.
bool RemoveEmptyFolder(const wchar_t* path) noexcept;

#ifndef ERROR_UNTRUSTED_MOUNT_POINT
#define ERROR_UNTRUSTED_MOUNT_POINT 448L
#endif
