#include "tests/support/ChildProcess.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <thread>

#include "tests/support/Fixtures.h"

namespace testsupport {

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : pid_(StartProgram(argv)) {}

ChildProcess::~ChildProcess() {
    if (Started() && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> ChildProcess::WaitForExit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (Started() && !reaped_) {
        int status = 0;
        struct rusage usage {};
        if (wait4(pid_, &status, WNOHANG, &usage) == pid_) {
            reaped_ = true;
            peakMemoryKiB_ = usage.ru_maxrss;
            exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exitCode_;
}

}  // namespace testsupport
