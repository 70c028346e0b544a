// One setup at a time on the machine. Two runs side by side would share the staged pack,
// so a second one refuses before it touches anything.
#pragma once
#include "framework/Handles.h"

inline constexpr wchar_t kSetupMutexName[] = L"Global\\ZorvalindPlugInsSetup-ARM64";
// The private namespace of elevated runs; its boundary holds the Administrators group and
// the high integrity level, so no standard user can create it.
inline constexpr wchar_t kSetupNamespaceName[] = L"ZorvalindPlugInsSetup-ARM64";

// Held from Acquire until the object goes. An elevated run (SYSTEM included) holds the lock
// as the creator of the private namespace: any user may create the global mutex's name and
// keep it, but not that namespace. Where the namespace cannot be made (not elevated, or a
// system without the functions, such as Wine), the global mutex is the lock.
class SetupLock {
public:
    SetupLock() noexcept = default;
    ~SetupLock();
    SetupLock(const SetupLock&) = delete;
    SetupLock& operator=(const SetupLock&) = delete;

    // False when another setup holds it. A name that cannot be created or opened as our
    // mutex (another user's elevated setup, an object of another type) counts as held too.
    bool Acquire() noexcept;
    // Whether the private namespace holds it (for the log).
    bool ByNamespace() const noexcept { return namespace_ != nullptr; }

private:
    enum class Namespace { Taken, Held, Unavailable };
    Namespace TakeNamespace() noexcept;
    void ReleaseNamespace() noexcept;

    fw::unique_hfile mutex_;
    HANDLE namespace_ = nullptr;  // closed through the function it was resolved with
};

// The refusal of a second setup: a warning box, or (silent, or where no window can be seen)
// a log entry.
void ReportAnotherSetup(bool toLog) noexcept;
