// The exclusive lock under which a registry hive is reloaded, changed and saved.
//
// Waiters block in flock, so the kernel hands the lock on as soon as it is let go, in the order the
// waiters queued, instead of each waiter polling and mostly missing the moment. The wait is bounded: a
// per-thread timer interrupts the blocked flock when the bound passes (a holder that never lets go, such
// as a stopped process, is reported rather than waited for forever). The timer's signal, kLockTimerSignal,
// has a handler that does nothing; when the program uses that signal itself, the wait falls back to
// polling for the bound.
#pragma once

#include <chrono>

namespace platform {

// Takes an exclusive flock on fd, waiting at most `bound`. Returns 0 when the lock is held, ETIMEDOUT
// when the bound passed, or the errno of another failure.
int LockExclusive(int fd, std::chrono::milliseconds bound);

// Takes the lock on lockFd in turn: waiters first line up on queueFd's lock, which the first in line
// keeps while it waits for lockFd and lets go once it holds it. So at most one process waits on lockFd,
// and a holder that asks again right after letting go queues behind those already waiting instead of
// taking the lock back before they wake. The whole wait is bounded by `bound`; results as LockExclusive.
int LockInTurn(int queueFd, int lockFd, std::chrono::milliseconds bound);

// The real-time signal that ends a lock wait; reported so that a test or a program can keep clear of it.
int LockTimerSignal();

}  // namespace platform
