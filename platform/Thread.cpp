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

TThread::TThread(std::string name) : name_(std::move(name)) {}

TThread::~TThread() {
    TerminateAndWait();
}

void TThread::Start() {
    std::lock_guard guard(stateLock_);
    if (started_.exchange(true)) {
        throw std::logic_error("TThread::Start: the thread was already started");
    }
    thread_ = std::thread([this] { Run(); });
}

void TThread::Run() {
    if (!name_.empty()) {
        pthread_setname_np(pthread_self(), name_.substr(0, kMaxThreadNameLength).c_str());
    }
    std::string fatal;
    try {
        Execute();
    } catch (...) {
        fatal = DescribeCurrentException();
    }
    {
        std::lock_guard guard(stateLock_);
        fatalException_ = std::move(fatal);
        finished_.store(true);
        finishedChanged_.notify_all();
    }
    WakeMainThread();
}

void TThread::Terminate() {
    terminated_.store(true);
}

void TThread::JoinIfFinished() {
    std::lock_guard guard(stateLock_);
    if (finished_.load() && thread_.joinable()) {
        // Run() has nothing left to do but return, so this join is short.
        thread_.join();
    }
}

std::optional<int> TThread::WaitFor(unsigned timeoutMs) {
    if (!started_.load()) {
        return ReturnValue();
    }
    {
        std::lock_guard guard(stateLock_);
        if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) {
            throw std::logic_error("TThread::WaitFor: a thread cannot wait for itself");
        }
    }
    bool finished;
    if (IsMainThread()) {
        finished = WaitPumping([this] { return finished_.load(); }, timeoutMs);
    } else {
        std::unique_lock lock(stateLock_);
        finished = finishedChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [this] { return finished_.load(); });
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
    std::lock_guard guard(stateLock_);
    return fatalException_;
}

}  // namespace platform
