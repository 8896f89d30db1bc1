// A program that a test starts and watches, for tests that need more than its exit code.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// Started by StartProgram with an argument vector and this process's environment; killed and reaped on
// destruction when it still runs, so a failed test leaves no program behind.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    bool Started() const { return pid_ > 0; }
    pid_t Pid() const { return pid_; }

    // The exit code once the program has ended within timeout (128 + the signal's number when a signal
    // ended it); nullopt while it still runs, and when it never started.
    std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

    // The largest resident memory of the ended program, in KiB.
    long PeakMemoryKiB() const { return peakMemoryKiB_; }

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    std::optional<int> exitCode_;
    long peakMemoryKiB_ = 0;
};

}  // namespace testsupport
