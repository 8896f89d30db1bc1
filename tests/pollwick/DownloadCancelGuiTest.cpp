// Cancelling the installer download while the server sends it slowly: the queue's stop and the offer
// window's cancel and close end the running transfer at once instead of waiting for it, run nothing and
// leave no partial file; the workers are still joined.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "pollwick/DownloadQueue.h"
#include "pollwick/FormMainSrc.h"
#include "tests/pollwick/GuiTestSupport.h"

namespace pollwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::GuiFixture;
using testing::MessageLog;
using testing::PumpUntil;

// The slow file takes minutes at the server's rate; everything below must be over well within this.
constexpr auto kStopBound = 20s;
constexpr auto kStartBound = 60s;
constexpr size_t kSlowSize = 600000;
const char* const kSlowScript = R"({"/slow.sh": {"rate": 2000}})";

class CancelRunningDownload : public GuiFixture {
protected:
    void SetUp() override {
        GuiFixture::SetUp();
        marker_ = home_.home().root() / "installer-ran";
    }

    // Serves "/slow.sh" (an installer script that would leave marker_, sent at 2000 bytes a second) and
    // "/fast.bin".
    void startServer() {
        std::string script = "#!/bin/sh\necho ran > '" + marker_.string() + "'\n";
        script.resize(kSlowSize, '#');
        testsupport::WriteFile(serverRoot_.path() / "slow.sh", script);
        testsupport::WriteFile(serverRoot_.path() / "fast.bin", "0123456789");
        testsupport::HttpServerOptions options = testing::ScriptOptions(kSlowScript);
        options.root = serverRoot_.path();
        server_ = std::make_unique<testsupport::HttpServer>(options);
    }

    // True once the parts of the slow file are being fetched.
    bool partsRunning() const {
        for (const auto& request : server_->RequestsFor("/slow.sh")) {
            if (request.HasHeader("range") && request.Header("range") != "bytes=0-1") {
                return true;
            }
        }
        return false;
    }

    std::shared_ptr<MyVideo> item(const std::string& path, const std::string& saveAs) {
        auto video = std::make_shared<MyVideo>();
        video->id = 1;
        video->url = server_->Url(path);
        video->saveAsFileName = saveAs;
        return video;
    }

    // Neither the temporary folder nor the worker's download folder holds anything.
    void expectNothingLeft(int slot) {
        std::error_code ec;
        for (const fs::path& folder : {downloads_, config->ToDownloadSettings().TargetFolder(slot)}) {
            for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
                ADD_FAILURE() << "left behind: " << it->path();
            }
        }
        EXPECT_FALSE(fs::exists(marker_));
    }

    // Runs fn (which joins the workers) and tells whether it was over within the bound.
    static bool EndsWithinBound(const std::function<void()>& fn) {
        const auto start = std::chrono::steady_clock::now();
        fn();
        return std::chrono::steady_clock::now() - start < kStopBound;
    }

    fs::path marker_;
    testsupport::TempDir serverRoot_;
    std::unique_ptr<testsupport::HttpServer> server_;
    MessageLog log_;
};

TEST_F(CancelRunningDownload, QueueStopEndsTheTransferAsACancelledFailure) {
    startServer();
    auto queue = std::make_unique<DownloadQueue>(&log_, std::function<void()>{});
    queue->addSite(item("/slow.sh", "Setup.sh"));
    ASSERT_TRUE(PumpUntil([&] { return partsRunning(); }, kStartBound));

    queue->stopDownloads(true);
    ASSERT_TRUE(PumpUntil([&] { return log_.count(kMsgJobFinished) == 1; }, kStopBound))
        << "the worker still waits for its transfer";
    DownloadQueueThreadInfo* info = queue->Info(0);
    EXPECT_FALSE(info->locked_getOK());
    EXPECT_EQ(info->locked_getStatusMsg(), "Error: Cancelled");
    EXPECT_TRUE(info->locked_getSavedAsFilename().empty());
    EXPECT_TRUE(EndsWithinBound([&] { queue.reset(); }));
    expectNothingLeft(0);
}

TEST_F(CancelRunningDownload, StopWithoutShutdownLetsTheSameWorkerServeTheNextItem) {
    // One worker, so the next item runs on the worker whose download was stopped.
    config->Preferences.ThreadCount = 1;
    startServer();
    DownloadQueue queue(&log_, {});
    queue.addSite(item("/slow.sh", "Setup.sh"));
    ASSERT_TRUE(PumpUntil([&] { return partsRunning(); }, kStartBound));

    queue.stopDownloads(false);
    ASSERT_TRUE(PumpUntil([&] { return log_.count(kMsgJobFinished) == 1; }, kStopBound));
    EXPECT_EQ(queue.Info(0)->locked_getStatusMsg(), "Error: Cancelled");
    expectNothingLeft(0);

    queue.Info(0)->locked_cleanupAllocatedData();
    queue.addSite(item("/fast.bin", "Next.bin"));
    ASSERT_TRUE(PumpUntil([&] { return log_.count(kMsgJobFinished) == 2; }, kStartBound));
    EXPECT_TRUE(queue.Info(0)->locked_getOK()) << queue.Info(0)->locked_getStatusMsg();
    EXPECT_EQ(testsupport::ReadFile(downloads_ / "Next.bin"), "0123456789");
}

TEST_F(CancelRunningDownload, WindowCancelAndCloseEndWithoutWaitingForTheTransfer) {
    startServer();
    DisplayData data;
    data.targetUrl = server_->Url("/slow.sh");
    data.saveAsFileName = "FooSetup.sh";
    auto form = std::make_unique<TFormMain>(data);
    ASSERT_TRUE(PumpUntil([&] { return form->Initialised(); }, 10s));
    form->show();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return partsRunning(); }, kStartBound));

    form->ButtonAction->click();  // "Cancel"
    EXPECT_EQ(data.uiState, DisplayData::kCancelled);
    EXPECT_EQ(form->LabelProgress->text(), "Cancelled");
    form->ButtonAction->click();  // "Close"
    EXPECT_FALSE(form->isVisible());

    // Closing the program destroys the window, which joins the workers.
    EXPECT_TRUE(EndsWithinBound([&] { form.reset(); }));
    expectNothingLeft(0);
}

TEST_F(CancelRunningDownload, WindowShutDownStopsTheRunningTransfer) {
    startServer();
    DisplayData data;
    data.targetUrl = server_->Url("/slow.sh");
    data.saveAsFileName = "FooSetup.sh";
    auto form = std::make_unique<TFormMain>(data);
    ASSERT_TRUE(PumpUntil([&] { return form->Initialised(); }, 10s));
    form->show();
    form->ButtonAction->click();
    ASSERT_TRUE(PumpUntil([&] { return partsRunning(); }, kStartBound));

    form->shutDown();
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(PumpUntil([&] { return form->Queue()->AllWorkersSuspended(); }, kStopBound));
    EXPECT_TRUE(EndsWithinBound([&] { form.reset(); }));
    expectNothingLeft(0);
}

}  // namespace
}  // namespace pollwick
