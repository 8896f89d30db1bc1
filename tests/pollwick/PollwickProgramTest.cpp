// The pollwick program as a process: a copy of it in a private program folder with "updates.cfg",
// run against the local server.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <thread>

#include "platform/MessageEndpoint.h"
#include "platform/WindowsMessages.h"
#include "tests/pollwick/UpdateCheckTestSupport.h"
#include "tests/support/ChildProcess.h"

namespace pollwick {
namespace {

namespace fs = std::filesystem;
using testing::BodyScript;
using testing::PollwickHome;
using testing::TaggedAnswer;
using testing::UpdatesCfg;

constexpr auto kRunBound = std::chrono::seconds(60);

class PollwickProgram : public ::testing::Test {
protected:
    void SetUp() override {
        program_ = home_.programFolder() / "pollwick";
        fs::copy_file(POLLWICK_PROGRAM, program_);
    }

    void startServer(const std::string& answer) { startScriptedServer(BodyScript("/check", answer)); }

    void startScriptedServer(const std::string& script) {
        server_ = std::make_unique<testsupport::HttpServer>(testing::ScriptOptions(script));
        UpdatesCfg cfg;
        cfg.url = server_->Url("/check");
        home_.writeUpdatesCfg(cfg);
    }

    // Runs the program to its end (bounded); its exit code, or -1 when it had to be killed.
    int run(const std::vector<std::string>& args = {}) {
        std::vector<std::string> argv{program_.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        testsupport::ChildProcess process(argv);
        EXPECT_TRUE(process.Started());
        return process.WaitForExit(kRunBound).value_or(-1);
    }

    size_t requests() const { return server_ ? server_->RequestsFor("/check").size() : 0; }

    PollwickHome home_;
    testsupport::ScopedEnv qpa_{"QT_QPA_PLATFORM", "offscreen"};
    fs::path program_;
    std::unique_ptr<testsupport::HttpServer> server_;
};

TEST_F(PollwickProgram, WithoutSettingsFileExitsAtOnceAndTouchesNothing) {
    EXPECT_EQ(run({"--debug"}), 0);
    EXPECT_FALSE(fs::exists(home_.home().configHome() / "Foo"));
}

TEST_F(PollwickProgram, FirstRunAsksOnceSecondRunWithinTheDayAsksNothing) {
    startServer(TaggedAnswer({{"data", "N"}}));
    home_.writeState("delay_min_after_startup=0\ndays_between_checks=1\n");
    const auto before = static_cast<int64_t>(std::time(nullptr));
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(requests(), 1u);
    Configuration& cfg = home_.loadConfiguration();
    EXPECT_GE(cfg.last_check_time, before);
    const std::string state = testsupport::ReadFile(home_.stateFile());

    EXPECT_EQ(run(), 0);
    EXPECT_EQ(requests(), 1u);
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), state);
}

TEST_F(PollwickProgram, IgnoredVersionInAnotherLetterCaseShowsNothing) {
    startServer(TaggedAnswer({{"data", "Y"}, {"ver", "2.0-Beta"}, {"fc", "x"}}));
    home_.writeState("delay_min_after_startup=0\nignore_version=2.0-BETA\n");
    EXPECT_EQ(run(), 0);  // no window: the program ends by itself
    EXPECT_EQ(requests(), 1u);
}

TEST_F(PollwickProgram, NewVersionKeepsTheProgramRunningWithItsWindow) {
    startServer(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}, {"fc", "Foo 2.0"}}));
    home_.writeState("delay_min_after_startup=0\n");
    testsupport::ChildProcess process({program_.string(), "--debug"});
    ASSERT_TRUE(process.Started());
    const fs::path log = home_.home().configHome() / "Foo" / "log.txt";
    for (int i = 0; i < 1200; ++i) {
        if (testsupport::ReadFile(log).find("TFormMain::InitHandler: END") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_NE(testsupport::ReadFile(log).find("CheckForUpdates: END - display? yes"), std::string::npos);
    EXPECT_NE(testsupport::ReadFile(log).find("TFormMain::InitHandler: END"), std::string::npos);
    // The offer waits for the user: the program is still there, and the shown version is recorded.
    EXPECT_FALSE(process.WaitForExit(std::chrono::milliseconds(500)).has_value());
    EXPECT_EQ(requests(), 1u);
    EXPECT_NE(testsupport::ReadFile(home_.stateFile()).find("last_version_shown=2.0"), std::string::npos);
}

// A server that streams a gigabyte as its answer: the check reads no more than a real answer could be,
// fails cleanly and saves its state. Its memory is compared with a check of a small answer, as the
// program's own size depends on the build.
TEST_F(PollwickProgram, GigabyteAnswerFailsTheCheckWithLittleMemory) {
    startScriptedServer(R"({"/check": {"stream_length": 1073741824}, "/small": {"body": "~data^N^data~"}})");
    auto peakMemoryOfACheck = [&](const std::string& path) {
        UpdatesCfg cfg;
        cfg.url = server_->Url(path);
        home_.writeUpdatesCfg(cfg);
        home_.writeState("delay_min_after_startup=0\n");
        testsupport::ChildProcess process({program_.string()});
        EXPECT_TRUE(process.Started());
        EXPECT_EQ(process.WaitForExit(kRunBound), 0);
        return process.PeakMemoryKiB();
    };
    const long small = peakMemoryOfACheck("/small");
    const long huge = peakMemoryOfACheck("/check");
    EXPECT_EQ(requests(), 1u);
    EXPECT_NE(testsupport::ReadFile(home_.stateFile()).find("last_check_time="), std::string::npos);
    // The answer may take its limit (1 MiB) a few times over while it is read and turned into lines.
    EXPECT_LT(huge - small, 16 * 1024) << "KiB; small answer " << small << ", huge answer " << huge;
    std::printf("peak memory of the check: %ld KiB (small answer: %ld KiB)\n", huge, small);
}

TEST_F(PollwickProgram, DebugArgumentWritesTheLog) {
    startServer(TaggedAnswer({{"data", "N"}}));
    home_.writeState("delay_min_after_startup=0\n");
    EXPECT_EQ(run({"--debug"}), 0);
    const std::string log = testsupport::ReadFile(home_.home().configHome() / "Foo" / "log.txt");
    EXPECT_NE(log.find("CheckForUpdates: BEGIN"), std::string::npos);
    EXPECT_NE(log.find("CheckForUpdates: END - display? no"), std::string::npos);
}

TEST_F(PollwickProgram, DebugArgumentIsCaseSensitive) {
    startServer(TaggedAnswer({{"data", "N"}}));
    home_.writeState("delay_min_after_startup=0\n");
    EXPECT_EQ(run({"--DEBUG"}), 0);
    EXPECT_FALSE(fs::exists(home_.home().configHome() / "Foo" / "log.txt"));
}

TEST_F(PollwickProgram, ShutdownFileDuringTheDelayEndsWithoutRequestOrSaving) {
    startServer(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}));
    home_.writeState("delay_min_after_startup=2\n");
    const std::string before = testsupport::ReadFile(home_.stateFile());
    testsupport::WriteFile(home_.programFolder() / "shutdown", "");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), before);
}

TEST_F(PollwickProgram, CloseMessageToTheHiddenWindowEndsWithoutRequestOrSaving) {
    startServer(TaggedAnswer({{"data", "Y"}, {"ver", "2.0"}}));
    home_.writeState("delay_min_after_startup=1\n");
    const std::string before = testsupport::ReadFile(home_.stateFile());
    testsupport::ChildProcess process({program_.string()});
    ASSERT_TRUE(process.Started());
    bool posted = false;
    for (int i = 0; i < 400 && !posted; ++i) {
        if (auto window = platform::FindWindow("FooPollwick")) {
            posted = platform::PostMessageTo(*window, platform::WM_CLOSE, 0, 0);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ASSERT_TRUE(posted);
    EXPECT_EQ(process.WaitForExit(kRunBound), 0);
    EXPECT_EQ(requests(), 0u);
    EXPECT_EQ(testsupport::ReadFile(home_.stateFile()), before);
}

TEST_F(PollwickProgram, SecondInstanceDuringTheFirstsDelayRunsToo) {
    startServer(TaggedAnswer({{"data", "N"}}));
    home_.writeState("delay_min_after_startup=1\n");
    testsupport::ChildProcess first({program_.string()});
    ASSERT_TRUE(first.Started());
    for (int i = 0; i < 400 && !platform::FindWindow("FooPollwick"); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    // The second one has no delay left to wait: it asks at once although the first holds the mutex.
    home_.writeState("delay_min_after_startup=0\n");
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(requests(), 1u);
    testsupport::WriteFile(home_.programFolder() / "shutdown", "");
    EXPECT_EQ(first.WaitForExit(kRunBound), 0);
    EXPECT_EQ(requests(), 1u);
}

}  // namespace
}  // namespace pollwick
