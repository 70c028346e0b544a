#include "payload/BackgroundFlush.h"

#include <cstdlib>

#include "payload/FileSteps.h"
#include "payload/StepDeadline.h"
#include "payload/Transaction.h"

bool BackgroundFlush::Start() noexcept {
    if (thread_ != nullptr) return true;
    if (failedToStart_) return false;
    thread_ = CreateThread(nullptr, 64 << 10, Run, this, 0, nullptr);
    failedToStart_ = thread_ == nullptr;
    return thread_ != nullptr;
}

bool BackgroundFlush::Add(HANDLE file) noexcept {
    if (!Start()) {
        if (FlushFileBuffers(file)) return true;
        AcquireSRWLockExclusive(&lock_);
        if (error_ == ERROR_SUCCESS) error_ = GetLastError();
        ReleaseSRWLockExclusive(&lock_);
        return false;
    }
    AcquireSRWLockExclusive(&lock_);
    const bool room = Grow(files_, count_, capacity_, 64);
    if (room) files_[count_++] = file;
    ReleaseSRWLockExclusive(&lock_);
    WakeAllConditionVariable(&changed_);
    return room || FlushFileBuffers(file);
}

bool BackgroundFlush::Finish(DWORD& error) noexcept {
    AcquireSRWLockExclusive(&lock_);
    while (thread_ != nullptr && done_ < count_) SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    error = error_;
    ReleaseSRWLockExclusive(&lock_);
    return error == ERROR_SUCCESS;
}

void BackgroundFlush::Stop() noexcept {
    if (thread_ != nullptr) {
        AcquireSRWLockExclusive(&lock_);
        stopping_ = true;
        ReleaseSRWLockExclusive(&lock_);
        WakeAllConditionVariable(&changed_);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    free(files_);
    files_ = nullptr;
    count_ = capacity_ = done_ = 0;
    stopping_ = false;
}

DWORD WINAPI BackgroundFlush::Run(void* self) noexcept {
    BackgroundFlush& f = *static_cast<BackgroundFlush*>(self);
    AcquireSRWLockExclusive(&f.lock_);
    for (;;) {
        while (!f.stopping_ && f.done_ == f.count_) SleepConditionVariableSRW(&f.changed_, &f.lock_, INFINITE, 0);
        if (f.stopping_) break;
        HANDLE file = f.files_[f.done_];
        const unsigned index = static_cast<unsigned>(f.done_);
        ReleaseSRWLockExclusive(&f.lock_);
        if (f.deadline_ != nullptr) f.deadline_->Beat();
        if (TransactionProbe != nullptr) TransactionProbe(12, index);
        const DWORD error = FlushFileBuffers(file) ? ERROR_SUCCESS : GetLastError();
        AcquireSRWLockExclusive(&f.lock_);
        if (error != ERROR_SUCCESS && f.error_ == ERROR_SUCCESS) f.error_ = error;
        ++f.done_;
        WakeAllConditionVariable(&f.changed_);
    }
    ReleaseSRWLockExclusive(&f.lock_);
    return 0;
}
