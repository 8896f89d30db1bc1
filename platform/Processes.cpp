#include "platform/Processes.h"

#include "platform/Dispatcher.h"
#include "platform/NamedObjects.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

extern char** environ;

namespace platform {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(10);

bool HasNul(const std::string& text) {
    return text.find('\0') != std::string::npos;
}

// An argument vector for exec; it points into `args`, which must outlive it.
std::vector<char*> ExecVector(const std::vector<std::string>& args) {
    std::vector<char*> vector;
    vector.reserve(args.size() + 1);
    for (const auto& arg : args) {
        vector.push_back(const_cast<char*>(arg.c_str()));
    }
    vector.push_back(nullptr);
    return vector;
}

bool IsExecutableFile(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// The program's path: a name with '/' as it is, else the first executable of that name on PATH.
std::optional<std::string> ResolveProgram(const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char* pathVariable = std::getenv("PATH");
    std::string search = pathVariable != nullptr ? pathVariable : "/bin:/usr/bin";
    std::size_t start = 0;
    for (;;) {
        std::size_t end = search.find(':', start);
        std::string folder = search.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + name;
        if (IsExecutableFile(candidate)) {
            return candidate;
        }
        if (end == std::string::npos) {
            return std::nullopt;
        }
        start = end + 1;
    }
}

bool ValidArguments(const std::vector<std::string>& argv) {
    if (argv.empty() || argv.front().empty()) {
        return false;
    }
    for (const auto& arg : argv) {
        if (HasNul(arg)) {
            return false;
        }
    }
    return true;
}

// Runs in the forked processes only: async-signal-safe calls.
[[noreturn]] void ExecOrReport(const char* path, char* const* argv, int reportFd) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &defaultAction, nullptr);
    execve(path, argv, environ);
    int failure = errno;
    [[maybe_unused]] ssize_t written = write(reportFd, &failure, sizeof(failure));
    _exit(127);
}

bool WaitForExit(pid_t pid, int& status) {
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return false;
        }
    }
    return true;
}

// Starts the program as the child of a middle process that ends at once (see the header).
bool StartOrphan(const std::vector<std::string>& argv) {
    if (!ValidArguments(argv)) {
        return false;
    }
    auto path = ResolveProgram(argv.front());
    if (!path) {
        return false;
    }
    std::vector<char*> execArgv = ExecVector(argv);
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        return false;
    }
    FileDescriptor readEnd(report[0]);
    FileDescriptor writeEnd(report[1]);
    pid_t middle = fork();
    if (middle < 0) {
        return false;
    }
    if (middle == 0) {
        pid_t program = fork();
        if (program == 0) {
            ExecOrReport(path->c_str(), execArgv.data(), writeEnd.Get());
        }
        if (program < 0) {
            int failure = errno;
            [[maybe_unused]] ssize_t written = write(writeEnd.Get(), &failure, sizeof(failure));
        }
        _exit(0);
    }
    writeEnd = FileDescriptor();
    int status = 0;
    WaitForExit(middle, status);
    // End of file means that exec closed the program's copy of the pipe: the program runs.
    int failure = 0;
    ssize_t got = 0;
    do {
        got = read(readEnd.Get(), &failure, sizeof(failure));
    } while (got < 0 && errno == EINTR);
    return got == 0;
}

// A posix_spawn attribute set that gives the program an empty signal mask and a default SIGPIPE.
class SpawnAttributes {
public:
    SpawnAttributes() {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    const posix_spawnattr_t* Get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions_); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions_); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;
    bool ChangeFolder(const std::filesystem::path& folder) {
        return posix_spawn_file_actions_addchdir_np(&actions_, folder.c_str()) == 0;
    }
    const posix_spawn_file_actions_t* Get() const { return &actions_; }

private:
    posix_spawn_file_actions_t actions_;
};

int ExitCodeOf(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace

bool ShellOpen(const std::string& target) {
    return StartOrphan({"xdg-open", target});
}

bool StartProgram(const std::vector<std::string>& argv) {
    return StartOrphan(argv);
}

bool RunAndWait(const std::vector<std::string>& argv, int& exitCode, const RunOptions& options) {
    exitCode = -1;
    if (!ValidArguments(argv)) {
        return false;
    }
    SpawnFileActions actions;
    if (!options.workingFolder.empty() && !actions.ChangeFolder(options.workingFolder)) {
        return false;
    }
    SpawnAttributes attributes;
    std::vector<char*> execArgv = ExecVector(argv);
    pid_t pid = 0;
    if (posix_spawnp(&pid, execArgv[0], actions.Get(), attributes.Get(), execArgv.data(), environ) != 0) {
        return false;
    }
    for (;;) {
        int status = 0;
        pid_t ended = waitpid(pid, &status, WNOHANG);
        if (ended == pid) {
            exitCode = ExitCodeOf(status);
            return true;
        }
        if (ended < 0 && errno != EINTR) {
            return true;  // reaped elsewhere (SIGCHLD ignored): it ran, its code is unknown
        }
        ProcessMessages();
        if (options.stopWaiting && options.stopWaiting()) {
            return true;
        }
        std::this_thread::sleep_for(kPollInterval);
    }
}

}  // namespace platform
