#include "platform/Processes.h"

#include "platform/Dispatcher.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::ScopedEnv;

// Puts a recording "xdg-open" (and "recorder") first on PATH. Each run writes its arguments, one file
// each, into a folder "call.<pid>" under the record folder, which appears whole once all are written.
class RecordingOpener : public testing::Test {
protected:
    RecordingOpener()
        : path_("PATH", (home_.root() / "bin").string() + ":" + std::getenv("PATH")),
          record_("RECORD_DIR", (home_.root() / "record").string()) {
        const std::string script =
            "#!/bin/sh\n"
            "dir=\"$RECORD_DIR/call.$$\"\n"
            "mkdir -p \"$dir.tmp\" || exit 1\n"
            "i=0\n"
            "for arg in \"$@\"; do\n"
            "  i=$((i+1))\n"
            "  printf '%s' \"$arg\" > \"$dir.tmp/$i\"\n"
            "done\n"
            "mv \"$dir.tmp\" \"$dir\"\n";
        for (const char* name : {"xdg-open", "recorder"}) {
            testsupport::WriteFile(home_.root() / "bin" / name, script);
            fs::permissions(home_.root() / "bin" / name, fs::perms::owner_all);
        }
        fs::create_directories(home_.root() / "record");
    }

    // The arguments of the next finished call, waiting for it up to 20 s; removes its record.
    std::optional<std::vector<std::string>> NextCall() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            for (const auto& entry : fs::directory_iterator(home_.root() / "record")) {
                const std::string name = entry.path().filename().string();
                if (name.rfind("call.", 0) != 0 || name.find(".tmp") != std::string::npos) {
                    continue;
                }
                std::vector<std::string> args;
                for (int i = 1; fs::exists(entry.path() / std::to_string(i)); ++i) {
                    args.push_back(testsupport::ReadFile(entry.path() / std::to_string(i)));
                }
                fs::remove_all(entry.path());
                return args;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return std::nullopt;
    }

    testsupport::IsolatedHome home_;
    ScopedEnv path_;
    ScopedEnv record_;
};

TEST_F(RecordingOpener, ShellOpenPassesTheTargetAsOneUnchangedArgument) {
    const std::vector<std::string> targets = {
        "https://example.com/download?a=1&b=2;echo hi",
        "/home/user/My Videos/clip one.mkv",
        "with \"double\" and 'single' quotes",
        "-n",
        "--version",
        "%USERPROFILE%\\clip.avi",
        "$HOME `id` $(id)",
        "bytes \xff\xfe\x80 not UTF-8",
        "line\nbreak\ttab",
        "*?[a]",
        "",
    };
    for (const auto& target : targets) {
        ASSERT_TRUE(platform::ShellOpen(target)) << target;
        auto call = NextCall();
        ASSERT_TRUE(call) << "no call recorded for " << target;
        EXPECT_EQ(*call, std::vector<std::string>{target});
    }
}

TEST_F(RecordingOpener, StartProgramPassesEveryArgumentAndLeavesNoZombie) {
    const std::vector<std::string> argv = {"recorder",   "first arg", "",     "-x",
                                           "\"quoted\"", "%TEMP%",    "\xc3("};
    ASSERT_TRUE(platform::StartProgram(argv));
    auto call = NextCall();
    ASSERT_TRUE(call);
    EXPECT_EQ(*call, std::vector<std::string>(argv.begin() + 1, argv.end()));
    // The recorder has ended by now; it never was this process's child, so nothing is left to reap.
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(RecordingOpener, AProgramGivenByPathIsStarted) {
    ASSERT_TRUE(platform::StartProgram({(home_.root() / "bin" / "recorder").string(), "by path"}));
    auto call = NextCall();
    ASSERT_TRUE(call);
    EXPECT_EQ(*call, std::vector<std::string>{"by path"});
}

TEST_F(RecordingOpener, StartsThatCannotWorkReportFailure) {
    EXPECT_FALSE(platform::StartProgram({}));
    EXPECT_FALSE(platform::StartProgram({""}));
    EXPECT_FALSE(platform::StartProgram({"no-such-program-anywhere"}));
    EXPECT_FALSE(platform::StartProgram({(home_.root() / "missing").string()}));
    EXPECT_FALSE(platform::StartProgram({"recorder", std::string("nul\0inside", 10)}));
    EXPECT_FALSE(platform::ShellOpen(std::string("a\0b", 3)));
    testsupport::WriteFile(home_.root() / "bin" / "not-executable", "#!/bin/sh\n");
    EXPECT_FALSE(platform::StartProgram({"not-executable"}));
    int status = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "no child left behind";
}

TEST_F(RecordingOpener, ShellOpenFailsWhenNoOpenerIsInstalled) {
    fs::create_directories(home_.root() / "empty");
    ScopedEnv emptyPath("PATH", (home_.root() / "empty").string());
    EXPECT_FALSE(platform::ShellOpen("https://example.com/"));
}

TEST(RunAndWait, ReturnsTheExitCode) {
    struct Case {
        std::vector<std::string> argv;
        int exitCode;
    };
    const std::vector<Case> cases = {
        {{"sh", "-c", "exit 0"}, 0},
        {{"sh", "-c", "exit 7"}, 7},
        {{"sh", "-c", "exit 255"}, 255},
        {{"sh", "-c", "kill -TERM $$"}, 128 + SIGTERM},
        {{"sh", "-c", "test \"$1\" = 'a b \"c\"'", "sh", "a b \"c\""}, 0},
    };
    for (const auto& c : cases) {
        int exitCode = -2;
        ASSERT_TRUE(platform::RunAndWait(c.argv, exitCode)) << c.argv[2];
        EXPECT_EQ(exitCode, c.exitCode) << c.argv[2];
    }
}

TEST(RunAndWait, RunsInTheGivenWorkingFolder) {
    testsupport::TempDir dir;
    platform::RunOptions options;
    options.workingFolder = dir.path();
    int exitCode = -1;
    ASSERT_TRUE(platform::RunAndWait({"sh", "-c", "pwd -P > where"}, exitCode, options));
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "where"), fs::canonical(dir.path()).string() + "\n");
}

TEST(RunAndWait, ReportsWhatCouldNotBeStarted) {
    int exitCode = 0;
    EXPECT_FALSE(platform::RunAndWait({"no-such-program-anywhere"}, exitCode));
    EXPECT_EQ(exitCode, -1);
    EXPECT_FALSE(platform::RunAndWait({}, exitCode));
    EXPECT_FALSE(platform::RunAndWait({"sh", std::string("-c\0x", 4)}, exitCode));
    platform::RunOptions options;
    options.workingFolder = "/no/such/folder/anywhere";
    EXPECT_FALSE(platform::RunAndWait({"sh", "-c", "exit 0"}, exitCode, options));
}

TEST(RunAndWait, KeepsServingTheMainThreadWhileWaiting) {
    platform::SetMainThread();
    testsupport::TempDir dir;
    const fs::path flag = dir / "flag";
    std::atomic<bool> ranOnMainThread{false};
    // The worker's call can run only if RunAndWait pumps; the program ends once the call made the flag.
    std::thread worker([&] {
        try {
            platform::Synchronize([&] {
                ranOnMainThread = platform::IsMainThread();
                testsupport::WriteFile(flag, "");
            });
        } catch (const platform::ESynchronizeFailed&) {
        }
    });
    int exitCode = -1;
    bool started = platform::RunAndWait(
        {"sh", "-c", "i=0; while [ ! -e \"$1\" ]; do i=$((i+1)); [ $i -gt 400 ] && exit 1; sleep 0.05; done",
         "sh", flag.string()},
        exitCode);
    worker.join();
    EXPECT_TRUE(started);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(ranOnMainThread);
}

TEST(RunAndWait, StopsWaitingWhenAsked) {
    platform::RunOptions options;
    int asked = 0;
    options.stopWaiting = [&] { return ++asked >= 3; };
    int exitCode = 0;
    EXPECT_TRUE(platform::RunAndWait({"sleep", "1"}, exitCode, options));
    EXPECT_EQ(exitCode, -1);
    EXPECT_EQ(asked, 3);
    // The program was left running; reap it here so that no later test meets it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = 0;
    while (waitpid(-1, &status, WNOHANG) != -1 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace
