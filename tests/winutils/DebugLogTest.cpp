#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestEnv.h"
#include "tests/winutils/Flavour.h"
#include "winutils/Winutils_debug.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::WriteFile;
using winutils::DebugLog;
using winutils::PreferencesHead;
using winutils::StartDebugLog;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

const std::regex kStampedLine(R"(^(\d{2})(\d{2})(\d{2})-(\d{3}) (\d{4,}): (.*)$)");

class DebugLogTestFixture : public ::testing::Test {
protected:
    void SetUp() override {
        winutils::testing::ResetDebugLog();
        folder_ = home_.configHome() / "Prog";
        prefs_.LogFile = (folder_ / "log.txt").string();
        prefs_.LogFile1 = (folder_ / "log.1.txt").string();
        prefs_.LogFile2 = (folder_ / "log.2.txt").string();
        winutils::SetDebugLogPreferences(&prefs_);
    }
    void TearDown() override {
        winutils::SetDebugLogPreferences(nullptr);
        winutils::testing::ResetDebugLog();
    }

    std::string log() const { return ReadFile(prefs_.LogFile); }

    testsupport::IsolatedHome home_;
    fs::path folder_;
    PreferencesHead prefs_;
};

using FLAVOURED(DebugLogTest) = DebugLogTestFixture;

TEST_F(FLAVOURED(DebugLogTest), LineCarriesTimeThreadIdAndText) {
    prefs_.DebugMask = 1;
    StartDebugLog();
    DebugLog(1, "value %d of [%s]", 42, "x");

    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kStampedLine)) << lines[0];
    EXPECT_LT(std::stoi(m[1]), 24);
    EXPECT_LT(std::stoi(m[2]), 60);
    EXPECT_LT(std::stoi(m[3]), 61);
    EXPECT_EQ(std::stol(m[5]), syscall(SYS_gettid));
    EXPECT_EQ(m[6], "value 42 of [x]");
}

TEST_F(FLAVOURED(DebugLogTest), LineIsWrittenOnlyWhenMasksShareABit) {
    struct Case {
        uint32_t lineMask;
        int32_t debugMask;
        bool written;
    };
    const Case cases[] = {
        {0x40, 1, false},       {0x40, -1, true},        {1, 1, true},  {16, 0x10010, true}, {0, -1, false},
        {0x10000, 0x40, false}, {0x80000000u, -1, true}, {1, 0, false},
    };
    StartDebugLog();
    for (const Case& c : cases) {
        fs::remove(prefs_.LogFile);
        fs::create_directories(folder_);
        prefs_.DebugMask = c.debugMask;
        DebugLog(c.lineMask, "line");
        EXPECT_EQ(fs::exists(prefs_.LogFile), c.written) << c.lineMask << " vs " << c.debugMask;
    }
}

TEST_F(FLAVOURED(DebugLogTest), LongMessageIsCutTo8191Bytes) {
    prefs_.DebugMask = 1;
    StartDebugLog();
    const std::string message(10000, 'x');
    DebugLog(1, "%s", message.c_str());

    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kStampedLine));
    EXPECT_EQ(m[6].str(), std::string(8191, 'x'));
}

TEST_F(FLAVOURED(DebugLogTest), LineBreakInMessageStartsAnUnstampedLine) {
    prefs_.DebugMask = 1;
    StartDebugLog();
    DebugLog(1, "first\nsecond");

    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[0], kStampedLine));
    EXPECT_EQ(lines[1], "second");
}

TEST_F(FLAVOURED(DebugLogTest), StartWithMaskZeroTouchesNoLogFile) {
    prefs_.DebugMask = 0;
    StartDebugLog();
    // The player prepares its folder for its per-user files; Pollwick touches the disk only when logging.
    EXPECT_EQ(fs::is_directory(folder_), !kPollwick);
    EXPECT_FALSE(fs::exists(prefs_.LogFile));
}

TEST_F(FLAVOURED(DebugLogTest), StartRotatesGenerationsAndTruncates) {
    WriteFile(prefs_.LogFile, "old log\n");
    WriteFile(prefs_.LogFile1, "older log\n");
    prefs_.DebugMask = -1;
    StartDebugLog();

    EXPECT_EQ(ReadFile(prefs_.LogFile1), "old log\n");
    EXPECT_EQ(ReadFile(prefs_.LogFile2), "older log\n");
    ASSERT_TRUE(fs::exists(prefs_.LogFile));
    EXPECT_EQ(fs::file_size(prefs_.LogFile), 0u);
}

TEST_F(FLAVOURED(DebugLogTest), OldestGenerationIsDropped) {
    WriteFile(prefs_.LogFile, "a\n");
    WriteFile(prefs_.LogFile1, "b\n");
    WriteFile(prefs_.LogFile2, "c\n");
    prefs_.DebugMask = 1;
    StartDebugLog();

    EXPECT_EQ(ReadFile(prefs_.LogFile1), "a\n");
    EXPECT_EQ(ReadFile(prefs_.LogFile2), "b\n");
    EXPECT_EQ(fs::file_size(prefs_.LogFile), 0u);
}

TEST_F(FLAVOURED(DebugLogTest), SecondStartDoesNotRotateAgain) {
    WriteFile(prefs_.LogFile, "old log\n");
    prefs_.DebugMask = 1;
    StartDebugLog();
    DebugLog(1, "after start");
    StartDebugLog();

    EXPECT_EQ(ReadFile(prefs_.LogFile1), "old log\n");
    EXPECT_FALSE(fs::exists(prefs_.LogFile2));
    EXPECT_NE(log().find("after start"), std::string::npos);
}

TEST_F(FLAVOURED(DebugLogTest), NoRotationWhenTurnedOff) {
    WriteFile(prefs_.LogFile, "kept\n");
    prefs_.DebugMask = 1;
    prefs_.RotateLogs = false;
    StartDebugLog();
    DebugLog(1, "more");

    EXPECT_FALSE(fs::exists(prefs_.LogFile1));
    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "kept");
}

TEST_F(FLAVOURED(DebugLogTest), StartCreatesMissingParentFolders) {
    const fs::path deep = home_.configHome() / "a" / "b" / "c";
    prefs_.LogFile = (deep / "log.txt").string();
    prefs_.DebugMask = 1;
    StartDebugLog();
    DebugLog(1, "deep");
    EXPECT_NE(ReadFile(deep / "log.txt").find("deep"), std::string::npos);
}

TEST_F(FLAVOURED(DebugLogTest), EmptyLogPathIsHarmless) {
    prefs_.LogFile.clear();
    prefs_.DebugMask = -1;
    StartDebugLog();
    DebugLog(1, "nowhere");
    EXPECT_FALSE(fs::exists(folder_));
}

TEST_F(FLAVOURED(DebugLogTest), LoggingBeforeStartWritesIntoExistingFolder) {
    fs::create_directories(folder_);
    prefs_.DebugMask = 1;
    DebugLog(1, "early");
    EXPECT_NE(log().find("early"), std::string::npos);
}

TEST_F(FLAVOURED(DebugLogTest), NothingIsWrittenWithoutRegisteredPreferences) {
    winutils::SetDebugLogPreferences(nullptr);
    prefs_.DebugMask = -1;
    StartDebugLog();
    DebugLog(1, "lost");
    EXPECT_FALSE(fs::exists(prefs_.LogFile));
}

TEST_F(FLAVOURED(DebugLogTest), LinesFromManyThreadsNeverInterleave) {
    prefs_.DebugMask = 1;
    StartDebugLog();
    constexpr int kThreads = 8;
    constexpr int kLinesEach = 200;
    const std::string payload(300, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLinesEach; ++i) {
                DebugLog(1, "t%d i%d %s", t, i, payload.c_str());
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }

    const auto lines = Lines(log());
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLinesEach));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, kStampedLine)) << line;
        int t = -1;
        int i = -1;
        char rest[400] = {};
        ASSERT_EQ(std::sscanf(m[6].str().c_str(), "t%d i%d %399s", &t, &i, rest), 3);
        ASSERT_GE(t, 0);
        ASSERT_LT(t, kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
        EXPECT_EQ(rest, payload);
    }
}

TEST_F(FLAVOURED(DebugLogTest), RawTextIsAppendedAsIs) {
    prefs_.DebugMask = 32;
    StartDebugLog();
    winutils::DebugLogRaw(32, "raw text\n");
    winutils::DebugLogRaw(1, "filtered\n");
    EXPECT_EQ(log(), "raw text\n");
}

}  // namespace
