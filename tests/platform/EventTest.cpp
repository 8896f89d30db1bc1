#include "platform/Event.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace platform {
namespace {

constexpr unsigned kBoundMs = 10000;

struct InitialCase {
    bool manualReset;
    bool initialState;
    TWaitResult first;
    TWaitResult second;  // a manual-reset event stays signalled, an auto-reset one is used up
};

void PrintTo(const InitialCase& c, std::ostream* os) {
    *os << (c.manualReset ? "manual" : "auto") << " reset, " << (c.initialState ? "signalled" : "not signalled");
}

class EventInitialStateTest : public ::testing::TestWithParam<InitialCase> {};

TEST_P(EventInitialStateTest, FirstAndSecondWaitFollowTheResetMode) {
    const InitialCase& c = GetParam();
    TEvent event(c.manualReset, c.initialState);
    EXPECT_EQ(event.WaitFor(0), c.first);
    EXPECT_EQ(event.WaitFor(0), c.second);
}

INSTANTIATE_TEST_SUITE_P(Modes, EventInitialStateTest,
                         ::testing::Values(InitialCase{true, true, wrSignaled, wrSignaled},
                                           InitialCase{true, false, wrTimeout, wrTimeout},
                                           InitialCase{false, true, wrSignaled, wrTimeout},
                                           InitialCase{false, false, wrTimeout, wrTimeout}));

TEST(EventTest, ResetEventClearsAManualResetEvent) {
    TEvent event(true, false);
    event.SetEvent();
    EXPECT_EQ(event.WaitFor(0), wrSignaled);
    event.ResetEvent();
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
}

TEST(EventTest, ABoundedWaitTimesOut) {
    TEvent event(false, false);
    EXPECT_EQ(event.WaitFor(30), wrTimeout);
}

TEST(EventTest, AWaiterIsReleasedBySetEventFromAnotherThread) {
    TEvent event(false, false);
    TWaitResult result = wrError;
    std::thread waiter([&] { result = event.WaitFor(INFINITE); });
    event.SetEvent();
    waiter.join();
    EXPECT_EQ(result, wrSignaled);
}

// Starts waiters on event; counts the ones released.
class Waiters {
public:
    Waiters(TEvent& event, int count) {
        for (int i = 0; i < count; ++i) {
            fThreads.emplace_back([this, &event] {
                ++started_;
                if (event.WaitFor(kBoundMs) == wrSignaled) {
                    ++released_;
                }
            });
        }
    }
    ~Waiters() { Join(); }
    void Join() {
        for (auto& t : fThreads) {
            if (t.joinable()) {
                t.join();
            }
        }
    }
    int Released() const { return released_.load(); }
    // Waits (bounded) until released reaches n.
    bool AwaitReleased(int n) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (released_.load() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return released_.load() >= n;
    }
    bool AwaitStarted(int n) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (started_.load() < n && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return started_.load() >= n;
    }

private:
    std::atomic<int> started_{0};
    std::atomic<int> released_{0};
    std::vector<std::thread> fThreads;
};

TEST(EventTest, AnAutoResetEventWakesExactlyOneWaiterPerSignal) {
    constexpr int kWaiters = 4;
    TEvent event(false, false);
    Waiters waiters(event, kWaiters);
    ASSERT_TRUE(waiters.AwaitStarted(kWaiters));
    event.SetEvent();
    ASSERT_TRUE(waiters.AwaitReleased(1));
    // Give any wrongly woken second waiter the chance to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(waiters.Released(), 1);
    EXPECT_EQ(event.WaitFor(0), wrTimeout) << "the released waiter used the signal up";
    for (int i = 1; i < kWaiters; ++i) {
        event.SetEvent();
        ASSERT_TRUE(waiters.AwaitReleased(i + 1));
    }
    waiters.Join();
    EXPECT_EQ(waiters.Released(), kWaiters);
}

TEST(EventTest, AManualResetEventReleasesEveryWaiter) {
    constexpr int kWaiters = 4;
    TEvent event(true, false);
    Waiters waiters(event, kWaiters);
    ASSERT_TRUE(waiters.AwaitStarted(kWaiters));
    event.SetEvent();
    waiters.Join();
    EXPECT_EQ(waiters.Released(), kWaiters);
    EXPECT_EQ(event.WaitFor(0), wrSignaled);
}

TEST(EventTest, SettingAnAutoResetEventTwiceBeforeAWaitCountsOnce) {
    TEvent event(false, false);
    event.SetEvent();
    event.SetEvent();
    EXPECT_EQ(event.WaitFor(0), wrSignaled);
    EXPECT_EQ(event.WaitFor(0), wrTimeout);
}

}  // namespace
}  // namespace platform
