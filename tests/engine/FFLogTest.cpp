#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <regex>
#include <stdexcept>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TestEnv.h"

namespace {

struct TLine {
    TObject* Sender;
    int ThreadId;
    TLogLevel Level;
    std::string Text;
};

// Collects what the logger delivers, directly on the logging thread.
class LogCollector {
public:
    LogCollector() {
        FFLogger().SetTriggerEventInMainThread(false);
        FFLogger().SetOnLog([this](TObject* ASender, int AThread, TLogLevel ALevel, const std::string& AMsg) {
            std::lock_guard guard(lock);
            lines.push_back({ASender, AThread, ALevel, AMsg});
        });
    }
    ~LogCollector() { FFLogger().SetOnLog(nullptr); }
    std::vector<std::string> Texts() {
        std::lock_guard guard(lock);
        std::vector<std::string> texts;
        for (const TLine& line : lines) {
            texts.push_back(line.Text);
        }
        return texts;
    }

    std::mutex lock;
    std::vector<TLine> lines;
};

}  // namespace

TEST(FFLog, LevelConversions) {
    EXPECT_EQ(IntToLogLevel(-8), llQuiet);
    EXPECT_EQ(IntToLogLevel(-100), llQuiet);
    EXPECT_EQ(IntToLogLevel(-7), llPanic);
    EXPECT_EQ(IntToLogLevel(0), llPanic);
    EXPECT_EQ(IntToLogLevel(7), llPanic);
    EXPECT_EQ(IntToLogLevel(31), llWarning);
    EXPECT_EQ(IntToLogLevel(32), llInfo);
    EXPECT_EQ(IntToLogLevel(100), llDebug);
    EXPECT_EQ(LogLevelToInt(llVerbose), 40);
    EXPECT_EQ(LogLevelToInt(llQuiet), -8);
    EXPECT_STREQ(LogLevelName(llWarning), "Warning");
}

TEST(FFLog, SkipsAllWorkWithoutHandlerOrFile) {
    EXPECT_TRUE(FFLogger().Skipping());
    {
        LogCollector collector;
        EXPECT_FALSE(FFLogger().Skipping());
        FFLogger().SetActive(false);
        EXPECT_TRUE(FFLogger().Skipping());
        FFLogger().Log(nullptr, llError, "dropped");
        FFLogger().SetActive(true);
        EXPECT_TRUE(collector.Texts().empty());
    }
    EXPECT_TRUE(FFLogger().Skipping());
}

TEST(FFLog, LevelFiltersTheEngineMessages) {
    LogCollector collector;
    TObject sender;
    FFLogger().Log(&sender, llDebug, "too detailed");
    FFLogger().Log(&sender, llWarning, "value %d of %s", 7, "x");
    FFLogger().SetLogLevel(llDebug);
    FFLogger().Log(&sender, llDebug, "now %s", "shown");
    FFLogger().SetLogLevel(llInfo);
    ASSERT_EQ(collector.lines.size(), 2u);
    EXPECT_EQ(collector.lines[0].Text, "value 7 of x");
    EXPECT_EQ(collector.lines[0].Sender, &sender);
    EXPECT_EQ(collector.lines[0].Level, llWarning);
    EXPECT_EQ(collector.lines[0].ThreadId, static_cast<int>(gettid()));
    EXPECT_EQ(collector.lines[1].Text, "now shown");
}

TEST(FFLog, OnlyOneOwnedLogger) {
    TFFLogger& automatic = FFLogger();
    EXPECT_TRUE(automatic.AutoCreated());
    {
        TFFLogger owned;
        EXPECT_EQ(&FFLogger(), &owned);
        EXPECT_FALSE(owned.AutoCreated());
        try {
            TFFLogger second;
            ADD_FAILURE() << "a second logger must be refused";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "Allow creating only one instance of TFFLogger.");
        }
    }
    EXPECT_TRUE(FFLogger().AutoCreated());
}

TEST(FFLog, OptLogLevelTakesNamesAndNumbers) {
    FFLogger().OptLogLevel("VERBOSE");
    EXPECT_EQ(FFLogger().LogLevel(), llVerbose);
    FFLogger().OptLogLevel("16");
    EXPECT_EQ(FFLogger().LogLevel(), llError);
    FFLogger().OptLogLevel("-8");
    EXPECT_EQ(FFLogger().LogLevel(), llQuiet);
    EXPECT_THROW(FFLogger().OptLogLevel("loud"), std::invalid_argument);
    EXPECT_THROW(FFLogger().OptLogLevel("12abc"), std::invalid_argument);
    FFLogger().OptLogLevel("info");
    EXPECT_EQ(FFLogger().LogLevel(), llInfo);
}

TEST(FFLog, FileLinesCarryTimeThreadLevelAndText) {
    testsupport::TempDir dir;
    const std::string file = (dir / "engine.log").string();
    FFLogger().SetLogFile(file);
    FFLogger().SetLogToFile(true);
    EXPECT_FALSE(FFLogger().Skipping());
    FFLogger().Log(nullptr, llInfo, "first");
    FFLogger().Log(nullptr, llError, "second");
    const std::string content = testsupport::ReadFile(file);
    const std::regex line(R"(\d\d:\d\d:\d\d \d\d\d \[[0-9A-F]{8}\] (Info: first|Error: second)\r\n)");
    const std::regex whole(R"((\d\d:\d\d:\d\d \d\d\d \[[0-9A-F]{8}\] \w+: \w+\r\n){2})");
    EXPECT_TRUE(std::regex_match(content, whole)) << content;
    EXPECT_NE(content.find(Format("[%.8X] Info: first\r\n", static_cast<unsigned>(gettid()))),
              std::string::npos);

    FFLogger().ClearLogFile();
    EXPECT_EQ(testsupport::ReadFile(file), "");
    FFLogger().Log(nullptr, llInfo, "after clear");
    EXPECT_NE(testsupport::ReadFile(file).find("Info: after clear\r\n"), std::string::npos);

    // Changing the file closes the open one; clearing a closed file deletes it.
    FFLogger().SetLogToFile(false);
    FFLogger().ClearLogFile();
    EXPECT_FALSE(std::filesystem::exists(file));
    FFLogger().SetLogFile("");
    EXPECT_TRUE(FFLogger().Skipping());
}

TEST(FFLog, UnwritableLogFileDoesNotBreakTheCaller) {
    FFLogger().SetLogFile("/nonexistent-folder/engine.log");
    FFLogger().SetLogToFile(true);
    EXPECT_NO_THROW(FFLogger().Log(nullptr, llError, "nowhere to go"));
    FFLogger().SetLogToFile(false);
    FFLogger().SetLogFile("");
}

TEST(FFLog, SplitFFmpegLineArrivesOnceWithItsContextPrefix) {
    enginetest::LoadPlayerLibraries();
    LogCollector collector;
    AVFormatContext* context = ff::avformat_alloc_context();
    ASSERT_NE(context, nullptr);
    ff::av_log(context, AV_LOG_WARNING, "half a ");
    ff::av_log(context, AV_LOG_WARNING, "line %d\n", 42);
    ff::av_log(nullptr, AV_LOG_ERROR, "no context\n");
    ff::av_log(context, AV_LOG_DEBUG, "below the level\n");
    ff::avformat_free_context(context);
    ASSERT_EQ(collector.lines.size(), 2u);
    const std::string prefix = Format("[NULL @ %p] ", static_cast<void*>(context));
    EXPECT_EQ(collector.lines[0].Text, prefix + "half a line 42");
    EXPECT_EQ(collector.lines[0].Level, llWarning);
    EXPECT_EQ(collector.lines[0].Sender, &FFLogger());
    EXPECT_EQ(collector.lines[1].Text, "no context");
    EXPECT_EQ(collector.lines[1].Level, llError);
}

TEST(FFLog, RepeatedFFmpegLinesAreFolded) {
    enginetest::LoadPlayerLibraries();
    LogCollector collector;
    for (int i = 0; i < 3; ++i) {
        ff::av_log(nullptr, AV_LOG_ERROR, "same\n");
    }
    ff::av_log(nullptr, AV_LOG_ERROR, "other\n");
    ff::av_log(nullptr, AV_LOG_ERROR, "other\n");
    ff::av_log(nullptr, AV_LOG_ERROR, "last\n");
    EXPECT_EQ(collector.Texts(),
              (std::vector<std::string>{"same", "    Last message repeated 2 times", "other", "last"}));

    // Without the skip flag every line comes through.
    FFLogger().SetLogFlags(0);
    ff::av_log(nullptr, AV_LOG_ERROR, "again\n");
    ff::av_log(nullptr, AV_LOG_ERROR, "again\n");
    FFLogger().SetLogFlags(1);
    const auto texts = collector.Texts();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "again"), 2);
}

TEST(FFLog, LinesOfTwoThreadsAreAssembledApart) {
    enginetest::LoadPlayerLibraries();
    LogCollector collector;
    ff::av_log(nullptr, AV_LOG_ERROR, "main ");
    std::thread worker([] { ff::av_log(nullptr, AV_LOG_ERROR, "worker line\n"); });
    worker.join();
    ff::av_log(nullptr, AV_LOG_ERROR, "line\n");
    EXPECT_EQ(collector.Texts(), (std::vector<std::string>{"worker line", "main line"}));
}

TEST(FFLog, HandlerOnTheMainThreadDoesNotHoldTheLoggersLocks) {
    enginetest::LoadPlayerLibraries();
    std::vector<std::pair<std::thread::id, std::string>> seen;
    FFLogger().SetTriggerEventInMainThread(true);
    FFLogger().SetOnLog([&](TObject*, int, TLogLevel, const std::string& AMsg) {
        seen.emplace_back(std::this_thread::get_id(), AMsg);
    });
    std::atomic<bool> finished{false};
    std::thread worker([&] {
        ff::av_log(nullptr, AV_LOG_ERROR, "from the worker\n");
        finished = true;
    });
    // While the worker waits for its delivery, the main thread logs too: it must not block.
    ff::av_log(nullptr, AV_LOG_ERROR, "from main\n");
    FFLogger().Log(nullptr, llError, "engine on main");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!finished && std::chrono::steady_clock::now() < deadline) {
        MyProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    FFLogger().SetOnLog(nullptr);
    ASSERT_TRUE(finished);
    ASSERT_EQ(seen.size(), 3u);
    for (const auto& entry : seen) {
        EXPECT_EQ(entry.first, std::this_thread::get_id()) << entry.second;
    }
    EXPECT_EQ(seen.back().second, "from the worker");
}
