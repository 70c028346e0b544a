// A file step that never ends (an open waiting for an oplock break that its holder never
// acknowledges, say) must not hold a deployment forever: while armed, a watchdog cancels the
// armed thread's synchronous I/O once no step has begun for the limit, and the run fails.
#pragma once

#include <windows.h>

// How long one file step may take; the test host may shorten it.
extern DWORD FileStepLimitMs;

class StepDeadline {
public:
    StepDeadline() = default;
    StepDeadline(const StepDeadline&) = delete;
    StepDeadline& operator=(const StepDeadline&) = delete;
    ~StepDeadline() { Disarm(); }

    // Watches the calling thread from now on; false where no watchdog could be started (the
    // run then goes on without one).
    bool Arm() noexcept;
    void Disarm() noexcept;
    // A step begins.
    void Beat() noexcept { InterlockedExchange64(&lastBeat_, static_cast<LONG64>(GetTickCount64())); }
    // Some step was cancelled: whatever failed since failed for that.
    bool Expired() const noexcept { return InterlockedCompareExchange(const_cast<LONG*>(&expired_), 0, 0) != 0; }

private:
    static DWORD WINAPI Watch(void* self) noexcept;
    HANDLE thread_ = nullptr, watched_ = nullptr, stop_ = nullptr;
    volatile LONG64 lastBeat_ = 0;
    volatile LONG expired_ = 0;
};
