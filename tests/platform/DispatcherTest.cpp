#include "platform/Dispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Event.h"

namespace platform {
namespace {

constexpr unsigned kBoundMs = 10000;

// Every test leaves the process's dispatcher as it found it: this thread main, open, no host.
class DispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { SetMainThread(); }
    void TearDown() override {
        SetDispatcherHost({}, {});
        SetSynchronizeTimeout(std::chrono::milliseconds(30000));
        SetMainThread();
    }
};

TEST_F(DispatcherTest, WorkerCallRunsOnTheMainThreadAndReturnsItsResult) {
    const auto mainId = std::this_thread::get_id();
    std::atomic<bool> done{false};
    std::thread::id ranOn;
    int result = 0;
    std::thread worker([&] {
        result = Synchronize([&] {
            ranOn = std::this_thread::get_id();
            return IsMainThread() ? 42 : -1;
        });
        done = true;
    });
    const bool finished = WaitPumping([&] { return done.load(); }, kBoundMs);
    worker.join();
    ASSERT_TRUE(finished);
    EXPECT_EQ(result, 42);
    EXPECT_EQ(ranOn, mainId);
}

TEST_F(DispatcherTest, ResultsOfOtherTypesComeBackWhole) {
    std::string text;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        text = Synchronize([] { return std::string("from the main thread"); });
        done = true;
    });
    ASSERT_TRUE(WaitPumping([&] { return done.load(); }, kBoundMs));
    worker.join();
    EXPECT_EQ(text, "from the main thread");
}

TEST_F(DispatcherTest, OnTheMainThreadTheCallRunsAtOnce) {
    bool ran = false;
    Synchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_EQ(Synchronize([] { return 7; }), 7);
    EXPECT_FALSE(CheckSynchronize()) << "nothing may have been queued";
}

TEST_F(DispatcherTest, AnExceptionOfTheCallIsRethrownInTheWorker) {
    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            Synchronize([] { throw std::invalid_argument("bad value"); });
        } catch (const std::invalid_argument& e) {
            caught = e.what();
        }
        done = true;
    });
    ASSERT_TRUE(WaitPumping([&] { return done.load(); }, kBoundMs));
    worker.join();
    EXPECT_EQ(caught, "bad value");
}

TEST_F(DispatcherTest, AnExceptionOnTheMainThreadPassesStraightThrough) {
    EXPECT_THROW(Synchronize([] { throw std::runtime_error("inline"); }), std::runtime_error);
}

TEST_F(DispatcherTest, CallsOfManyWorkersAllRunOnTheMainThread) {
    constexpr int kWorkers = 4;
    constexpr int kCallsEach = 50;
    int onMain = 0;  // touched only by synchronized calls, which all run on this thread
    std::atomic<int> finished{0};
    std::vector<std::thread> workers;
    for (int w = 0; w < kWorkers; ++w) {
        workers.emplace_back([&] {
            for (int i = 0; i < kCallsEach; ++i) {
                Synchronize([&] { onMain += IsMainThread() ? 1 : 0; });
            }
            ++finished;
        });
    }
    const bool allDone = WaitPumping([&] { return finished.load() == kWorkers; }, kBoundMs);
    for (auto& t : workers) {
        t.join();
    }
    ASSERT_TRUE(allDone);
    EXPECT_EQ(onMain, kWorkers * kCallsEach);
}

TEST_F(DispatcherTest, TheWakeHookLetsAHostRunTheQueueWithoutPolling) {
    TEvent woken(false, false);
    SetDispatcherHost([&] { woken.SetEvent(); }, {});
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([] {});
        done = true;
    });
    ASSERT_EQ(woken.WaitFor(kBoundMs), wrSignaled);
    EXPECT_TRUE(CheckSynchronize());
    worker.join();
    EXPECT_TRUE(done);
}

TEST_F(DispatcherTest, ProcessMessagesRunsTheQueueThenThePump) {
    std::vector<std::string> order;
    TEvent wake(false, false);
    SetDispatcherHost([&] { wake.SetEvent(); }, [&] { order.push_back("pump"); });
    std::thread worker([&] { Synchronize([&] { order.push_back("call"); }); });
    ASSERT_EQ(wake.WaitFor(kBoundMs), wrSignaled);
    ProcessMessages();
    worker.join();
    EXPECT_EQ(order, (std::vector<std::string>{"call", "pump"}));
}

TEST_F(DispatcherTest, OffTheMainThreadCheckSynchronizeAndProcessMessagesDoNothing) {
    int pumps = 0;
    SetDispatcherHost({}, [&] { ++pumps; });
    bool checked = true;
    std::thread other([&] {
        checked = CheckSynchronize();
        ProcessMessages();
    });
    other.join();
    EXPECT_FALSE(checked);
    EXPECT_EQ(pumps, 0);
}

TEST_F(DispatcherTest, ACallNotTakenInTimeIsWithdrawnAndNeverRuns) {
    SetSynchronizeTimeout(std::chrono::milliseconds(50));
    bool ran = false;
    bool failed = false;
    std::thread worker([&] {
        try {
            Synchronize([&] { ran = true; });
        } catch (const ESynchronizeFailed&) {
            failed = true;
        }
    });
    worker.join();  // the main thread does not pump meanwhile
    EXPECT_TRUE(failed);
    EXPECT_FALSE(CheckSynchronize());
    EXPECT_FALSE(ran);
}

TEST_F(DispatcherTest, ShutdownReleasesAWaitingWorkerAndRefusesLaterCalls) {
    TEvent queued(false, false);
    SetDispatcherHost([&] { queued.SetEvent(); }, {});
    std::atomic<int> failures{0};
    bool ran = false;
    std::thread worker([&] {
        for (int i = 0; i < 2; ++i) {
            try {
                Synchronize([&] { ran = true; });
            } catch (const ESynchronizeFailed&) {
                ++failures;
            }
        }
    });
    ASSERT_EQ(queued.WaitFor(kBoundMs), wrSignaled);
    ShutdownDispatcher();
    worker.join();
    EXPECT_EQ(failures, 2);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(CheckSynchronize());
}

TEST_F(DispatcherTest, SetMainThreadReopensAfterShutdown) {
    ShutdownDispatcher();
    SetMainThread();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([] {});
        done = true;
    });
    EXPECT_TRUE(WaitPumping([&] { return done.load(); }, kBoundMs));
    worker.join();
}

TEST_F(DispatcherTest, AnotherThreadCanBecomeTheMainThread) {
    std::atomic<bool> stop{false};
    std::atomic<bool> claimed{false};
    std::atomic<bool> otherSawItself{false};
    std::atomic<int> served{0};
    std::thread newMain([&] {
        SetMainThread();
        otherSawItself = IsMainThread();
        claimed = true;
        while (!stop) {
            if (CheckSynchronize()) {
                ++served;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ASSERT_TRUE(WaitPumping([&] { return claimed.load(); }, kBoundMs));
    EXPECT_FALSE(IsMainThread());
    // This thread is now a worker: its call is served by the new main thread.
    bool ranOnMain = false;
    Synchronize([&] { ranOnMain = IsMainThread(); });
    stop = true;
    newMain.join();
    EXPECT_TRUE(otherSawItself);
    EXPECT_TRUE(ranOnMain);
    EXPECT_GE(served, 1);
}

TEST_F(DispatcherTest, WaitPumpingTimesOutWhenTheConditionStaysFalse) {
    int pumps = 0;
    SetDispatcherHost({}, [&] { ++pumps; });
    EXPECT_FALSE(WaitPumping([] { return false; }, 30));
    EXPECT_GE(pumps, 1);
}

TEST_F(DispatcherTest, WaitPumpingOnAWorkerWaitsWithoutPumping) {
    std::atomic<bool> flag{false};
    bool result = false;
    std::thread waiter([&] { result = WaitPumping([&] { return flag.load(); }, kBoundMs); });
    flag = true;
    WakeMainThread();
    waiter.join();
    EXPECT_TRUE(result);
}

TEST_F(DispatcherTest, ASynchronizedCallMayPumpAgainInside) {
    // A call that itself waits pumping (as a handler that stops playback does) still serves others.
    std::atomic<bool> secondQueued{false};
    std::atomic<bool> secondDone{false};
    std::atomic<bool> firstDone{false};
    std::thread second;
    std::thread first([&] {
        Synchronize([&] {
            second = std::thread([&] {
                secondQueued = true;
                Synchronize([] {});
                secondDone = true;
            });
            WaitPumping([&] { return secondDone.load(); }, kBoundMs);
        });
        firstDone = true;
    });
    const bool finished = WaitPumping([&] { return firstDone.load(); }, kBoundMs);
    first.join();
    second.join();
    EXPECT_TRUE(finished);
    EXPECT_TRUE(secondDone);
}

}  // namespace
}  // namespace platform
