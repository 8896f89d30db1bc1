// Stopping the file, or opening the next one, from inside the player's own position and state handlers:
// the call comes back, psStop is the file's last report, and no engine thread is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "engine/play/FFPlayPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"

namespace {

using testsupport::Clip;
using testsupport::MakeClip;

using playertest::ThreadCount;
using playertest::Watchdog;

// The reports as the owner sees them; handlers may run on the event thread.
class Reports {
public:
    void Add(const std::string& AText) {
        std::lock_guard lock(fLock);
        fItems.push_back(AText);
    }
    std::vector<std::string> Items() const {
        std::lock_guard lock(fLock);
        return fItems;
    }
    int Count(const std::string& AText) const {
        const std::vector<std::string> items = Items();
        return static_cast<int>(std::count(items.begin(), items.end(), AText));
    }
    bool Has(const std::string& AText) const { return Count(AText) > 0; }

private:
    mutable std::mutex fLock;
    std::vector<std::string> fItems;
};

std::string StateText(TPlayState AState) {
    switch (AState) {
        case psPlay:
            return "play";
        case psPause:
            return "pause";
        case psResume:
            return "resume";
        case psStep:
            return "step";
        case psStop:
            return "stop";
        case psEnd:
            return "end";
    }
    return "?";
}

// Where the owner acts, and what it does there.
enum class Trigger { Play, End, Position };
enum class Action { Stop, OpenNext };

struct Case {
    const char* Name;
    Trigger When;
    Action Do;
    bool InMainThread;  // TriggerEventInMainThread
};

void PrintTo(const Case& c, std::ostream* AOut) {
    *AOut << c.Name;
}

class StopInHandlerTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        player = std::make_unique<TFFPlayer>();
        ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
        first = MakeClip(Clip::VideoAudio).string();
        next = MakeClip(Clip::AudioOnly).string();
        // Threads that the libraries keep once started are not the player's: count after one playback.
        ASSERT_TRUE(player->Open(first)) << player->LastErrMsg();
        player->Stop(true);
    }
    void TearDown() override { player.reset(); }

    // Acts once, at the first report that matches the case.
    void Act(const Case& c) {
        if (acted.exchange(true)) {
            return;
        }
        reports.Add("act");
        if (c.Do == Action::Stop) {
            player->Stop(true);
            reports.Add("stop returned");
        } else {
            const bool opened = player->Open(next);
            reports.Add(opened ? "next opened" : "next refused: " + player->LastErrMsg());
        }
    }

    void Bind(const Case& c) {
        player->TriggerEventInMainThread = c.InMainThread;
        player->OnFileOpen = [this](TObject*, const int64_t&, int AWidth, int, int&, int&) {
            reports.Add(AWidth > 0 ? "open video" : "open audio");
        };
        player->OnState = [this, c](TObject*, TPlayState AState) {
            reports.Add(StateText(AState));
            if ((c.When == Trigger::Play && AState == psPlay) || (c.When == Trigger::End && AState == psEnd)) {
                Act(c);
            }
        };
        player->OnPosition = [this, c](TObject*, const int64_t& APTS) {
            // Until the first Open has returned, a nested Open is refused by design: act on a later report.
            if (c.When == Trigger::Position && APTS > 0 && firstOpenReturned) {
                reports.Add("position");
                Act(c);
            }
        };
    }

    std::unique_ptr<TFFPlayer> player;
    std::string first;
    std::string next;
    Reports reports;
    std::atomic<bool> acted{false};
    std::atomic<bool> firstOpenReturned{false};
};

TEST_P(StopInHandlerTest, ReturnsAndTheFileStillEndsWithPsStop) {
    const Case c = GetParam();
    Watchdog watchdog(c.Name);
    const int baseline = ThreadCount();
    Bind(c);
    ASSERT_TRUE(player->Open(first)) << player->LastErrMsg();
    firstOpenReturned = true;
    ASSERT_TRUE(playertest::WaitUntil([&] { return reports.Has("stop returned") || reports.Has("next opened"); },
                                      30000))
        << ::testing::PrintToString(reports.Items());
    ASSERT_TRUE(playertest::WaitUntil([&] { return reports.Has("stop"); }));

    if (c.Do == Action::Stop) {
        // psStop comes once, after the handler's call, and nothing follows it.
        EXPECT_TRUE(playertest::WaitUntil([&] { return Pipeline(*player).VideoState() == nullptr; }));
        playertest::WaitUntil([] { return false; }, 300);
        const std::vector<std::string> items = reports.Items();
        const auto act = std::find(items.begin(), items.end(), "act");
        const auto stop = std::find(items.begin(), items.end(), "stop");
        EXPECT_LT(act - items.begin(), stop - items.begin()) << ::testing::PrintToString(items);
        EXPECT_EQ(reports.Count("stop"), 1) << ::testing::PrintToString(items);
        EXPECT_EQ(items.back() == "stop" || items.back() == "stop returned", true)
            << ::testing::PrintToString(items);
        EXPECT_EQ(std::count(items.begin(), items.end(), "play"), 1);
    } else {
        // The first file's psStop comes before anything of the next file, which then plays on.
        const std::vector<std::string> items = reports.Items();
        const auto stop = std::find(items.begin(), items.end(), "stop");
        const auto opened = std::find(items.begin(), items.end(), "open audio");
        ASSERT_NE(opened, items.end()) << ::testing::PrintToString(items);
        EXPECT_LT(stop - items.begin(), opened - items.begin()) << ::testing::PrintToString(items);
        EXPECT_EQ(player->FileName(), next);
        EXPECT_NE(Pipeline(*player).VideoState(), nullptr);
        EXPECT_TRUE(playertest::WaitUntil([&] { return reports.Count("play") == 2; }))
            << ::testing::PrintToString(reports.Items());
        player->Stop(true);
        EXPECT_EQ(reports.Count("stop"), 2) << ::testing::PrintToString(reports.Items());
        EXPECT_EQ(reports.Items().back(), "stop");
    }
    EXPECT_TRUE(playertest::WaitUntil([&] { return ThreadCount() <= baseline; }))
        << ThreadCount() << " threads, " << baseline << " before";

    // The player goes on working: a later file plays and stops as usual.
    acted = true;
    ASSERT_TRUE(player->Open(first)) << player->LastErrMsg();
    player->Stop(true);
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_TRUE(playertest::WaitUntil([&] { return ThreadCount() <= baseline; }));
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, StopInHandlerTest,
    ::testing::Values(Case{"StopAtPlay", Trigger::Play, Action::Stop, true},
                      Case{"StopAtEnd", Trigger::End, Action::Stop, true},
                      Case{"StopAtPosition", Trigger::Position, Action::Stop, true},
                      Case{"StopAtEndOnTheEventThread", Trigger::End, Action::Stop, false},
                      Case{"StopAtPositionOnTheEventThread", Trigger::Position, Action::Stop, false},
                      Case{"OpenNextAtEnd", Trigger::End, Action::OpenNext, true},
                      Case{"OpenNextAtPosition", Trigger::Position, Action::OpenNext, true}),
    [](const ::testing::TestParamInfo<Case>& AInfo) { return std::string(AInfo.param.Name); });

// An open inside the play report of the file being opened is refused, since that open has not finished;
// the file keeps playing.
TEST(StopInHandler, OpenInsideThePlayReportIsRefused) {
    enginetest::LoadPlayerLibraries();
    Watchdog watchdog("OpenInsideThePlayReportIsRefused");
    TFFPlayer player;
    ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
    std::string refusal;
    bool asked = false;
    player.OnState = [&](TObject*, TPlayState AState) {
        if (AState == psPlay && !asked) {
            asked = true;
            if (!player.Open(MakeClip(Clip::AudioOnly).string())) {
                refusal = player.LastErrMsg();
            }
        }
    };
    ASSERT_TRUE(player.Open(MakeClip(Clip::VideoAudio).string())) << player.LastErrMsg();
    EXPECT_EQ(refusal, "Current trying open is not completed.");
    EXPECT_NE(Pipeline(player).VideoState(), nullptr);
    player.Stop(true);
    EXPECT_EQ(Pipeline(player).VideoState(), nullptr);
}

}  // namespace
