// The clean-up after a run that was killed: what it left below a plug-in folder is undone
// from its journal, or finished where it had committed.
#pragma once

#include "payload/InstallReport.h"

// Undoes what a killed run left below folder (a final long-path form ending in a backslash),
// or finishes it where the run had committed; touches nothing but names of the exact shapes
// the setup writes, and never enters a link. False when something could not be undone or
// finished; report, if given, learns what.
bool CleanUpInterruptedRun(const wchar_t* folder, InstallReport* report = nullptr) noexcept;
