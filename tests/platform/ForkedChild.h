// A forked child process for tests that need a second live process, with a channel of 64-bit values in
// each direction. The child runs a function and ends with _exit, whose code is the function's result, so
// it never runs the parent's test teardown or destroys objects it inherited.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <thread>

namespace testsupport {

class ChildChannel {
public:
    ChildChannel(int in, int out) : in_(in), out_(out) {}

    bool Send(std::uint64_t value) const { return write(out_, &value, sizeof(value)) == sizeof(value); }

    // The next value, or nullopt when none came within timeoutMs or the other side closed its end.
    std::optional<std::uint64_t> Receive(int timeoutMs = 20000) const {
        pollfd ready{in_, POLLIN, 0};
        if (poll(&ready, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        std::uint64_t value = 0;
        if (read(in_, &value, sizeof(value)) != sizeof(value)) {
            return std::nullopt;
        }
        return value;
    }

private:
    int in_;
    int out_;
};

class ForkedChild {
public:
    // Runs body(ChildChannel) in a child; an exception in the child gives exit code 98.
    template <typename Body>
    explicit ForkedChild(Body body) {
        int toChild[2] = {-1, -1};
        int toParent[2] = {-1, -1};
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(toParent, O_CLOEXEC) != 0) {
            std::terminate();
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(toChild[1]);
            close(toParent[0]);
            int code = 98;
            try {
                code = body(ChildChannel(toChild[0], toParent[1]));
            } catch (...) {
            }
            _exit(code);
        }
        close(toChild[0]);
        close(toParent[1]);
        channel_ = ChildChannel(toParent[0], toChild[1]);
        in_ = toParent[0];
        out_ = toChild[1];
    }

    ~ForkedChild() {
        if (pid_ > 0) {
            Kill();
        }
        close(in_);
        close(out_);
    }

    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    const ChildChannel& Channel() const { return channel_; }
    pid_t Pid() const { return pid_; }

    // The child's exit code; -1 when it did not end within timeoutMs (it is then killed) or was killed.
    int Wait(int timeoutMs = 30000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= deadline) {
                Kill();
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Ends the child with SIGKILL and reaps it.
    void Kill() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGKILL);
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    ChildChannel channel_{-1, -1};
};

}  // namespace testsupport
