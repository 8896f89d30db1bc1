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

    bool Started() const { return fStarted.load(); }
    bool Terminated() const { return fTerminated.load(); }
    bool Finished() const { return fFinished.load(); }
    int ReturnValue() const { return fReturnValue.load(); }
    // The text of an exception that escaped Execute; empty when none did.
    std::string FatalException() const;
    const std::string& Name() const { return fName; }

protected:
    virtual void Execute() = 0;
    void SetReturnValue(int value) { fReturnValue.store(value); }

private:
    void Run();
    void JoinIfFinished();

    const std::string fName;
    std::atomic<bool> fStarted{false};
    std::atomic<bool> fTerminated{false};
    std::atomic<bool> fFinished{false};
    std::atomic<int> fReturnValue{0};

    mutable std::mutex fStateLock;  // guards fFatalException, fThread
    std::condition_variable fFinishedChanged;
    std::string fFatalException;
    std::thread fThread;
};

}  // namespace platform
