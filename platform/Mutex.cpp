#include "platform/Mutex.h"

#include <chrono>

namespace platform {

TMutex::TMutex(bool initialOwner) {
    if (initialOwner) {
        fOwner = std::this_thread::get_id();
        fCount = 1;
    }
}

TWaitResult TMutex::WaitFor(unsigned timeoutMs) {
    const auto self = std::this_thread::get_id();
    std::unique_lock lock(fLock);
    const auto available = [&] { return fCount == 0 || fOwner == self; };
    if (timeoutMs == INFINITE) {
        fReleased.wait(lock, available);
    } else if (!fReleased.wait_for(lock, std::chrono::milliseconds(timeoutMs), available)) {
        return wrTimeout;
    }
    fOwner = self;
    ++fCount;
    return wrSignaled;
}

bool TMutex::Release() {
    std::lock_guard guard(fLock);
    if (fCount == 0 || fOwner != std::this_thread::get_id()) {
        return false;
    }
    if (--fCount == 0) {
        fOwner = {};
        fReleased.notify_one();
    }
    return true;
}

}  // namespace platform
