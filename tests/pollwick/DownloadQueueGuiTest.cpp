// The download queue and its workers against the local server, reporting to a recording main form.
#include "pollwick/DownloadQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "tests/pollwick/DownloaderTestSupport.h"
#include "tests/pollwick/GuiTestSupport.h"

namespace pollwick {
namespace {

using namespace std::chrono_literals;
using testing::GuiFixture;
using testing::MessageLog;
using testing::PumpFor;
using testing::PumpUntil;
using testing::ScriptOptions;

constexpr auto kJobBound = 90s;

class QueueTest : public GuiFixture {
protected:
    std::shared_ptr<MyVideo> item(const std::string& url, const std::string& saveAs = "Setup.bin") {
        auto video = std::make_shared<MyVideo>();
        video->id = 1;
        video->url = url;
        video->saveAsFileName = saveAs;
        return video;
    }

    // Waits until the worker of slot has posted that its job ended.
    bool waitJob(int jobs = 1) {
        return PumpUntil([&] { return log_.count(kMsgJobFinished) >= jobs; }, kJobBound);
    }

    void serve(const std::string& name, const std::string& data, const std::string& script = "{}") {
        testsupport::WriteFile(serverRoot_.path() / name, data);
        testsupport::HttpServerOptions options = ScriptOptions(script);
        options.root = serverRoot_.path();
        server_ = std::make_unique<testsupport::HttpServer>(options);
    }

    std::set<std::string> targets(const std::string& path) const {
        std::set<std::string> seen;
        for (const auto& r : server_->RequestsFor(path)) {
            seen.insert(r.target);
        }
        return seen;
    }

    MessageLog log_;
    std::atomic<int> progressBarFull_{0};
    testsupport::TempDir serverRoot_;
    std::unique_ptr<testsupport::HttpServer> server_;
};

TEST(RetryUrl, AddsTheTryNumberToTheQuery) {
    EXPECT_EQ(DownloadQueueThread::RetryUrl("http://h/setup.bin", 1), "http://h/setup.bin?cb=1");
    EXPECT_EQ(DownloadQueueThread::RetryUrl("http://h/get?f=setup", 9), "http://h/get?f=setup&cb=9");
}

TEST_F(QueueTest, NineForbiddenAnswersThenSuccessGiveTenTriesTheLastWithCb9) {
    const std::string data = pollwick::testing::RandomBytes(300000, 7);
    serve("setup.bin", data,
          R"({"/setup.bin": {"status_unless_query": {"contains": "cb=9", "status": 403}}})");
    DownloadQueue queue(&log_, [this] { ++progressBarFull_; });
    auto video = item(server_->Url("/setup.bin"));
    queue.addSite(video);
    ASSERT_TRUE(waitJob());
    DownloadQueueThreadInfo* info = queue.Info(0);
    ASSERT_NE(info, nullptr);
    EXPECT_TRUE(info->locked_getOK()) << info->locked_getStatusMsg();
    EXPECT_EQ(info->locked_getStatusMsg(), "Done");

    std::set<std::string> expected{"/setup.bin"};
    for (int n = 1; n <= 9; ++n) {
        expected.insert("/setup.bin?cb=" + std::to_string(n));
    }
    EXPECT_EQ(targets("/setup.bin"), expected);

    const std::string saved = info->locked_getSavedAsFilename();
    EXPECT_EQ(saved, video->savedAsFileName);
    EXPECT_EQ(std::filesystem::path(saved).parent_path(), downloads_);
    EXPECT_EQ(testsupport::ReadFile(saved), data);
    EXPECT_EQ(progressBarFull_.load(), 1);
    EXPECT_GE(log_.count(kMsgStatusChanged), 10);
}

TEST_F(QueueTest, RetryOfAnAddressWithAQueryAppendsCb) {
    serve("setup.bin", "0123456789",
          R"({"/setup.bin": {"status_unless_query": {"contains": "cb=1", "status": 403}}})");
    DownloadQueue queue(&log_, {});
    queue.addSite(item(server_->Url("/setup.bin?lang=en")));
    ASSERT_TRUE(waitJob());
    EXPECT_TRUE(queue.Info(0)->locked_getOK()) << queue.Info(0)->locked_getStatusMsg();
    EXPECT_EQ(targets("/setup.bin"),
              (std::set<std::string>{"/setup.bin?lang=en", "/setup.bin?lang=en&cb=1"}));
}

struct FailureCase {
    const char* script;
    const char* statusStart;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.script;
}

class QueueFailure : public QueueTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(QueueFailure, EndsAfterOneTryWithTheErrorInTheStatus) {
    serve("setup.bin", "0123456789", GetParam().script);
    DownloadQueue queue(&log_, {});
    queue.addSite(item(server_->Url("/setup.bin")));
    ASSERT_TRUE(waitJob());
    DownloadQueueThreadInfo* info = queue.Info(0);
    EXPECT_FALSE(info->locked_getOK());
    EXPECT_EQ(info->locked_getStatusMsg().rfind(GetParam().statusStart, 0), 0u)
        << info->locked_getStatusMsg();
    EXPECT_EQ(targets("/setup.bin"), (std::set<std::string>{"/setup.bin"}));
    EXPECT_TRUE(info->locked_getSavedAsFilename().empty());
    EXPECT_FALSE(std::filesystem::exists(downloads_ / "Setup.bin"));
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, QueueFailure,
    ::testing::Values(FailureCase{R"({"/setup.bin": {"statuses": [401]}})",
                                  "Error: Authentication required. Please edit the site and enter a username "
                                  "and password on the Login tab."},
                      FailureCase{R"({"/setup.bin": {"statuses": [404]}})", "Error: "}));

TEST_F(QueueTest, ItemWithoutSaveAsNameFailsAndLeavesTheTemporaryFolderAlone) {
    serve("setup.bin", "0123456789");
    std::filesystem::create_directories(downloads_);
    DownloadQueue queue(&log_, {});
    queue.addSite(item(server_->Url("/setup.bin"), ""));
    ASSERT_TRUE(waitJob());
    EXPECT_FALSE(queue.Info(0)->locked_getOK());
    EXPECT_TRUE(queue.Info(0)->locked_getSavedAsFilename().empty());
    EXPECT_TRUE(std::filesystem::is_directory(downloads_));
}

TEST_F(QueueTest, CancelBetweenForbiddenTriesStopsTheJob) {
    serve("setup.bin", "0123456789", R"({"/setup.bin": {"statuses": [403]}})");
    DownloadQueue queue(&log_, {});
    queue.addSite(item(server_->Url("/setup.bin")));
    ASSERT_TRUE(PumpUntil(
        [&] { return queue.Info(0) && queue.Info(0)->locked_getStatusMsg() == "Retrying ..."; }, kJobBound));
    queue.stopDownloads(true);
    ASSERT_TRUE(waitJob());
    EXPECT_FALSE(queue.Info(0)->locked_getOK());
    EXPECT_EQ(queue.Info(0)->locked_getStatusMsg(), "Error: Cancelled");
    EXPECT_LT(targets("/setup.bin").size(), 10u);
}

TEST_F(QueueTest, SameItemTwiceBeforeATickIsQueuedOnce) {
    serve("setup.bin", "0123456789");
    DownloadQueue queue(&log_, {});
    auto video = item(server_->Url("/setup.bin"));
    queue.addSite(video);
    queue.addSite(video);
    EXPECT_EQ(queue.WaitingCount(), 1);
    // The counts the two calls posted, before any tick: both say one item waits.
    ASSERT_TRUE(PumpUntil([&] { return log_.count(kMsgActiveDownloadCount) >= 2; }, 5s));
    std::vector<std::intptr_t> waiting;
    for (const auto& m : log_.messages) {
        if (m.msg == kMsgActiveDownloadCount) {
            waiting.push_back(m.wParam);
        }
    }
    EXPECT_EQ(waiting[0], 1);
    EXPECT_EQ(waiting[1], 1);
    ASSERT_TRUE(waitJob());
    PumpFor(1s);
    EXPECT_EQ(log_.count(kMsgJobFinished), 1);
}

TEST_F(QueueTest, ItemWaitsWhileEveryWorkerStillHoldsItsItem) {
    config->Preferences.ThreadCount = 1;
    serve("setup.bin", "0123456789");
    DownloadQueue queue(&log_, {});
    queue.addSite(item(server_->Url("/setup.bin"), "A.bin"));
    ASSERT_TRUE(waitJob());
    EXPECT_EQ(queue.Info(1), nullptr);

    queue.addSite(item(server_->Url("/setup.bin"), "B.bin"));
    PumpFor(1s);
    EXPECT_EQ(queue.WaitingCount(), 1);
    EXPECT_EQ(log_.count(kMsgJobFinished), 1);
    // Freeing the worker's copy (the window does so when it takes the result) lets the next item in.
    queue.Info(0)->locked_cleanupAllocatedData();
    ASSERT_TRUE(waitJob(2));
    EXPECT_EQ(queue.WaitingCount(), 0);
    EXPECT_TRUE(std::filesystem::exists(downloads_ / "A.bin"));
    EXPECT_TRUE(std::filesystem::exists(downloads_ / "B.bin"));
}

TEST_F(QueueTest, ProgressPostsAreThrottledWithinOneSecond) {
    DownloadQueue queue(&log_, {});
    DownloadQueueThreadInfo* info = queue.Info(0);
    ASSERT_NE(info, nullptr);
    // Start early in a second, so the reports below share it.
    for (int i = 0; i < 200; ++i) {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count() %
                        1000;
        if (ms < 300) {
            break;
        }
        std::this_thread::sleep_for(5ms);
    }
    info->locked_setProgress(1000, 100);
    info->locked_setProgress(1000, 200);   // within 50 ms of the last post: dropped
    info->locked_setProgress(1000, 1000);  // the final report always goes out
    info->locked_setProgress(1000, 1000);  // unchanged: nothing
    info->locked_setProgress(1000, -5);    // negative: ignored
    PumpFor(200ms);
    std::vector<std::intptr_t> percents;
    for (const auto& m : log_.messages) {
        if (m.msg == kMsgProgress) {
            EXPECT_EQ(m.wParam, 0);
            percents.push_back(m.lParam);
        }
    }
    EXPECT_EQ(percents, (std::vector<std::intptr_t>{10, 100}));
}

TEST(ProgressPercent, IsTruncatedFromFloatingPoint) {
    EXPECT_EQ(DownloadQueueThreadInfo::ProgressPercent(0, 0), 0);
    EXPECT_EQ(DownloadQueueThreadInfo::ProgressPercent(0, 50), 0);
    EXPECT_EQ(DownloadQueueThreadInfo::ProgressPercent(3, 3), static_cast<int>(100.0 / 3 * 3));
    EXPECT_EQ(DownloadQueueThreadInfo::ProgressPercent(3, 1), 33);
    EXPECT_EQ(DownloadQueueThreadInfo::ProgressPercent(int64_t{1} << 40, (int64_t{1} << 40) - 1), 99);
}

}  // namespace
}  // namespace pollwick
