#include "platform/qt/WindowMessages.h"

#include <gtest/gtest.h>
#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QWidget>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

namespace platform {
namespace {

constexpr int kBoundMs = 10000;

struct Received {
    WindowMessage message;
    bool onGuiThread;
};

// A window that keeps the messages it got.
class RecordingWindow : public QWidget {
public:
    explicit RecordingWindow(std::vector<Received>& log)
        : fReceiver(this, [&log, this](const WindowMessage& m) {
              log.push_back({m, QThread::currentThread() == thread()});
          }) {}

private:
    WindowMessageReceiver fReceiver;
};

bool PumpUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

TEST(WindowMessagesTest, MessagesPostedOnTheGuiThreadArriveLaterAndInOrder) {
    std::vector<Received> log;
    RecordingWindow window(log);
    for (unsigned msg = 2025; msg <= 2029; ++msg) {
        EXPECT_TRUE(PostMessage(&window, msg, msg * 10, -static_cast<std::intptr_t>(msg)));
    }
    EXPECT_TRUE(log.empty()) << "posting must not deliver at once";
    ASSERT_TRUE(PumpUntil([&] { return log.size() == 5; }));
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_EQ(log[i].message.msg, 2025 + i);
        EXPECT_EQ(log[i].message.wParam, (2025 + i) * 10);
        EXPECT_EQ(log[i].message.lParam, -static_cast<std::intptr_t>(2025 + i));
        EXPECT_TRUE(log[i].onGuiThread);
    }
}

TEST(WindowMessagesTest, MessagesFromSeveralThreadsAllArriveInEachThreadsOrder) {
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::vector<Received> log;
    RecordingWindow window(log);
    std::vector<std::thread> posters;
    std::atomic<int> refused{0};
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                if (!PostMessage(&window, 3051, t, i)) {
                    ++refused;
                }
            }
        });
    }
    for (auto& p : posters) {
        p.join();
    }
    ASSERT_EQ(refused, 0);
    ASSERT_TRUE(PumpUntil([&] { return log.size() == kThreads * kEach; }));
    std::vector<std::intptr_t> next(kThreads, 0);
    for (const Received& r : log) {
        EXPECT_TRUE(r.onGuiThread);
        ASSERT_GE(r.message.wParam, 0);
        ASSERT_LT(r.message.wParam, kThreads);
        EXPECT_EQ(r.message.lParam, next[r.message.wParam]++) << "thread " << r.message.wParam;
    }
}

TEST(WindowMessagesTest, AMessageToADestroyedWindowIsDropped) {
    std::vector<Received> log;
    auto window = std::make_unique<RecordingWindow>(log);
    QObject* address = window.get();
    EXPECT_TRUE(PostMessage(address, 3036, 1, 0));
    window.reset();
    EXPECT_FALSE(PostMessage(address, 3037, 1, 0));
    QCoreApplication::processEvents();
    EXPECT_TRUE(log.empty());
}

TEST(WindowMessagesTest, WorkersPostingWhileTheWindowIsDestroyedDoNoHarm) {
    std::vector<Received> log;
    auto window = std::make_unique<RecordingWindow>(log);
    QObject* address = window.get();
    std::atomic<bool> stop{false};
    std::atomic<int> accepted{0};
    std::atomic<int> refusedAfter{0};
    std::atomic<bool> gone{false};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t) {
        posters.emplace_back([&] {
            while (!stop) {
                const bool wasGone = gone.load();
                if (PostMessage(address, 3051, 0, 50)) {
                    ++accepted;
                    EXPECT_FALSE(wasGone) << "accepted after the window was destroyed";
                } else if (wasGone) {
                    ++refusedAfter;
                }
            }
        });
    }
    ASSERT_TRUE(PumpUntil([&] { return log.size() >= 10; }));
    window.reset();
    gone = true;
    ASSERT_TRUE(PumpUntil([&] { return refusedAfter.load() >= 10; }));
    stop = true;
    for (auto& p : posters) {
        p.join();
    }
    const std::size_t before = log.size();
    QCoreApplication::processEvents();
    EXPECT_EQ(log.size(), before) << "nothing may arrive after destruction";
}

TEST(WindowMessagesTest, AnObjectWithoutReceiverGetsNothing) {
    QObject plain;
    EXPECT_FALSE(PostMessage(&plain, 2025));
    EXPECT_FALSE(PostMessage(nullptr, 2025));
}

// A window that takes its messages in its own event() override.
class OverridingWindow : public QWidget {
public:
    std::vector<unsigned> got;

protected:
    bool event(QEvent* e) override {
        if (const WindowMessage* m = AsWindowMessage(e)) {
            got.push_back(m->msg);
            return true;
        }
        return QWidget::event(e);
    }

private:
    WindowMessageReceiver fReceiver{this};
};

TEST(WindowMessagesTest, AWindowMayHandleMessagesInItsEventOverride) {
    OverridingWindow window;
    EXPECT_TRUE(PostMessage(&window, 2026));
    EXPECT_TRUE(PostMessage(&window, 2028));
    ASSERT_TRUE(PumpUntil([&] { return window.got.size() == 2; }));
    EXPECT_EQ(window.got, (std::vector<unsigned>{2026, 2028}));
}

}  // namespace
}  // namespace platform
