// What the queue and window tests share: a receiver that records window messages, bounded pumping of
// the Qt event loop, and a private home whose Configuration is the process's.
#pragma once

#include <QCoreApplication>
#include <QObject>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/qt/QtDispatcher.h"
#include "platform/qt/WindowMessages.h"
#include "tests/pollwick/UpdateCheckTestSupport.h"

namespace pollwick::testing {

// Runs the event loop until done() or the bound passes; done()'s last value.
inline bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
    const auto end = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
}

// A stand-in main form that records every message posted to it.
class MessageLog : public QObject {
public:
    MessageLog() : receiver_(this, [this](const platform::WindowMessage& m) { messages.push_back(m); }) {}

    int count(unsigned msg) const {
        int n = 0;
        for (const auto& m : messages) {
            n += m.msg == msg ? 1 : 0;
        }
        return n;
    }
    const platform::WindowMessage* last(unsigned msg) const {
        for (auto it = messages.rbegin(); it != messages.rend(); ++it) {
            if (it->msg == msg) {
                return &*it;
            }
        }
        return nullptr;
    }

    std::vector<platform::WindowMessage> messages;  // main thread only

private:
    platform::WindowMessageReceiver receiver_;
};

// A private home with "updates.cfg" and the process's Configuration, downloads going into its own
// temporary folder, and the dispatcher wired to Qt.
class GuiFixture : public ::testing::Test {
protected:
    void SetUp() override {
        platform::InstallQtDispatcher();
        home_.writeUpdatesCfg(UpdatesCfg());
        Configuration& cfg = home_.loadConfiguration();
        downloads_ = home_.home().root() / "downloads";
        cfg.Preferences.TempFolder = downloads_.string() + "/";
    }
    void TearDown() override { platform::UninstallQtDispatcher(); }

    PollwickHome home_;
    std::filesystem::path downloads_;
};

}  // namespace pollwick::testing
