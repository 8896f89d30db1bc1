#include "platform/Thread.h"

#include <pthread.h>

#include <chrono>
#include <exception>
#include <stdexcept>

#include "platform/Dispatcher.h"

namespace platform {
namespace {

// Linux keeps at most 15 characters of a thread's name.
constexpr std::size_t kMaxThreadNameLength = 15;

std::string DescribeCurrentException() {
    try {
        throw;
    } catch (const std::exception& e) {
        return e.what()[0] != '\0' ? e.what() : "exception without a message";
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace

TThread::TThread(std::string name) : fName(std::move(name)) {}

TThread::~TThread() {
    TerminateAndWait();
}

void TThread::Start() {
    std::lock_guard guard(fStateLock);
    if (fStarted.exchange(true)) {
        throw std::logic_error("TThread::Start: the thread was already started");
    }
    fThread = std::thread([this] { Run(); });
}

void TThread::Run() {
    if (!fName.empty()) {
        pthread_setname_np(pthread_self(), fName.substr(0, kMaxThreadNameLength).c_str());
    }
    std::string fatal;
    try {
        Execute();
    } catch (...) {
        fatal = DescribeCurrentException();
    }
    {
        std::lock_guard guard(fStateLock);
        fFatalException = std::move(fatal);
        fFinished.store(true);
        fFinishedChanged.notify_all();
    }
    WakeMainThread();
}

void TThread::Terminate() {
    fTerminated.store(true);
}

void TThread::JoinIfFinished() {
    std::lock_guard guard(fStateLock);
    if (fFinished.load() && fThread.joinable()) {
        // Run() has nothing left to do but return, so this join is short.
        fThread.join();
    }
}

std::optional<int> TThread::WaitFor(unsigned timeoutMs) {
    if (!fStarted.load()) {
        return ReturnValue();
    }
    {
        std::lock_guard guard(fStateLock);
        if (fThread.joinable() && fThread.get_id() == std::this_thread::get_id()) {
            throw std::logic_error("TThread::WaitFor: a thread cannot wait for itself");
        }
    }
    bool finished;
    if (IsMainThread()) {
        finished = WaitPumping([this] { return fFinished.load(); }, timeoutMs);
    } else {
        std::unique_lock lock(fStateLock);
        finished = fFinishedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [this] { return fFinished.load(); });
    }
    if (!finished) {
        return std::nullopt;
    }
    JoinIfFinished();
    return ReturnValue();
}

int TThread::WaitFor() {
    // Joining cannot be abandoned; wait in bounded steps so the main thread keeps pumping throughout.
    constexpr unsigned kStepMs = 1000;
    for (;;) {
        if (auto result = WaitFor(kStepMs)) {
            return *result;
        }
    }
}

void TThread::TerminateAndWait() {
    Terminate();
    WaitFor();
}

std::string TThread::FatalException() const {
    std::lock_guard guard(fStateLock);
    return fFatalException;
}

}  // namespace platform
