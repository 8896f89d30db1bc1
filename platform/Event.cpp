#include "platform/Event.h"

#include <chrono>

namespace platform {

TEvent::TEvent(bool manualReset, bool initialState) : fManualReset(manualReset), fSignaled(initialState) {}

void TEvent::SetEvent() {
    std::lock_guard guard(fLock);
    fSignaled = true;
    if (fManualReset) {
        fChanged.notify_all();
    } else {
        fChanged.notify_one();
    }
}

void TEvent::ResetEvent() {
    std::lock_guard guard(fLock);
    fSignaled = false;
}

TWaitResult TEvent::WaitFor(unsigned timeoutMs) {
    std::unique_lock lock(fLock);
    const auto signaled = [this] { return fSignaled; };
    if (timeoutMs == INFINITE) {
        fChanged.wait(lock, signaled);
    } else if (!fChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), signaled)) {
        return wrTimeout;
    }
    if (!fManualReset) {
        fSignaled = false;
    }
    return wrSignaled;
}

}  // namespace platform
