#include "platform/qt/QtDispatcher.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/Dispatcher.h"

namespace platform {
namespace {

constexpr int kBoundMs = 10000;

class QtDispatcherTest : public ::testing::Test {
protected:
    void SetUp() override { InstallQtDispatcher(); }
    void TearDown() override {
        UninstallQtDispatcher();
        SetMainThread();
    }

    // Runs Qt's own event loop, the way the programs idle, until done is true (bounded).
    static bool RunQtLoopUntil(const std::atomic<bool>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
        while (!done.load() && std::chrono::steady_clock::now() < deadline) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        return done.load();
    }
};

TEST_F(QtDispatcherTest, AWorkerCallIsServedByQtsEventLoop) {
    std::atomic<bool> done{false};
    int result = 0;
    std::thread worker([&] {
        result = Synchronize([] { return IsMainThread() ? 5 : -5; });
        done = true;
        QMetaObject::invokeMethod(
            qApp, [] {}, Qt::QueuedConnection);  // let the loop notice
    });
    const bool served = RunQtLoopUntil(done);
    worker.join();
    ASSERT_TRUE(served);
    EXPECT_EQ(result, 5);
}

TEST_F(QtDispatcherTest, ProcessMessagesDeliversPendingQtEvents) {
    bool delivered = false;
    QMetaObject::invokeMethod(
        qApp, [&] { delivered = true; }, Qt::QueuedConnection);
    ProcessMessages();
    EXPECT_TRUE(delivered);
}

TEST_F(QtDispatcherTest, AfterUninstallAWorkerCallFailsAtOnce) {
    UninstallQtDispatcher();
    bool failed = false;
    std::thread worker([&] {
        try {
            Synchronize([] {});
        } catch (const ESynchronizeFailed&) {
            failed = true;
        }
    });
    worker.join();
    EXPECT_TRUE(failed);
}

TEST_F(QtDispatcherTest, AMainThreadWaitingPumpingServesAWorker) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        Synchronize([] {});
        done = true;
    });
    EXPECT_TRUE(WaitPumping([&] { return done.load(); }, kBoundMs));
    worker.join();
}

}  // namespace
}  // namespace platform
