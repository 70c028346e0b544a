#include "payload/StepDeadline.h"

DWORD FileStepLimitMs = 60000;

bool StepDeadline::Arm() noexcept {
    if (thread_ != nullptr) return true;
    InterlockedExchange(&expired_, 0);
    Beat();
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &watched_, THREAD_TERMINATE,
                         FALSE, 0))
        watched_ = nullptr;
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (watched_ != nullptr && stop_ != nullptr) thread_ = CreateThread(nullptr, 64 << 10, Watch, this, 0, nullptr);
    if (thread_ == nullptr) {
        Disarm();
        return false;
    }
    return true;
}

void StepDeadline::Disarm() noexcept {
    if (thread_ != nullptr) {
        SetEvent(stop_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (stop_ != nullptr) CloseHandle(stop_);
    if (watched_ != nullptr) CloseHandle(watched_);
    stop_ = watched_ = nullptr;
}

DWORD WINAPI StepDeadline::Watch(void* self) noexcept {
    StepDeadline& d = *static_cast<StepDeadline*>(self);
    const DWORD tick = FileStepLimitMs / 8 > 10 ? FileStepLimitMs / 8 : 10;
    while (WaitForSingleObject(d.stop_, tick) == WAIT_TIMEOUT) {
        const ULONGLONG last = static_cast<ULONGLONG>(InterlockedCompareExchange64(&d.lastBeat_, 0, 0));
        if (GetTickCount64() - last < FileStepLimitMs) continue;
        // Again at every tick while it is stuck: a cancel that comes just before the call
        // begins cancels nothing.
        InterlockedExchange(&d.expired_, 1);
        CancelSynchronousIo(d.watched_);
    }
    return 0;
}
