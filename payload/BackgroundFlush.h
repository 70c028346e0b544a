// Flushes finished files to the disk on a thread of its own, while the next ones are still
// being inflated and written: a file's data must be on the disk before any rename depends
// on it, and flushing them one by one at the end would add every flush to the run.
#pragma once

#include <windows.h>

#include <cstddef>

class StepDeadline;

class BackgroundFlush {
public:
    // Each flush that begins counts as a step of the run for deadline, if given: on a slow disk
    // the flushes the run waits for may together take longer than one step may.
    explicit BackgroundFlush(StepDeadline* deadline = nullptr) noexcept : deadline_(deadline) {}
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;
    ~BackgroundFlush() { Stop(); }

    // file stays the caller's and open until Finish or Stop has returned. Without a thread the
    // file is flushed here and now.
    bool Add(HANDLE file) noexcept;
    // Waits until every file added is flushed; false with error where one could not be.
    bool Finish(DWORD& error) noexcept;
    // Waits for the file being flushed, drops the rest and ends the thread.
    void Stop() noexcept;

private:
    static DWORD WINAPI Run(void* self) noexcept;
    bool Start() noexcept;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    StepDeadline* deadline_;
    HANDLE thread_ = nullptr;
    HANDLE* files_ = nullptr;
    size_t count_ = 0, capacity_ = 0, done_ = 0;
    DWORD error_ = ERROR_SUCCESS;
    bool stopping_ = false, failedToStart_ = false;
};
