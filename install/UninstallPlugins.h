#pragma once

#include <windows.h>

// Busy: as for an install, a later run may succeed.
enum class UninstallOutcome { Removed, Failed, Busy };

// A message of the removal: a box with the caption and style, or when silent a log entry.
void ReportRemoval(UINT id, const wchar_t* caption, UINT style, bool silent) noexcept;

// Removes the pack from pluginsFolder (ending in a backslash) and reports the outcome: a
// message box with the caption, or when silent a log entry (the success only when
// logSuccess is set, as a "/log=" log asks for).
UninstallOutcome UninstallPlugins(const wchar_t* pluginsFolder, const wchar_t* caption, bool silent,
                                  bool logSuccess) noexcept;
