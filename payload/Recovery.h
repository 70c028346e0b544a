// The clean-up after a run that was killed, or lost its power: what it left below a plug-in
// folder is undone from its journal, or finished where it had committed. In two phases: first
// every name it will delete, rename or put back is opened and checked, and held so that nobody
// can write, rename or delete it; only when all of them are held does anything change.
#pragma once

#include <cstddef>

#include "payload/InstallReport.h"

class StepDeadline;

// How the next run undoes (committed false) or finishes (committed true) a step outside the
// folder that committed with the pack, from the state its run kept in the journal. With check
// set it only finds out whether it could, and changes nothing; then it is called again to act.
// Must be repeatable: a kill may come in the middle of it.
using CompanionRecovery = bool (*)(const wchar_t* tag, const void* state, size_t bytes, bool committed, bool check,
                                   InstallReport* report) noexcept;
// Set once at start by whoever adds companions; a journal that names one while none is set
// is not cleaned up.
void SetCompanionRecovery(CompanionRecovery recovery) noexcept;

// Undoes what a killed run left below folder (a final long-path form ending in a backslash),
// or finishes it where the run had committed; touches nothing but names of the exact shapes
// the setup writes, and never enters a link. False when something could not be undone or
// finished, and then nothing changed, or what changed can be repeated by the next run; report,
// if given, learns what. deadline, if given, is beaten at every file step.
bool CleanUpInterruptedRun(const wchar_t* folder, InstallReport* report = nullptr,
                           StepDeadline* deadline = nullptr) noexcept;
