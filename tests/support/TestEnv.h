// Small helpers that tests share: private temporary folders and scoped environment variables.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <sys/types.h>

namespace testsupport {

// A fresh folder under the temporary folder, removed with everything in it on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Sets (or, with nullopt, removes) one environment variable and restores the old value on destruction.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Points XDG_CONFIG_HOME, XDG_DATA_HOME, XDG_RUNTIME_DIR and TMPDIR into one private folder, so a
// test never touches the user's own files and tests running side by side never meet.
class IsolatedHome {
public:
    IsolatedHome();

    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path configHome() const { return dir_ / "config"; }
    std::filesystem::path dataHome() const { return dir_ / "data"; }
    std::filesystem::path runtimeDir() const { return dir_ / "runtime"; }
    std::filesystem::path tmpDir() const { return dir_ / "tmp"; }

private:
    TempDir dir_;
    ScopedEnv config_;
    ScopedEnv data_;
    ScopedEnv runtime_;
    ScopedEnv tmp_;
};

// The outputs a test process starts from, so that a test binary passes under plain `ctest` whatever the
// caller's environment holds: SDL sound and pictures to its dummy drivers, and Qt offscreen (or on the X
// server, for tests that embed native windows). A test that needs another output (SDL's x11 or disk
// driver) sets it itself with ScopedEnv. When DISPLAY names no X server, a private Xvfb is started for
// the life of the process, so tests that embed a window need no wrapper either. Made in main(), after
// the test framework has read its flags.
enum class QtOutput { Offscreen, XServer };

class TestProcessEnvironment {
public:
    explicit TestProcessEnvironment(QtOutput qt);
    ~TestProcessEnvironment();
    TestProcessEnvironment(const TestProcessEnvironment&) = delete;
    TestProcessEnvironment& operator=(const TestProcessEnvironment&) = delete;

private:
    void StartPrivateDisplay();

    pid_t xvfb_ = -1;
};

// The folder of tests/support in the source tree (scripts such as the local HTTP server live there).
std::filesystem::path SupportDir();

// Reads a whole file; an empty string when it cannot be read.
std::string ReadFile(const std::filesystem::path& file);
// Writes a whole file, creating its folder; throws on failure.
void WriteFile(const std::filesystem::path& file, const std::string& content);

}  // namespace testsupport
