// The destination folder as typed: blanks trimmed, and whether the path has a drive.
#pragma once

// In place on a text held in 260 characters: trailing blanks, then leading ones (U+0020 only).
void TrimFolderText(wchar_t* text) noexcept;

// True when _wsplitpath would give the folder a drive: "X:" first, no part too long.
bool HasDrive(const wchar_t* folder) noexcept;
