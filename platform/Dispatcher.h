// The main-thread dispatcher: worker threads hand calls to the main thread and wait for them.
//
// The main thread is, by default, the process's initial thread (the one that runs main()).
// SetMainThread() makes the calling thread the main thread instead and reopens the dispatcher.
//
// Rules that keep it free of deadlocks:
// - The main thread never blocks on a worker without pumping: it waits with WaitPumping() (TThread's
//   WaitFor does this on the main thread), so a worker's Synchronize issued meanwhile still runs.
// - A Synchronize call that has not started within the synchronize timeout (SetSynchronizeTimeout,
//   30 s by default) is withdrawn and throws ESynchronizeFailed; once started, the caller waits for it to
//   finish, since the call may use the caller's stack.
// - When the main thread leaves its loop it calls ShutdownDispatcher(): queued calls that have not started
//   and every later Synchronize from a worker throw ESynchronizeFailed at once instead of waiting for a main
//   thread that no longer pumps.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace platform {

// Thrown in a worker whose Synchronize call could not be run (dispatcher shut down, or timed out).
class ESynchronizeFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Makes the calling thread the main thread and reopens a dispatcher that was shut down.
void SetMainThread();
bool IsMainThread();

// wake is called (from any thread) when a call was queued; it must make the main thread call
// CheckSynchronize soon and must not block. pump processes the host's pending events on the main thread.
// Either may be empty.
void SetDispatcherHost(std::function<void()> wake, std::function<void()> pump);

// Runs fn on the main thread and waits until it ran; runs it at once on the main thread. An exception
// thrown by fn is rethrown here.
void Synchronize(const std::function<void()>& fn);

// A callable whose result Synchronize hands back.
template <typename F>
concept ValueReturning = !std::is_void_v<std::invoke_result_t<F&>>;

// The same for a function that returns a value; returns that value.
template <ValueReturning F>
auto Synchronize(F&& fn) -> std::remove_cvref_t<std::invoke_result_t<F&>> {
    std::optional<std::remove_cvref_t<std::invoke_result_t<F&>>> result;
    Synchronize(std::function<void()>([&] { result.emplace(fn()); }));
    return std::move(*result);
}

// Runs the queued calls; only on the main thread (elsewhere it does nothing). True when it ran any.
bool CheckSynchronize();

// CheckSynchronize, then the host's pump hook. On a thread other than the main thread it does nothing.
void ProcessMessages();

// Waits until done() is true or timeoutMs passes; on the main thread it keeps running queued calls and
// the host's pump meanwhile. Returns done()'s last value. done is called on the waiting thread.
bool WaitPumping(const std::function<bool()>& done, unsigned timeoutMs);

// Wakes a WaitPumping on the main thread early, so that it checks its condition again.
void WakeMainThread();

// Bound on how long a Synchronize call may wait to be started.
void SetSynchronizeTimeout(std::chrono::milliseconds timeout);

// The main thread stops serving Synchronize: pending calls that have not started and later ones fail.
void ShutdownDispatcher();

}  // namespace platform
