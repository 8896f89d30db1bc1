#include "tests/engine/PlayerTestSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/base/Myutils.h"
#include "tests/support/Fixtures.h"

namespace playertest {

int ThreadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        ++count;
    }
    return count;
}

Watchdog::Watchdog(const char* AWhat, unsigned ASeconds) : fWhat(AWhat), fThread([this, ASeconds] { Watch(ASeconds); }) {}

Watchdog::~Watchdog() {
    {
        std::lock_guard lock(fLock);
        fDone = true;
    }
    fChanged.notify_all();
    fThread.join();
}

void Watchdog::Watch(unsigned ASeconds) {
    std::unique_lock lock(fLock);
    if (!fChanged.wait_for(lock, std::chrono::seconds(ASeconds), [this] { return fDone; })) {
        std::fprintf(stderr, "hang: %s\n", fWhat);
        std::abort();
    }
}

std::filesystem::path TwoAudioSubtitleClip() {
    testsupport::MakeClip(testsupport::Clip::NoStreams);  // leaves its subtitle text beside it
    const std::string srt = (testsupport::FixtureDir() / "no_streams.srt").string();
    return testsupport::MakeFixture("h8_two_audio_subtitle.mkv",
                                    {"-f",   "lavfi",
                                     "-i",   "testsrc=size=160x120:rate=25:duration=10",
                                     "-f",   "lavfi",
                                     "-i",   "sine=frequency=440:sample_rate=44100:duration=10",
                                     "-i",   srt,
                                     "-f",   "lavfi",
                                     "-i",   "sine=frequency=880:sample_rate=44100:duration=10",
                                     "-map", "0:v",
                                     "-map", "1:a",
                                     "-map", "2:s",
                                     "-map", "3:a",
                                     "-c:v", "mpeg4",
                                     "-g",   "1",
                                     "-q:v", "8",
                                     "-c:a", "aac",
                                     "-c:s", "srt",
                                     "{out}"});
}

bool WaitUntil(const std::function<bool()>& done, unsigned timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return done();
        }
        MyProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LogCapture::LogCapture() {
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetOnLog([this](TObject*, int, TLogLevel, const std::string& AMsg) {
        std::lock_guard lock(fLock);
        fLines.push_back(AMsg);
    });
}

LogCapture::~LogCapture() {
    FFLogger().SetOnLog(nullptr);
}

bool LogCapture::Contains(const std::string& AText) const {
    std::lock_guard lock(fLock);
    for (const std::string& line : fLines) {
        if (line.find(AText) != std::string::npos) {
            return true;
        }
    }
    return false;
}

int LogCapture::Count(const std::string& AText) const {
    std::lock_guard lock(fLock);
    int count = 0;
    for (const std::string& line : fLines) {
        count += line.find(AText) != std::string::npos ? 1 : 0;
    }
    return count;
}

std::string LogCapture::All() const {
    std::lock_guard lock(fLock);
    std::string all;
    for (const std::string& line : fLines) {
        all += line + "\n";
    }
    return all;
}

SilentServer::SilentServer() {
    fListen = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof(addr);
    if (fListen < 0 || bind(fListen, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(fListen, 4) != 0 || getsockname(fListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        throw std::runtime_error("SilentServer: cannot listen on 127.0.0.1");
    }
    fPort = ntohs(addr.sin_port);
    fThread = std::thread([this] {
        while (!fStop) {
            pollfd p{fListen, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                const int client = accept(fListen, nullptr, nullptr);
                if (client >= 0) {
                    fClients.push_back(client);  // held open, never written to
                    ++fAccepted;
                }
            }
        }
    });
}

SilentServer::~SilentServer() {
    fStop = true;
    fThread.join();
    for (int client : fClients) {
        close(client);
    }
    close(fListen);
}

}  // namespace playertest
