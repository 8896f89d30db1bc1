#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "engine/base/Myutils.h"
#include "tests/support/TestEnv.h"

namespace {

// Runs parse_cmdline both ways, as its callers do, and returns the arguments and NumArgs.
std::vector<std::string> Split(const char* ASource, int& ANumArgs) {
    int numChars = 0;
    int numArgs = 0;
    parse_cmdline(ASource, nullptr, nullptr, numChars, numArgs);
    std::vector<char*> table(static_cast<size_t>(numArgs));
    std::vector<char> buffer(static_cast<size_t>(numChars));
    int filledChars = 0;
    parse_cmdline(ASource, table.data(), buffer.data(), filledChars, ANumArgs);
    EXPECT_EQ(filledChars, numChars);
    EXPECT_EQ(ANumArgs, numArgs);
    EXPECT_STREQ(table.back(), "");
    return std::vector<std::string>(table.begin(), table.end() - 1);
}

}  // namespace

TEST(Myutils, ParseCmdlineSplitsLikeTheCRuntime) {
    struct Case {
        const char* source;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {R"(-i "a b" c)", {"-i", "a b", "c"}},
        {R"(\\"x y")", {R"(\x y)"}},   // two backslashes and a quote: one backslash, quoting on
        {R"(\"x y)", {R"("x)", "y"}},  // a backslash and a quote: a literal quote
        {R"(a\\b)", {R"(a\\b)"}},      // backslashes without a quote stay
        {R"("say ""hi""" x)", {R"(say "hi")", "x"}},
        {"  \t lead\ttrail  ", {"lead", "trail"}},
        {"", {}},
    };
    for (const Case& c : cases) {
        int numArgs = 0;
        EXPECT_EQ(Split(c.source, numArgs), c.args) << c.source;
        EXPECT_EQ(numArgs, static_cast<int>(c.args.size()) + 1) << c.source;
    }
}

TEST(Myutils, FetchCutsAtTheFirstDelimiter) {
    std::string input = "a;b;c";
    EXPECT_EQ(Fetch(input, ";", true), "a");
    EXPECT_EQ(input, "b;c");
    EXPECT_EQ(Fetch(input, ";", false), "b");
    EXPECT_EQ(input, "b;c");
    std::string none = "abc";
    EXPECT_EQ(Fetch(none, ";", true), "abc");
    EXPECT_EQ(none, "");
}

TEST(Myutils, FileSizeToStrPicksTheUnit) {
    EXPECT_EQ(FileSizeToStr(1024), "1024 Byte");
    EXPECT_EQ(FileSizeToStr(1025), "1.00 KB");
    EXPECT_EQ(FileSizeToStr(1048576), "1024.00 KB");
    EXPECT_EQ(FileSizeToStr(1048577), "1.00 MB");
    EXPECT_EQ(FileSizeToStr(1073741825), "1.00 GB");
}

TEST(Myutils, MySARTruncatesTowardsZero) {
    EXPECT_EQ(MySAR(-1, 1), 0);
    EXPECT_EQ(MySAR(-4, 1), -2);
    EXPECT_EQ(MySAR(-5, 1), -2);
    EXPECT_EQ(MySAR(9, 2), 2);
}

TEST(Myutils, GetFileSizeOfFilesAndMissingOnes) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "five", "12345");
    EXPECT_EQ(GetFileSize((dir / "five").string()), 5);
    EXPECT_EQ(GetFileSize((dir / "missing").string()), -1);
    EXPECT_EQ(GetFileSize(""), -1);
}

TEST(Myutils, ExeNamesDescribeThisProgram) {
    EXPECT_EQ(ExeFile(), "engine_base_tests");
    EXPECT_EQ(ExePath() + ExeFile(), ExeName());
    EXPECT_EQ(ExePath().back(), '/');
}

TEST(Myutils, DateTimeHelpersFollowTheTimeZone) {
    testsupport::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_DOUBLE_EQ(DateTimeOffset(), 1.0 / 24);  // standard offset, daylight saving left out
    EXPECT_DOUBLE_EQ(UnixToDateTimeEx(0), kUnixDateDelta + 1.0 / 24);
    // 2001-02-03 04:05:06.789
    const TDateTime t = 36925.0 + (4 * 3600 + 5 * 60 + 6.789) / 86400.0;
    EXPECT_EQ(LogDateTime(t, "yyyy-mm-dd hh:nn:ss zzz"), "2001-02-03 04:05:06 789");
}

TEST(Myutils, CountTimeTickExMeasuresMicrosecondsFromThePreviousCall) {
    CountTimeTickEx();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const long long elapsed = std::stoll(CountTimeTickEx());
    EXPECT_GE(elapsed, 20000);
    // In microseconds: a 20 ms sleep never lasts the 20 s that nanoseconds would make of it.
    EXPECT_LT(elapsed, 20000000);
}

TEST(Myutils, MySynchronizeOnTheMainThreadRunsAtOnce) {
    ASSERT_TRUE(IsMainThread());
    bool ran = false;
    MySynchronize([&] { ran = true; });
    EXPECT_TRUE(ran);
    EXPECT_FALSE(MyProcessMessages());  // nothing was queued
}

TEST(Myutils, MySynchronizeFromAWorkerRunsOnTheMainThread) {
    std::thread::id ranOn;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        EXPECT_FALSE(IsMainThread());
        EXPECT_FALSE(MyProcessMessages());
        MySynchronize([&] { ranOn = std::this_thread::get_id(); });
        done = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < deadline) {
        MyProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    worker.join();
    EXPECT_TRUE(done);
    EXPECT_EQ(ranOn, std::this_thread::get_id());

    GEnabledSynchronize = false;
    std::thread direct([&] { MySynchronize([&] { ranOn = std::this_thread::get_id(); }); });
    const auto directId = direct.get_id();
    direct.join();
    GEnabledSynchronize = true;
    EXPECT_EQ(ranOn, directId);
}

TEST(Myutils, MissingLibraryAndEntryPointGiveTexts) {
    std::string error;
    EXPECT_EQ(MyLoadLibrary("/nonexistent-folder", "libnothing.so.1", error), nullptr);
    EXPECT_NE(error.find("libnothing.so.1"), std::string::npos) << error;
    void* libc = MyLoadLibrary("", "libc.so.6", error);
    ASSERT_NE(libc, nullptr);
    int (*proc)() = nullptr;
    try {
        FixupStub("libc.so.6", libc, "no_such_function_here", false, proc);
        ADD_FAILURE() << "a missing entry point must raise";
    } catch (const ELoadError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Load function no_such_function_here@libc.so.6 error: ", 0),
                  0u);
    }
    FixupStub("libc.so.6", libc, "no_such_function_here", true, proc);
    EXPECT_EQ(proc, nullptr);
    int* variable = nullptr;
    EXPECT_THROW(LoadVariable("libc.so.6", libc, "no_such_variable", false, variable), ELoadError);
    MyFreeLibrary(libc);
}
