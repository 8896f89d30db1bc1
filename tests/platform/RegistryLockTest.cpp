// The hive lock's wait: served when the holder lets go, bounded when it never does, also in a thread
// that blocks signals.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <future>
#include <string>

#include "platform/RegistryLock.h"
#include "tests/platform/ForkedChild.h"
#include "tests/support/TestEnv.h"

namespace {

using namespace std::chrono_literals;

// A lock file and a child process that holds its lock until told to let go.
class HeldLock {
public:
    HeldLock()
        : path_(dir_ / "hive.lock"),
          holder_([this](const testsupport::ChildChannel& channel) {
              const int fd = open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
              if (fd < 0 || flock(fd, LOCK_EX) != 0 || !channel.Send(1)) {
                  return 2;
              }
              channel.Receive(60000);  // holds until told, or the test ends
              return 0;
          }) {
        held_ = holder_.Channel().Receive().has_value();
    }

    bool Held() const { return held_; }
    std::string Path() const { return path_.string(); }
    void LetGo() { holder_.Channel().Send(1); }

private:
    testsupport::TempDir dir_;
    std::filesystem::path path_;
    testsupport::ForkedChild holder_;
    bool held_ = false;
};

int OpenLockFile(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_CLOEXEC);
}

TEST(RegistryLockTest, AWaiterIsServedWhenTheHolderLetsGo) {
    HeldLock held;
    ASSERT_TRUE(held.Held());
    const int fd = OpenLockFile(held.Path());
    ASSERT_GE(fd, 0);
    auto waiter = std::async(std::launch::async, [fd] { return platform::LockExclusive(fd, 60s); });
    EXPECT_EQ(waiter.wait_for(200ms), std::future_status::timeout);  // still waiting while held
    held.LetGo();
    EXPECT_EQ(waiter.get(), 0);
    close(fd);
}

TEST(RegistryLockTest, AHolderThatNeverLetsGoEndsTheWaitAtTheBound) {
    HeldLock held;
    ASSERT_TRUE(held.Held());
    const int fd = OpenLockFile(held.Path());
    ASSERT_GE(fd, 0);
    for (bool blockSignal : {false, true}) {
        SCOPED_TRACE(blockSignal ? "signal blocked in the thread" : "signal open");
        // A thread that blocks every signal still gets its bound.
        auto waiter = std::async(std::launch::async, [fd, blockSignal] {
            if (blockSignal) {
                sigset_t all;
                sigfillset(&all);
                pthread_sigmask(SIG_BLOCK, &all, nullptr);
            }
            const auto start = std::chrono::steady_clock::now();
            const int result = platform::LockExclusive(fd, 300ms);
            return std::make_pair(result, std::chrono::steady_clock::now() - start);
        });
        ASSERT_EQ(waiter.wait_for(60s), std::future_status::ready) << "the bound did not end the wait";
        const auto [result, waited] = waiter.get();
        EXPECT_EQ(result, ETIMEDOUT);
        EXPECT_GE(waited, 300ms);
    }
    close(fd);
}

TEST(RegistryLockTest, WaitingInTurnIsBoundedAndLeavesTheQueueFree) {
    HeldLock held;
    ASSERT_TRUE(held.Held());
    testsupport::TempDir dir;
    const std::string queuePath = (dir / "hive.queue").string();
    const int queue = open(queuePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    const int fd = OpenLockFile(held.Path());
    ASSERT_GE(queue, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(platform::LockInTurn(queue, fd, 300ms), ETIMEDOUT);
    // The next in line is not kept waiting on the queue by the one that gave up.
    const int other = open(queuePath.c_str(), O_RDWR | O_CLOEXEC);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    held.LetGo();
    EXPECT_EQ(platform::LockInTurn(queue, fd, 60s), 0);
    close(fd);
    close(queue);
}

}  // namespace
