// How long a registry change waits for the hive lock while other processes keep writing.
//
// Eight writer processes store values in one hive as fast as they can (each change reloads and saves
// the hive with its fsyncs, as the programs do). Meanwhile this process measures, many times over:
//   - a read of a value through a fresh TRegistry (no lock: it only reads the file),
//   - a write through TRegistry (the blocking, timer-bounded lock wait plus one save),
//   - the lock alone, taken the way the store now waits (LockInTurn: blocking flocks, timer-bounded),
//   - the lock alone, taken by polling with back-off from 0.2 ms up to 10 ms (the earlier wait), for
//     comparison.
// The same write and read are measured first with no writer running; that is the reference. The goal:
// with eight busy writers no operation waits more than 0.5 s.
//
// Usage: strevio_registry_lock_bench [samples]   (run with a private XDG_CONFIG_HOME; it makes its own)
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Registry.h"
#include "platform/RegistryLock.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr int kWriters = 8;
constexpr const char* kKey = "Software\\Bench";

struct Figures {
    double median = 0;
    double p99 = 0;
    double max = 0;
};

Figures Summarise(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    const auto at = [&](double q) { return ms[std::min(ms.size() - 1, static_cast<size_t>(q * ms.size()))]; };
    return {at(0.5), at(0.99), ms.back()};
}

std::vector<double> Measure(int samples, const std::function<void()>& operation) {
    std::vector<double> ms;
    for (int i = 0; i < samples; ++i) {
        const auto start = Clock::now();
        operation();
        ms.push_back(Ms(Clock::now() - start).count());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return ms;
}

int PolledLock(int /*queue*/, int fd) {
    auto pause = std::chrono::microseconds(200);
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
    return 0;
}

// `lock` is given the queue's and the lock's file descriptors.
std::vector<double> MeasureLock(int samples, const std::function<int(int, int)>& lock) {
    const std::string hive = platform::HivePath(platform::HKEY_CURRENT_USER).string();
    return Measure(samples, [&] {
        const int queue = open((hive + ".queue").c_str(), O_RDWR | O_CLOEXEC);
        const int fd = open((hive + ".lock").c_str(), O_RDWR | O_CLOEXEC);
        if (queue < 0 || fd < 0 || lock(queue, fd) != 0) {
            std::fprintf(stderr, "cannot lock %s\n", hive.c_str());
            std::exit(1);
        }
        close(fd);
        close(queue);
    });
}

pid_t StartWriter(int index) {
    const pid_t pid = fork();
    if (pid == 0) {
        try {
            platform::TRegistry reg;
            reg.OpenKey(kKey, true);
            const std::string prefix = "w" + std::to_string(index) + "-";
            for (unsigned n = 0;; ++n) {
                std::string name = prefix;
                name += std::to_string(n % 50);
                reg.WriteInteger(name, static_cast<int>(n));
            }
        } catch (const std::exception& e) {
            std::fprintf(stderr, "writer %d: %s\n", index, e.what());
        }
        _exit(1);
    }
    return pid;
}

void Print(const char* what, const Figures& f, const Figures* reference) {
    std::printf("  %-44s median %8.2f  p99 %8.2f  max %8.2f ms", what, f.median, f.p99, f.max);
    if (reference) {
        std::printf("   (max %.1fx the idle max)", f.max / std::max(reference->max, 0.001));
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int samples = argc > 1 ? std::max(10, std::atoi(argv[1])) : 200;
    char folder[] = "/tmp/registry-lock-bench-XXXXXX";
    if (!mkdtemp(folder)) {
        return 1;
    }
    setenv("XDG_CONFIG_HOME", folder, 1);
    {
        // A hive of a realistic size: a player's preferences and lists.
        platform::TRegistry reg;
        reg.OpenKey("Software\\Filler", true);
        for (int i = 0; i < 150; ++i) {
            reg.WriteString("filler" + std::to_string(i), std::string(100, 'f'));
        }
        reg.OpenKey(std::string("\\") + kKey, true);
        reg.WriteInteger("probe", 0);
    }
    const auto read = [] {
        platform::TRegistry reg;
        reg.OpenKeyReadOnly(kKey);
        (void)reg.ReadInteger("probe");
    };
    int written = 0;
    const auto write = [&] {
        platform::TRegistry reg;
        reg.OpenKey(kKey, false);
        reg.WriteInteger("probe", ++written);
    };
    const auto blocking = [](int queue, int fd) { return platform::LockInTurn(queue, fd, std::chrono::seconds(20)); };

    std::printf("registry lock wait, %d samples each, %d busy writers\n", samples, kWriters);
    std::printf("idle (reference):\n");
    const Figures idleRead = Summarise(Measure(samples, read));
    const Figures idleWrite = Summarise(Measure(samples, write));
    Print("read", idleRead, nullptr);
    Print("write", idleWrite, nullptr);

    std::vector<pid_t> writers;
    for (int i = 0; i < kWriters; ++i) {
        writers.push_back(StartWriter(i));
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::printf("with %d writers busy:\n", kWriters);
    const Figures busyRead = Summarise(Measure(samples, read));
    const Figures busyWrite = Summarise(Measure(samples, write));
    const Figures busyLock = Summarise(MeasureLock(samples, blocking));
    const Figures polledLock = Summarise(MeasureLock(samples, PolledLock));
    Print("read", busyRead, &idleRead);
    Print("write (blocking lock wait + save)", busyWrite, &idleWrite);
    Print("lock alone, waiting in turn (blocking flock)", busyLock, nullptr);
    Print("lock alone, polled with back-off (earlier)", polledLock, nullptr);
    std::printf("polled/blocking lock wait: median %.1fx, max %.1fx\n",
                polledLock.median / std::max(busyLock.median, 0.001), polledLock.max / std::max(busyLock.max, 0.001));

    for (pid_t pid : writers) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    fs::remove_all(folder);
    const double worst = std::max({busyRead.max, busyWrite.max, busyLock.max});
    std::printf("longest wait with %d busy writers: %.1f ms (goal: under 500 ms) -> %s\n", kWriters, worst,
                worst < 500 ? "met" : "NOT met");
    return worst < 500 ? 0 : 2;
}
