// Events in the manner of Win32: manual-reset (stays signalled until reset) or auto-reset (each signal
// releases exactly one waiter).
#pragma once

#include <condition_variable>
#include <mutex>

namespace platform {

enum TWaitResult { wrSignaled, wrTimeout, wrAbandoned, wrError };

// Waits in this project are bounded; this is only for the few callers that truly need to wait forever.
inline constexpr unsigned INFINITE = 0xFFFFFFFFu;

class TEvent {
public:
    explicit TEvent(bool manualReset = true, bool initialState = false);
    TEvent(const TEvent&) = delete;
    TEvent& operator=(const TEvent&) = delete;

    void SetEvent();
    void ResetEvent();
    // Waits up to timeoutMs for the signal; an auto-reset event is reset by the waiter it releases.
    TWaitResult WaitFor(unsigned timeoutMs);

    bool ManualReset() const { return manualReset_; }

private:
    const bool manualReset_;
    std::mutex lock_;  // guards signaled_
    std::condition_variable changed_;
    bool signaled_;
};

}  // namespace platform
