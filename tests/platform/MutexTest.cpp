#include "platform/Mutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace platform {
namespace {

constexpr unsigned kBoundMs = 10000;

template <typename F>
auto OnOtherThread(F f) {
    decltype(f()) result{};
    std::thread t([&] { result = f(); });
    t.join();
    return result;
}

TEST(CriticalSectionTest, TheHoldingThreadMayEnterAgain) {
    TCriticalSection section;
    section.Enter();
    EXPECT_TRUE(section.TryEnter());
    section.Leave();
    EXPECT_FALSE(OnOtherThread([&] { return section.TryEnter(); })) << "still held once";
    section.Leave();
    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = section.TryEnter();
        if (got) {
            section.Leave();
        }
        return got;
    }));
}

TEST(CriticalSectionTest, TheGuardLeavesAtTheEndOfItsScope) {
    TCriticalSection section;
    {
        TCriticalSectionGuard guard(section);
        EXPECT_FALSE(OnOtherThread([&] { return section.TryEnter(); }));
    }
    EXPECT_TRUE(OnOtherThread([&] {
        const bool got = section.TryEnter();
        if (got) {
            section.Leave();
        }
        return got;
    }));
}

TEST(CriticalSectionTest, ItKeepsThreadsOutOfEachOther) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    TCriticalSection section;
    long counter = 0;  // guarded by section
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                TCriticalSectionGuard guard(section);
                ++counter;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

TEST(MutexTest, TheOwnerMayWaitAgainAndMustReleaseAsOften) {
    TMutex mutex;
    ASSERT_EQ(mutex.WaitFor(0), wrSignaled);
    ASSERT_EQ(mutex.WaitFor(0), wrSignaled);
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(OnOtherThread([&] { return mutex.WaitFor(20); }), wrTimeout);
    EXPECT_TRUE(mutex.Release());
    EXPECT_FALSE(mutex.Release()) << "no longer held";
    EXPECT_EQ(OnOtherThread([&] {
                  const TWaitResult r = mutex.WaitFor(0);
                  mutex.Release();
                  return r;
              }),
              wrSignaled);
}

TEST(MutexTest, OnlyTheOwnerCanRelease) {
    TMutex mutex(true);
    EXPECT_FALSE(OnOtherThread([&] { return mutex.Release(); }));
    EXPECT_EQ(OnOtherThread([&] { return mutex.WaitFor(20); }), wrTimeout) << "created owned";
    EXPECT_TRUE(mutex.Release());
}

TEST(MutexTest, AWaiterInStepsGetsTheMutexWhenTheOwnerReleases) {
    TMutex mutex;
    ASSERT_EQ(mutex.WaitFor(0), wrSignaled);
    std::atomic<int> timeouts{0};
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        // The way a preferences lock is taken: short bounded steps until it is free.
        for (int step = 0; step < 200 && !got; ++step) {
            if (mutex.WaitFor(50) == wrSignaled) {
                got = true;
                mutex.Release();
            } else {
                ++timeouts;
            }
        }
    });
    while (timeouts.load() == 0 && !got) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(mutex.Release());
    waiter.join();
    EXPECT_TRUE(got);
}

TEST(MutexTest, WaitingForeverReturnsOnceReleased) {
    TMutex mutex(true);
    TWaitResult result = wrError;
    std::thread waiter([&] {
        result = mutex.WaitFor(INFINITE);
        mutex.Release();
    });
    EXPECT_TRUE(mutex.Release());
    waiter.join();
    EXPECT_EQ(result, wrSignaled);
    EXPECT_EQ(mutex.WaitFor(kBoundMs), wrSignaled);
    mutex.Release();
}

}  // namespace
}  // namespace platform
