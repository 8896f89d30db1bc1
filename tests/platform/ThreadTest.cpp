#include "platform/Thread.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/Dispatcher.h"
#include "platform/Event.h"

namespace platform {
namespace {

constexpr unsigned kBoundMs = 10000;

// A thread whose Execute is given by the test.
class LambdaThread : public TThread {
public:
    explicit LambdaThread(std::function<void(LambdaThread&)> body, std::string name = {})
        : TThread(std::move(name)), fBody(std::move(body)) {}
    ~LambdaThread() override { TerminateAndWait(); }
    using TThread::SetReturnValue;

protected:
    void Execute() override { fBody(*this); }

private:
    std::function<void(LambdaThread&)> fBody;
};

// Runs until terminated, the usual shape of a worker loop.
void UntilTerminated(LambdaThread& self) {
    while (!self.Terminated()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

TEST(ThreadTest, NothingRunsBeforeStart) {
    std::atomic<bool> ran{false};
    LambdaThread thread([&](LambdaThread&) { ran = true; });
    EXPECT_FALSE(thread.Started());
    EXPECT_EQ(thread.WaitFor(), 0) << "waiting for a thread that never started returns at once";
    EXPECT_FALSE(ran);
}

TEST(ThreadTest, WaitForReturnsTheReturnValueOnceExecuteHasEnded) {
    std::thread::id executeThread;
    LambdaThread thread([&](LambdaThread& self) {
        executeThread = std::this_thread::get_id();
        self.SetReturnValue(17);
    });
    thread.Start();
    EXPECT_EQ(thread.WaitFor(), 17);
    EXPECT_TRUE(thread.Finished());
    EXPECT_NE(executeThread, std::this_thread::get_id());
    EXPECT_EQ(thread.FatalException(), "");
}

TEST(ThreadTest, TerminateEndsAWorkerLoop) {
    LambdaThread thread(UntilTerminated);
    thread.Start();
    EXPECT_FALSE(thread.WaitFor(20).has_value()) << "still running before Terminate";
    EXPECT_FALSE(thread.Finished());
    thread.Terminate();
    EXPECT_TRUE(thread.Terminated());
    EXPECT_EQ(thread.WaitFor(kBoundMs), 0);
    EXPECT_TRUE(thread.Finished());
}

TEST(ThreadTest, TheDestructorTerminatesAndJoins) {
    std::atomic<bool> leftLoop{false};
    auto thread = std::make_unique<LambdaThread>([&](LambdaThread& self) {
        UntilTerminated(self);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        leftLoop = true;
    });
    thread->Start();
    thread.reset();
    EXPECT_TRUE(leftLoop) << "the destructor returned before Execute ended";
}

TEST(ThreadTest, AnExceptionEscapingExecuteIsKeptAsText) {
    LambdaThread thread([](LambdaThread&) { throw std::runtime_error("decoder went away"); });
    thread.Start();
    thread.WaitFor();
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.FatalException(), "decoder went away");
}

TEST(ThreadTest, AnExceptionOfAnyTypeIsKept) {
    LambdaThread thread([](LambdaThread&) { throw 5; });
    thread.Start();
    thread.WaitFor();
    EXPECT_EQ(thread.FatalException(), "unknown exception");
}

TEST(ThreadTest, StartingTwiceIsRefused) {
    LambdaThread thread([](LambdaThread&) {});
    thread.Start();
    EXPECT_THROW(thread.Start(), std::logic_error);
}

TEST(ThreadTest, AThreadCannotWaitForItself) {
    LambdaThread thread([](LambdaThread& self) { self.WaitFor(); });
    thread.Start();
    thread.WaitFor();
    EXPECT_NE(thread.FatalException().find("cannot wait for itself"), std::string::npos)
        << thread.FatalException();
}

TEST(ThreadTest, TheNameIsGivenToTheSystemThread) {
    char seen[32] = {};
    LambdaThread thread([&](LambdaThread&) { pthread_getname_np(pthread_self(), seen, sizeof seen); },
                        "strevio-read-thread");
    thread.Start();
    thread.WaitFor();
    EXPECT_STREQ(seen, "strevio-read-th") << "cut to the system's limit";
    EXPECT_EQ(thread.Name(), "strevio-read-thread");
}

TEST(ThreadTest, SeveralThreadsMayWaitForTheSameThread) {
    TEvent release(true, false);
    LambdaThread thread([&](LambdaThread& self) {
        release.WaitFor(kBoundMs);
        self.SetReturnValue(3);
    });
    thread.Start();
    int otherResult = 0;
    std::thread other([&] { otherResult = thread.WaitFor(); });
    release.SetEvent();
    EXPECT_EQ(thread.WaitFor(), 3);
    other.join();
    EXPECT_EQ(otherResult, 3);
}

TEST(ThreadTest, WaitForOnTheMainThreadServesTheWorkersSynchronize) {
    SetMainThread();
    LambdaThread thread(
        [](LambdaThread& self) { self.SetReturnValue(Synchronize([] { return IsMainThread() ? 1 : 2; })); });
    thread.Start();
    EXPECT_EQ(thread.WaitFor(kBoundMs), 1);
}

TEST(ThreadTest, TheDestructorOnTheMainThreadServesAFinalSynchronize) {
    SetMainThread();
    std::atomic<bool> reported{false};
    {
        LambdaThread thread([&](LambdaThread& self) {
            UntilTerminated(self);
            Synchronize([&] { reported = true; });
        });
        thread.Start();
    }
    EXPECT_TRUE(reported);
}

}  // namespace
}  // namespace platform
