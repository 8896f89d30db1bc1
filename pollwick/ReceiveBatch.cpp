#include "pollwick/ReceiveBatch.h"

#include <sys/socket.h>

#include <algorithm>

namespace pollwick {

void ReceiveBatch::Opened(int socket) {
    sockets_.push_back(socket);
    lowWater_ = 1;  // a new socket starts at the system's default
}

void ReceiveBatch::Closed(int socket) {
    sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), socket), sockets_.end());
    lowWater_ = 1;
}

void ReceiveBatch::StartAnswer() {
    lastRead_ = {};
    readBytes_ = 0;
}

void ReceiveBatch::BeforeWait(int64_t remaining) {
    int64_t wanted = lowWater_;
    if (remaining < 0) {
        wanted = 1;
    } else if (readBytes_ > 0) {
        const Clock::time_point now = Clock::now();
        if (lastRead_ != Clock::time_point{}) {
            // The bytes of the last read came in since the read before it: the rate.
            const int64_t elapsed = std::max<int64_t>(
                std::chrono::duration_cast<std::chrono::microseconds>(now - lastRead_).count(), 1);
            const int64_t target = readBytes_ * kWindow.count() / elapsed;
            // Only a real change of rate moves the mark, to spare the system call.
            if (target > 2 * lowWater_ || target < lowWater_ / 2) {
                wanted = target;
            }
        }
        lastRead_ = now;
        readBytes_ = 0;
    } else if (lowWater_ > 1 && Clock::now() - lastRead_ > 4 * kWindow) {
        wanted = 1;  // the data slowed down: no byte waits for company any more
        lastRead_ = {};
    }
    wanted = std::clamp<int64_t>(wanted, 1, std::min(kMaxBatch, std::max<int64_t>(remaining, 1)));
    if (wanted != lowWater_) {
        Apply(wanted);
    }
}

void ReceiveBatch::FinishAnswer() {
    if (lowWater_ != 1) {
        Apply(1);
    }
}

void ReceiveBatch::Apply(int64_t lowWater) {
    if (sockets_.size() != 1) {
        return;
    }
    const int value = static_cast<int>(lowWater);
    if (setsockopt(sockets_.front(), SOL_SOCKET, SO_RCVLOWAT, &value, sizeof value) == 0) {
        lowWater_ = lowWater;
    }
}

}  // namespace pollwick
