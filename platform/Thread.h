// A joinable worker thread with a virtual Execute, in the manner of the class library's thread class.
//
// A TThread is always created suspended: the thread cannot run Execute before the derived object is
// complete, so the owner calls Start() after construction. It is never detached and never frees itself.
//
// The destructor terminates and joins. By then the derived part is already gone, so a derived class whose
// Execute uses its own members calls TerminateAndWait() at the start of its own destructor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace platform {

class TThread {
public:
    explicit TThread(std::string name = {});
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts Execute on a new thread; throws std::logic_error when the thread was started before.
    void Start();
    // Asks Execute to end: sets Terminated(). Execute checks it.
    void Terminate();
    // Waits until Execute has ended and joins; returns ReturnValue(). On the main thread it keeps running
    // synchronized calls while it waits. Throws std::logic_error when called from the thread itself.
    int WaitFor();
    // The same with a bound: no value when the thread is still running after timeoutMs.
    std::optional<int> WaitFor(unsigned timeoutMs);
    // Terminate and WaitFor together, for the destructors of derived classes.
    void TerminateAndWait();

    bool Started() const { return started_.load(); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    int ReturnValue() const { return returnValue_.load(); }
    // The text of an exception that escaped Execute; empty when none did.
    std::string FatalException() const;
    const std::string& Name() const { return name_; }

protected:
    virtual void Execute() = 0;
    void SetReturnValue(int value) { returnValue_.store(value); }

private:
    void Run();
    void JoinIfFinished();

    const std::string name_;
    std::atomic<bool> started_{false};
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> returnValue_{0};

    mutable std::mutex stateLock_;  // guards fatalException_, thread_
    std::condition_variable finishedChanged_;
    std::string fatalException_;
    std::thread thread_;
};

}  // namespace platform
