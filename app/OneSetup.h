// One setup at a time on the machine. Two runs side by side would share the staged pack,
// so a second one refuses before it touches anything.
#pragma once
#include "framework/Handles.h"

inline constexpr wchar_t kSetupMutexName[] = L"Global\\ZorvalindPlugInsSetup-ARM64";

// The machine-wide mutex, held from Acquire until the object goes.
class SetupLock {
public:
    // False when another setup holds it. A name that cannot be created or opened as our
    // mutex (another user's elevated setup, an object of another type) counts as held too.
    bool Acquire() noexcept;

private:
    fw::unique_hfile mutex_;
};

// The refusal of a second setup: a warning box, or in silent mode a log entry.
void ReportAnotherSetup(bool silent) noexcept;
