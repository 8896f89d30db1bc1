#include "platform/Dispatcher.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// How long a pumping wait sleeps between looks at the host's events.
constexpr std::chrono::milliseconds kPumpStep{10};

struct SyncCall {
    enum class State { Queued, Running, Done, Failed };
    const std::function<void()>* fn = nullptr;  // lives on the waiting caller's stack
    State state = State::Queued;
    std::exception_ptr error;
};

struct DispatcherState {
    std::mutex lock;                   // guards every field below
    std::condition_variable callDone;  // a queued call finished or failed
    std::condition_variable mainWake;  // a call was queued, or WakeMainThread
    std::deque<std::shared_ptr<SyncCall>> queue;
    bool open = true;
    std::uint64_t wakeSerial = 0;
    std::chrono::milliseconds timeout{30000};
    std::function<void()> wake;
    std::function<void()> pump;
};

DispatcherState& State() {
    static DispatcherState state;
    return state;
}

std::atomic<bool> gMainThreadSet{false};
std::atomic<std::thread::id> gMainThread{};

std::function<void()> CopyHook(std::function<void()> DispatcherState::*hook) {
    auto& s = State();
    std::lock_guard guard(s.lock);
    return s.*hook;
}

void FailQueuedLocked(DispatcherState& s) {
    for (auto& call : s.queue) {
        call->state = SyncCall::State::Failed;
    }
    s.queue.clear();
    s.callDone.notify_all();
}

// Runs one call taken from the queue and hands its outcome back to the waiting caller.
void RunCall(const std::shared_ptr<SyncCall>& call) {
    std::exception_ptr error;
    try {
        (*call->fn)();
    } catch (...) {
        error = std::current_exception();
    }
    auto& s = State();
    std::lock_guard guard(s.lock);
    call->error = error;
    call->state = SyncCall::State::Done;
    s.callDone.notify_all();
}

}  // namespace

void SetMainThread() {
    gMainThread.store(std::this_thread::get_id());
    gMainThreadSet.store(true);
    auto& s = State();
    std::lock_guard guard(s.lock);
    s.open = true;
}

bool IsMainThread() {
    if (gMainThreadSet.load()) {
        return gMainThread.load() == std::this_thread::get_id();
    }
    // Until a thread claims the role, the process's initial thread is the main thread.
    return gettid() == getpid();
}

void SetDispatcherHost(std::function<void()> wake, std::function<void()> pump) {
    auto& s = State();
    std::lock_guard guard(s.lock);
    s.wake = std::move(wake);
    s.pump = std::move(pump);
}

void SetSynchronizeTimeout(std::chrono::milliseconds timeout) {
    auto& s = State();
    std::lock_guard guard(s.lock);
    s.timeout = timeout;
}

void Synchronize(const std::function<void()>& fn) {
    if (IsMainThread()) {
        fn();
        return;
    }
    auto& s = State();
    auto call = std::make_shared<SyncCall>();
    call->fn = &fn;
    std::chrono::milliseconds timeout;
    {
        std::lock_guard guard(s.lock);
        if (!s.open) {
            throw ESynchronizeFailed("Synchronize: the main thread no longer runs synchronized calls");
        }
        s.queue.push_back(call);
        timeout = s.timeout;
        s.mainWake.notify_all();
    }
    if (auto wake = CopyHook(&DispatcherState::wake)) {
        wake();
    }
    std::unique_lock lock(s.lock);
    const bool started =
        s.callDone.wait_for(lock, timeout, [&] { return call->state != SyncCall::State::Queued; });
    if (!started) {
        std::erase(s.queue, call);
        throw ESynchronizeFailed("Synchronize: the main thread did not take the call in time");
    }
    // Once running, the call may use this caller's stack, so wait for it to finish.
    s.callDone.wait(
        lock, [&] { return call->state == SyncCall::State::Done || call->state == SyncCall::State::Failed; });
    if (call->state == SyncCall::State::Failed) {
        throw ESynchronizeFailed("Synchronize: the main thread no longer runs synchronized calls");
    }
    if (call->error) {
        std::rethrow_exception(call->error);
    }
}

bool CheckSynchronize() {
    if (!IsMainThread()) {
        return false;
    }
    auto& s = State();
    std::size_t pending;
    {
        std::lock_guard guard(s.lock);
        pending = s.queue.size();
    }
    // Only the calls queued so far: a worker that keeps synchronizing cannot hold the main thread here.
    bool ran = false;
    for (; pending > 0; --pending) {
        std::shared_ptr<SyncCall> call;
        {
            std::lock_guard guard(s.lock);
            if (s.queue.empty()) {
                break;
            }
            call = s.queue.front();
            s.queue.pop_front();
            call->state = SyncCall::State::Running;
        }
        RunCall(call);
        ran = true;
    }
    return ran;
}

void ProcessMessages() {
    if (!IsMainThread()) {
        return;
    }
    CheckSynchronize();
    if (auto pump = CopyHook(&DispatcherState::pump)) {
        pump();
    }
}

bool WaitPumping(const std::function<bool()>& done, unsigned timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const bool onMain = IsMainThread();
    auto& s = State();
    for (;;) {
        std::uint64_t serial;
        {
            std::lock_guard guard(s.lock);
            serial = s.wakeSerial;
        }
        if (done()) {
            return true;
        }
        if (onMain) {
            ProcessMessages();
            if (done()) {
                return true;
            }
        }
        const auto now = Clock::now();
        if (now >= deadline) {
            return false;
        }
        const auto step = std::min<Clock::duration>(kPumpStep, deadline - now);
        std::unique_lock lock(s.lock);
        s.mainWake.wait_for(lock, step,
                            [&] { return s.wakeSerial != serial || (onMain && !s.queue.empty()); });
    }
}

void WakeMainThread() {
    auto& s = State();
    {
        std::lock_guard guard(s.lock);
        ++s.wakeSerial;
        s.mainWake.notify_all();
    }
}

void ShutdownDispatcher() {
    auto& s = State();
    std::lock_guard guard(s.lock);
    s.open = false;
    FailQueuedLocked(s);
}

}  // namespace platform
