#include "platform/RegistryLock.h"

#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <thread>

namespace platform {

namespace {

using Clock = std::chrono::steady_clock;

// After the bound the timer goes on firing at this pace, in case its first signal came before flock
// started to wait.
constexpr auto kRefire = std::chrono::milliseconds(50);
constexpr auto kPollPause = std::chrono::milliseconds(1);

void IgnoreTimerSignal(int) {}

// Installs the do-nothing handler once, without SA_RESTART so that the signal ends a blocked flock.
// False when the program has a handler of its own for the signal.
bool TimerSignalReady() {
    static const bool ready = [] {
        struct sigaction current {};
        if (sigaction(LockTimerSignal(), nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
            current.sa_handler != SIG_DFL) {
            return false;
        }
        struct sigaction action {};
        action.sa_handler = IgnoreTimerSignal;
        sigemptyset(&action.sa_mask);
        return sigaction(LockTimerSignal(), &action, nullptr) == 0;
    }();
    return ready;
}

timespec ToTimespec(std::chrono::nanoseconds d) {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d);
    return timespec{static_cast<time_t>(seconds.count()), static_cast<long>((d - seconds).count())};
}

// A timer that sends the lock signal to the calling thread once the bound has passed, with the signal
// unblocked in this thread meanwhile; both are undone on destruction.
class WaitTimer {
public:
    explicit WaitTimer(std::chrono::milliseconds bound) {
        sigset_t signal;
        sigemptyset(&signal);
        sigaddset(&signal, LockTimerSignal());
        maskChanged_ = pthread_sigmask(SIG_UNBLOCK, &signal, &oldMask_) == 0;
        sigevent event{};
        event.sigev_notify = SIGEV_THREAD_ID;
        event.sigev_signo = LockTimerSignal();
        event._sigev_un._tid = gettid();  // glibc names no member for the thread id
        if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) {
            return;
        }
        created_ = true;
        itimerspec when{};
        when.it_value = ToTimespec(std::max(bound, std::chrono::milliseconds(1)));
        when.it_interval = ToTimespec(kRefire);
        armed_ = timer_settime(timer_, 0, &when, nullptr) == 0;
    }
    ~WaitTimer() {
        if (created_) {
            timer_delete(timer_);
        }
        if (maskChanged_) {
            pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
        }
    }
    WaitTimer(const WaitTimer&) = delete;
    WaitTimer& operator=(const WaitTimer&) = delete;

    bool Armed() const { return armed_ && maskChanged_; }

private:
    timer_t timer_{};
    bool created_ = false;
    bool armed_ = false;
    bool maskChanged_ = false;
    sigset_t oldMask_{};
};

int PollForLock(int fd, Clock::time_point deadline) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return errno;
        }
        if (Clock::now() >= deadline) {
            return ETIMEDOUT;
        }
        std::this_thread::sleep_for(kPollPause);
    }
    return 0;
}

}  // namespace

int LockTimerSignal() {
    return SIGRTMIN + 5;
}

int LockExclusive(int fd, std::chrono::milliseconds bound) {
    // Uncontended, no timer is needed.
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        return 0;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) {
        return errno;
    }
    const auto deadline = Clock::now() + bound;
    if (!TimerSignalReady()) {
        return PollForLock(fd, deadline);
    }
    const WaitTimer timer(bound);
    if (!timer.Armed()) {
        return PollForLock(fd, deadline);
    }
    while (flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return errno;
        }
        if (Clock::now() >= deadline) {
            return ETIMEDOUT;
        }
    }
    return 0;
}

int LockInTurn(int queueFd, int lockFd, std::chrono::milliseconds bound) {
    const auto deadline = Clock::now() + bound;
    if (const int err = LockExclusive(queueFd, bound); err != 0) {
        return err;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const int err = LockExclusive(lockFd, std::max(left, std::chrono::milliseconds(1)));
    flock(queueFd, LOCK_UN);
    return err;
}

}  // namespace platform
