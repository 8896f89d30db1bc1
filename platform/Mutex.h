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

    void Enter() { fLock.lock(); }
    void Leave() { fLock.unlock(); }
    bool TryEnter() { return fLock.try_lock(); }
    void Acquire() { Enter(); }
    void Release() { Leave(); }

    // For std::lock_guard and friends.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex fLock;
};

// Holds a critical section for one scope.
class TCriticalSectionGuard {
public:
    explicit TCriticalSectionGuard(TCriticalSection& section) : fSection(section) { fSection.Enter(); }
    ~TCriticalSectionGuard() { fSection.Leave(); }
    TCriticalSectionGuard(const TCriticalSectionGuard&) = delete;
    TCriticalSectionGuard& operator=(const TCriticalSectionGuard&) = delete;

private:
    TCriticalSection& fSection;
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
    std::mutex fLock;  // guards fOwner and fCount
    std::condition_variable fReleased;
    std::thread::id fOwner;
    unsigned fCount = 0;
};

}  // namespace platform
