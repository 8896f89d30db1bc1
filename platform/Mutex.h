// Locks in the manner of Win32: a critical section and an unnamed mutex, both recursive for the thread
// that holds them.
#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Event.h"

namespace platform {

class TCriticalSection {
public:
    TCriticalSection() = default;
    TCriticalSection(const TCriticalSection&) = delete;
    TCriticalSection& operator=(const TCriticalSection&) = delete;

    void Enter() { lock_.lock(); }
    void Leave() { lock_.unlock(); }
    bool TryEnter() { return lock_.try_lock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }

    // For std::lock_guard and friends.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex lock_;
};

// Holds a critical section for one scope.
class TCriticalSectionGuard {
public:
    explicit TCriticalSectionGuard(TCriticalSection& section) : section_(section) { section_.Enter(); }
    ~TCriticalSectionGuard() { section_.Leave(); }
    TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
    TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

private:
    TCriticalSection& section_;
};

// An unnamed mutex: waits are bounded, the owning thread may take it again, and only the owner can
// release it.
class TMutex {
public:
    explicit TMutex(bool initialOwner = false);
    TMutex(const TMutex&) = delete;
    TMutex& operator=(const TMutex&) = delete;

    // wrSignaled when the calling thread now holds the mutex (once more), wrTimeout otherwise.
    TWaitResult WaitFor(unsigned timeoutMs);
    // False when the calling thread does not hold the mutex.
    bool Release();

private:
    std::mutex lock_;  // guards owner_ and count_
    std::condition_variable released_;
    std::thread::id owner_;
    unsigned count_ = 0;
};

}  // namespace platform
