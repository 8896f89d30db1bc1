#include "platform/Event.h"

#include <chrono>

namespace platform {

TEvent::TEvent(bool manualReset, bool initialState) : manualReset_(manualReset), signaled_(initialState) {}

void TEvent::SetEvent() {
    std::lock_guard guard(lock_);
    signaled_ = true;
    if (manualReset_) {
        changed_.notify_all();
    } else {
        changed_.notify_one();
    }
}

void TEvent::ResetEvent() {
    std::lock_guard guard(lock_);
    signaled_ = false;
}

TWaitResult TEvent::WaitFor(unsigned timeoutMs) {
    std::unique_lock lock(lock_);
    const auto signaled = [this] { return signaled_; };
    if (timeoutMs == INFINITE) {
        changed_.wait(lock, signaled);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), signaled)) {
        return wrTimeout;
    }
    if (!manualReset_) {
        signaled_ = false;
    }
    return wrSignaled;
}

}  // namespace platform
