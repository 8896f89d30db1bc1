// Helpers of the player and decoder tests: the clips they need beyond the shared ones, bounded waits that
// pump the main thread's synchronised calls, the engine log, and a silent TCP server.
#pragma once

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/FFLog.h"

namespace playertest {

// 0 video (MPEG-4, every frame a key frame, 160x120, 25 fps, 10 s), 1 audio 440 Hz, 2 text subtitles,
// 3 audio 880 Hz, in Matroska.
std::filesystem::path TwoAudioSubtitleClip();

// Pumps the main thread's pending calls until done() holds or timeoutMs passes; returns done(). The default
// only guards against a hang: a loaded machine may take many seconds for what usually takes one.
bool WaitUntil(const std::function<bool()>& done, unsigned timeoutMs = 60000);

// The threads of this process.
int ThreadCount();

// A hang inside a handler cannot be bounded by the test's own waits (they are further down the same
// stack), so a watchdog ends the process with a message instead.
class Watchdog {
public:
    explicit Watchdog(const char* AWhat, unsigned ASeconds = 120);
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void Watch(unsigned ASeconds);

    const char* fWhat;
    std::mutex fLock;
    std::condition_variable fChanged;
    bool fDone = false;
    std::thread fThread;
};

// Collects the engine logger's lines for the life of the object.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    bool Contains(const std::string& AText) const;
    int Count(const std::string& AText) const;
    std::string All() const;

private:
    mutable std::mutex fLock;
    std::vector<std::string> fLines;
};

// A TCP server on 127.0.0.1 (port 0) that accepts connections and never sends a byte.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    int Port() const { return fPort; }
    int Accepted() const { return fAccepted; }

private:
    int fListen = -1;
    int fPort = 0;
    std::atomic<bool> fStop{false};
    std::atomic<int> fAccepted{0};
    std::vector<int> fClients;
    std::thread fThread;
};

}  // namespace playertest
