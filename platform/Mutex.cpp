#include "platform/Mutex.h"

#include <chrono>

namespace platform {

TMutex::TMutex(bool initialOwner) {
    if (initialOwner) {
        owner_ = std::this_thread::get_id();
        count_ = 1;
    }
}

TWaitResult TMutex::WaitFor(unsigned timeoutMs) {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(lock_);
    const auto available = [&] { return count_ == 0 || owner_ == self; };
    if (timeoutMs == INFINITE) {
        released_.wait(lock, available);
    } else if (!released_.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return wrTimeout;
    }
    owner_ = self;
    ++count_;
    return wrSignaled;
}

bool TMutex::Release() {
    std::lock_guard guard(lock_);
    if (count_ == 0 || owner_ != std::this_thread::get_id()) {
        return false;
    }
    if (--count_ == 0) {
        owner_ = {};
        released_.notify_one();
    }
    return true;
}

}  // namespace platform
