#include "tests/support/TestEnv.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "strevio-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) {
        old_ = old;
    }
    if (value) {
        setenv(name_.c_str(), value->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

ScopedEnv::~ScopedEnv() {
    if (old_) {
        setenv(name_.c_str(), old_->c_str(), 1);
    } else {
        unsetenv(name_.c_str());
    }
}

namespace {
std::string MakeSubdir(const TempDir& dir, const char* name) {
    fs::path p = dir / name;
    fs::create_directories(p);
    fs::permissions(p, fs::perms::owner_all, fs::perm_options::replace);
    return p.string();
}
}  // namespace

IsolatedHome::IsolatedHome()
    : config_("XDG_CONFIG_HOME", MakeSubdir(dir_, "config")),
      data_("XDG_DATA_HOME", MakeSubdir(dir_, "data")),
      runtime_("XDG_RUNTIME_DIR", MakeSubdir(dir_, "runtime")),
      tmp_("TMPDIR", MakeSubdir(dir_, "tmp")) {}

namespace {

bool HasDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display != nullptr && *display != '\0';
}

// Reads the display number that Xvfb writes to its -displayfd pipe once it accepts connections.
std::string ReadDisplayNumber(int fd) {
    std::string number;
    pollfd pfd{fd, POLLIN, 0};
    constexpr int kHangGuardMs = 30000;
    while (poll(&pfd, 1, kHangGuardMs) > 0) {
        char c = 0;
        if (read(fd, &c, 1) != 1 || c == '\n') {
            break;
        }
        number += c;
    }
    return number;
}

}  // namespace

TestProcessEnvironment::TestProcessEnvironment(QtOutput qt) {
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    // A session bus that fails at once. Without any, the D-Bus library starts one by forking from a process
    // whose other threads may hold the sanitizer's allocator lock, and the child hangs before its exec; Qt's
    // accessibility bridge asks for the bus while a window is built, so the program hung with it. The
    // tests' programs inherit this.
    setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/strevio-tests-bus", 1);
    // ctest's discovery only lists the tests: no X server is needed for that.
    const bool listing = GTEST_FLAG_GET(list_tests);
    setenv("QT_QPA_PLATFORM", qt == QtOutput::XServer && !listing ? "xcb" : "offscreen", 1);
    if (!HasDisplay() && !listing) {
        StartPrivateDisplay();
    }
}

TestProcessEnvironment::~TestProcessEnvironment() {
    if (xvfb_ > 0) {
        kill(xvfb_, SIGTERM);
        waitpid(xvfb_, nullptr, 0);
    }
}

void TestProcessEnvironment::StartPrivateDisplay() {
    int fds[2];
    if (pipe(fds) != 0) {
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    const std::string fd = std::to_string(fds[1]);
    // -noreset: a server that resets when its last client leaves refuses the clients that connect meanwhile.
    // +bs: test windows keep their own contents where another test's window covers them.
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1280x1024x24",
                          "-nolisten", "tcp", "-noreset", "+bs", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int rc = posix_spawnp(&xvfb_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    const std::string number = rc == 0 ? ReadDisplayNumber(fds[0]) : std::string();
    close(fds[0]);
    if (number.empty()) {
        throw std::runtime_error("no DISPLAY is set and a private Xvfb could not be started");
    }
    setenv("DISPLAY", (":" + number).c_str(), 1);
}

fs::path SupportDir() { return STREVIO_TEST_SUPPORT_DIR; }

std::string ReadFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void WriteFile(const fs::path& file, const std::string& content) {
    if (file.has_parent_path()) {
        fs::create_directories(file.parent_path());
    }
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) {
        throw std::runtime_error("cannot write " + file.string());
    }
}

}  // namespace testsupport
