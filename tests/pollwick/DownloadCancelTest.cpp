// Stopping a running download from another thread: the transfer ends long before a slow or silent
// server would let it, the download fails, and no part or partial file stays behind.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <stop_token>
#include <thread>

#include "tests/pollwick/DownloaderTestSupport.h"

namespace pollwick {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using testing::DownloaderFixture;
using testing::RecordingProgress;

// The server would need minutes for each case below; a stopped download must be over well within this.
constexpr auto kStopBound = 20s;
constexpr auto kStartBound = 60s;

struct StopCase {
    const char* name;
    bool segmented;         // a downloader with part threads (probe, parts, merge) or one whole request
    const char* route;      // behaviour of "/setup.bin" on the server
    int64_t receivedFirst;  // bytes that arrive before the stop is asked for
};

void PrintTo(const StopCase& c, std::ostream* os) {
    *os << c.name;
}

class StopRunningDownload : public DownloaderFixture, public ::testing::WithParamInterface<StopCase> {
protected:
    // Everything under folder, at any depth.
    static std::vector<fs::path> EntriesUnder(const fs::path& folder) {
        std::vector<fs::path> entries;
        std::error_code ec;
        for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            entries.push_back(it->path());
        }
        return entries;
    }

    // Polls until done() or the bound passes.
    static bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound) {
        const auto end = std::chrono::steady_clock::now() + bound;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }
};

TEST_P(StopRunningDownload, EndsPromptlyAsAFailureAndLeavesNoFiles) {
    // Silence on the link is not taken for a dead server here: only the stop can end the transfer soon.
    cfg_->Preferences.TimeoutSeconds = 100;
    Serve("setup.bin", testing::RandomBytes(1200000, 11));
    auto server = StartServer(std::string(R"({"/setup.bin": )") + GetParam().route + "}");

    RecordingProgress progress;
    Downloader downloader(3, GetParam().segmented, &progress, nullptr, settings());
    std::stop_source stop;
    downloader.SetStopToken(stop.get_token());
    std::future<DownloadResult> running = std::async(
        std::launch::async, [&] { return testing::Get(downloader, server->Url("/setup.bin"), "Setup.bin"); });

    const bool started = WaitUntil([&] { return progress.done() >= GetParam().receivedFirst; }, kStartBound);
    stop.request_stop();
    ASSERT_TRUE(started) << "the transfer never got going";
    ASSERT_EQ(running.wait_for(kStopBound), std::future_status::ready) << "the stop did not end the download";

    const DownloadResult r = running.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Cancelled");
    EXPECT_TRUE(r.savedPath.empty()) << r.savedPath;
    // Neither the partial file nor a part file nor the private part folder stays.
    EXPECT_EQ(EntriesUnder(TargetFolder(3)), std::vector<fs::path>{});
}

INSTANTIATE_TEST_SUITE_P(
    SlowAndStalledLinks, StopRunningDownload,
    ::testing::Values(
        StopCase{"single_slow", false, R"({"rate": 4000})", 1},
        StopCase{"single_stalled", false, R"({"stall_after": 30000, "stall_seconds": 200})", 30000},
        StopCase{"segmented_slow", true, R"({"rate": 4000})", 1},
        StopCase{"segmented_stalled", true, R"({"stall_after": 30000, "stall_seconds": 200})", 30000},
        // Each of the five parts comes fast, then pauses: every byte sent before the pauses arrives while
        // the server pauses (none waits for a batch that the server does not send).
        StopCase{"segmented_paused_after_a_fast_start", true,
                 R"({"stall_after": 90000, "stall_seconds": 200})", 5 * 90000}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return std::string(info.param.name); });

TEST_F(DownloaderFixture, StopBeforeTheStartRequestsNothing) {
    Serve("setup.bin", testing::RandomBytes(300000, 5));
    auto server = StartServer("{}");
    for (bool segmented : {false, true}) {
        Downloader downloader(2, segmented, nullptr, nullptr, settings());
        std::stop_source stop;
        downloader.SetStopToken(stop.get_token());
        stop.request_stop();
        DownloadResult r = testing::Get(downloader, server->Url("/setup.bin"), "Setup.bin");
        EXPECT_FALSE(r.ok) << segmented;
        EXPECT_EQ(r.error, "Cancelled") << segmented;
    }
    EXPECT_TRUE(server->RequestsFor("/setup.bin").empty());
}

TEST_F(DownloaderFixture, StopBetweenAttemptsEndsTheRetries) {
    // Five attempts with a second between them: a stop during the pauses ends the whole download.
    cfg_->Preferences.Attempts = 5;
    auto server = StartServer(R"({"/setup.bin": {"statuses": [500]}})");
    Downloader downloader(1, false, nullptr, nullptr, settings());
    std::stop_source stop;
    downloader.SetStopToken(stop.get_token());
    std::future<DownloadResult> running = std::async(
        std::launch::async, [&] { return testing::Get(downloader, server->Url("/setup.bin"), "Setup.bin"); });
    // The first attempt's three requests (as configured, HTTP/1.0, no gzip) precede the first pause.
    const auto end = std::chrono::steady_clock::now() + kStartBound;
    while (server->RequestsFor("/setup.bin").size() < 3 && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(20ms);
    }
    stop.request_stop();
    ASSERT_EQ(running.wait_for(kStopBound), std::future_status::ready);
    const DownloadResult r = running.get();
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "Cancelled");
    EXPECT_LT(server->RequestsFor("/setup.bin").size(), 15u);
}

}  // namespace
}  // namespace pollwick
