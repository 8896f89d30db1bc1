// Storms of owner calls against files that open and end: no crash, hang or wedge, whatever the owner
// calls and wherever it calls it from. Meant for the sanitizer build, where a use after free or a race on
// the file's record is reported.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>

#include "engine/play/FFPlayPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using playertest::ThreadCount;
using playertest::WaitUntil;
using playertest::Watchdog;
using testsupport::Clip;
using testsupport::MakeClip;
using testsupport::ScopedEnv;

// Headless output; the disk device with no delay runs the audio callback back to back, so that a close
// always meets a running callback.
class StormDrivers {
public:
    StormDrivers()
        : fAudio("SDL_AUDIODRIVER", "disk"),
          fFile("SDL_DISKAUDIOFILE", "/dev/null"),
          fDelay("SDL_DISKAUDIODELAY", "0"),
          fVideo("SDL_VIDEODRIVER", "dummy") {}

private:
    ScopedEnv fAudio;
    ScopedEnv fFile;
    ScopedEnv fDelay;
    ScopedEnv fVideo;
};

class StormFixture {
protected:
    // AWhat names the case in the watchdog's message.
    void StartPlayer(const char* AWhat) {
        watchdog = std::make_unique<Watchdog>(AWhat, 1100);
        enginetest::LoadPlayerLibraries();
        player = std::make_unique<TFFPlayer>();
        ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
        // Threads that the libraries keep once started are not the player's: count after one playback.
        ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string())) << player->LastErrMsg();
        player->Stop(true);
        baseline = ThreadCount();
    }

    // The player is idle again, keeps no thread, and plays the next file as usual.
    void ExpectUsable() {
        ASSERT_TRUE(WaitUntil([&] { return Pipeline(*player).VideoState() == nullptr; }, 30000));
        ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
        EXPECT_NE(Pipeline(*player).VideoState(), nullptr);
        player->Stop(true);
        EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
        EXPECT_EQ(player->PlayState(), psStop);
        EXPECT_TRUE(WaitUntil([&] { return ThreadCount() <= baseline; }, 30000))
            << ThreadCount() << " threads, " << baseline << " before";
    }

    StormDrivers drivers;
    std::unique_ptr<Watchdog> watchdog;
    std::unique_ptr<TFFPlayer> player;
    int baseline = 0;
};

// Open and stop, over and over, on each kind of file.
struct CycleCase {
    const char* Name;
    Clip File;
};

void PrintTo(const CycleCase& c, std::ostream* AOut) {
    *AOut << c.Name;
}

class OpenStopStormTest : public StormFixture, public ::testing::TestWithParam<CycleCase> {
protected:
    void SetUp() override { StartPlayer(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
};

TEST_P(OpenStopStormTest, HundredCyclesLeaveNothingBehind) {
    const std::string file = MakeClip(GetParam().File).string();
    for (int i = 0; i < 100; ++i) {
        ASSERT_TRUE(player->Open(file)) << "cycle " << i << ": " << player->LastErrMsg();
        // Stopped at once, or after the pipeline has run for a moment; waiting, or not.
        if (i % 4 >= 2) {
            std::this_thread::sleep_for(std::chrono::milliseconds(i % 7));
        }
        player->Stop(i % 2 == 0);
    }
    player->Stop(true);
    ExpectUsable();
}

INSTANTIATE_TEST_SUITE_P(Files, OpenStopStormTest,
                         ::testing::Values(CycleCase{"AudioOnly", Clip::AudioOnly},
                                           CycleCase{"VideoOnly", Clip::VideoOnly},
                                           CycleCase{"VideoAndAudio", Clip::VideoAudio}),
                         [](const ::testing::TestParamInfo<CycleCase>& AInfo) { return std::string(AInfo.param.Name); });

// The owner's calls while the play thread ends the file (after Stop(false)).
struct OwnerCallCase {
    const char* Name;
    std::function<void(TFFPlayer&)> Call;
};

void PrintTo(const OwnerCallCase& c, std::ostream* AOut) {
    *AOut << c.Name;
}

class OwnerCallStormTest : public StormFixture, public ::testing::TestWithParam<OwnerCallCase> {
protected:
    void SetUp() override { StartPlayer(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
};

TEST_P(OwnerCallStormTest, CallsWhileTheFileEndsAreSafe) {
    const OwnerCallCase& c = GetParam();
    const std::string file = MakeClip(Clip::MultiAudio).string();
    for (int i = 0; i < 25; ++i) {
        ASSERT_TRUE(player->Open(file)) << "cycle " << i << ": " << player->LastErrMsg();
        c.Call(*player);
        player->Stop(false);
        int calls = 0;
        while (Pipeline(*player).VideoState() != nullptr && calls < 100000) {
            c.Call(*player);
            ++calls;
        }
        player->Stop(true);
    }
    ExpectUsable();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, OwnerCallStormTest,
    ::testing::Values(
        OwnerCallCase{"SetPlaybackSpeed", [](TFFPlayer& p) { p.SetPlaybackSpeed(p.PlaybackSpeed() == 1.0 ? 1.5 : 1.0); }},
        OwnerCallCase{"SetSyncType",
                      [](TFFPlayer& p) { p.SetSyncType(p.SyncType() == stAudio ? stExternal : stAudio); }},
        OwnerCallCase{"SetBackColorAndAspect",
                      [](TFFPlayer& p) {
                          p.SetBackColor(p.BackColor() ^ 0xFF);
                          p.SetAspectRatio(p.AspectRatio() == 0.0f ? 1.5f : 0.0f);
                      }},
        OwnerCallCase{"SetShowMode", [](TFFPlayer& p) { p.ToggleAudioDisplay(); }},
        OwnerCallCase{"PauseAndResume",
                      [](TFFPlayer& p) {
                          p.Pause();
                          p.Resume();
                          p.TogglePause();
                      }},
        OwnerCallCase{"StepToNextFrame", [](TFFPlayer& p) { p.StepToNextFrame(); }},
        OwnerCallCase{"Seek",
                      [](TFFPlayer& p) {
                          p.Seek(int64_t{500000});
                          p.Seek(0.5);
                          p.Seek(10000.0, TSeekFlags{sfByte});
                          p.FlushQueue();
                      }},
        OwnerCallCase{"StreamIndexes",
                      [](TFFPlayer& p) {
                          p.SetAudioStreamIndex(p.AudioStreamIndex() == 1 ? 2 : 1);
                          p.SetSubtitleStreamIndex(-1);
                      }},
        OwnerCallCase{"FilterCommands",
                      [](TFFPlayer& p) {
                          p.SendVideoFilterCommand("all", "ping", "", 0);
                          p.SendAudioFilterCommand("all", "ping", "", 0);
                          p.QueueVideoFilterCommand("all", "ping", "", 0, 1.0);
                          p.QueueAudioFilterCommand("all", "ping", "", 0, 1.0);
                      }},
        OwnerCallCase{"Readers",
                      [](TFFPlayer& p) {
                          int64_t pts = 0;
                          p.CurrentFrame(pts);
                          (void)p.Paused();
                          (void)p.QueueSize();
                          (void)p.VideoStreamIndex();
                          (void)p.SubtitleStreamIndex();
                      }}),
    [](const ::testing::TestParamInfo<OwnerCallCase>& AInfo) { return std::string(AInfo.param.Name); });

// Stop or Open from inside each handler, on the main thread and on the engine's own threads.
enum class Handler { FileOpen, BeforeFindStreamInfo, State, Position };
enum class Act { Stop, StopNoWait, OpenNext };

struct HandlerCase {
    const char* Name;
    Handler Where;
    Act What;
    bool InMainThread;  // TriggerEventInMainThread
};

void PrintTo(const HandlerCase& c, std::ostream* AOut) {
    *AOut << c.Name;
}

class HandlerStormTest : public StormFixture, public ::testing::TestWithParam<HandlerCase> {
protected:
    void SetUp() override { StartPlayer(::testing::UnitTest::GetInstance()->current_test_info()->name()); }

    // Acts once per file.
    void Act() {
        if (acted.exchange(true)) {
            return;
        }
        switch (GetParam().What) {
            case Act::Stop:
                player->Stop(true);
                break;
            case Act::StopNoWait:
                player->Stop(false);
                break;
            case Act::OpenNext:
                player->Open(MakeClip(Clip::AudioOnly).string());
                break;
        }
        done = true;
    }

    void Bind() {
        const HandlerCase c = GetParam();
        player->TriggerEventInMainThread = c.InMainThread;
        player->OnFileOpen = [this, c](TObject*, const int64_t&, int, int, int&, int&) {
            if (c.Where == Handler::FileOpen) {
                Act();
            }
        };
        player->OnBeforeFindStreamInfo = [this, c](TObject*, AVFormatContext*) {
            if (c.Where == Handler::BeforeFindStreamInfo) {
                Act();
            }
        };
        player->OnState = [this, c](TObject*, TPlayState AState) {
            if (c.Where == Handler::State && AState == psPlay) {
                Act();
            }
        };
        player->OnPosition = [this, c](TObject*, const int64_t& APTS) {
            if (c.Where == Handler::Position && APTS > 0) {
                Act();
            }
        };
        player->OnOpenFailed = [this](TObject*) { ++openFailures; };
    }

    std::atomic<bool> acted{false};
    std::atomic<bool> done{false};
    std::atomic<int> openFailures{0};
};

TEST_P(HandlerStormTest, TheFileEndsAndThePlayerStaysUsable) {
    const HandlerCase& c = GetParam();
    Bind();
    const std::string file = MakeClip(Clip::VideoAudio).string();
    for (int i = 0; i < 10; ++i) {
        acted = false;
        done = false;
        const bool opened = player->Open(file);
        ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 30000)) << "cycle " << i;
        if (c.What == Act::OpenNext) {
            // The handler's Open is refused while the open it is nested in has not finished; either way
            // one file is left, and a Stop ends it.
            player->Stop(true);
        } else if (c.Where == Handler::BeforeFindStreamInfo) {
            // A stop before the streams are known cancels the open.
            EXPECT_FALSE(opened) << "cycle " << i;
        } else {
            EXPECT_TRUE(opened) << "cycle " << i << ": " << player->LastErrMsg();
        }
        // A stop, wherever it was asked for, ends the file.
        EXPECT_TRUE(WaitUntil([&] { return Pipeline(*player).VideoState() == nullptr && player->PlayState() == psStop; },
                              30000))
            << "cycle " << i;
        player->Stop(true);
    }
    if (c.Where == Handler::BeforeFindStreamInfo && c.What != Act::OpenNext) {
        EXPECT_EQ(openFailures, 10);
    }
    acted = true;
    ExpectUsable();
}

INSTANTIATE_TEST_SUITE_P(
    Handlers, HandlerStormTest,
    ::testing::Values(
        HandlerCase{"StopInFileOpen", Handler::FileOpen, Act::Stop, true},
        HandlerCase{"StopInFileOpenOffMain", Handler::FileOpen, Act::Stop, false},
        HandlerCase{"StopNoWaitInFileOpen", Handler::FileOpen, Act::StopNoWait, true},
        HandlerCase{"OpenInFileOpen", Handler::FileOpen, Act::OpenNext, true},
        HandlerCase{"StopInBeforeFindStreamInfo", Handler::BeforeFindStreamInfo, Act::Stop, true},
        HandlerCase{"StopInBeforeFindStreamInfoOffMain", Handler::BeforeFindStreamInfo, Act::Stop, false},
        HandlerCase{"OpenInBeforeFindStreamInfo", Handler::BeforeFindStreamInfo, Act::OpenNext, true},
        HandlerCase{"StopNoWaitInState", Handler::State, Act::StopNoWait, true},
        HandlerCase{"StopNoWaitInStateOffMain", Handler::State, Act::StopNoWait, false},
        HandlerCase{"StopInStateOffMain", Handler::State, Act::Stop, false},
        HandlerCase{"StopInPosition", Handler::Position, Act::Stop, true},
        HandlerCase{"StopNoWaitInPosition", Handler::Position, Act::StopNoWait, true},
        HandlerCase{"StopInPositionOffMain", Handler::Position, Act::Stop, false},
        HandlerCase{"StopNoWaitInPositionOffMain", Handler::Position, Act::StopNoWait, false},
        HandlerCase{"OpenInPosition", Handler::Position, Act::OpenNext, true}),
    [](const ::testing::TestParamInfo<HandlerCase>& AInfo) { return std::string(AInfo.param.Name); });

// A handler that throws before the streams are read: the open fails cleanly, and the next one works.
class ThrowingHandlerTest : public StormFixture, public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override { StartPlayer(::testing::UnitTest::GetInstance()->current_test_info()->name()); }
};

TEST_P(ThrowingHandlerTest, BeforeFindStreamInfoFailsTheOpenOnly) {
    player->TriggerEventInMainThread = GetParam();
    int failures = 0;
    player->OnOpenFailed = [&](TObject*) { ++failures; };
    player->OnBeforeFindStreamInfo = [](TObject*, AVFormatContext*) { throw std::runtime_error("handler broke"); };
    for (int i = 0; i < 5; ++i) {
        EXPECT_FALSE(player->Open(MakeClip(Clip::VideoAudio).string())) << "cycle " << i;
        EXPECT_NE(player->LastErrMsg().find("handler broke"), std::string::npos) << player->LastErrMsg();
        EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    }
    EXPECT_EQ(failures, 5);
    player->OnBeforeFindStreamInfo = nullptr;
    ExpectUsable();
}

INSTANTIATE_TEST_SUITE_P(BothThreads, ThrowingHandlerTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& AInfo) {
                             return std::string(AInfo.param ? "InMainThread" : "OffMain");
                         });

// A FIFO: with no writer an open() would block where no interrupt reaches; with a writer that sends
// nothing the reads wait. Either way Open, Stop and the destructor return, and the next file plays.
enum class Writer { None, Silent };

class FifoTest : public StormFixture, public ::testing::TestWithParam<Writer> {
protected:
    void SetUp() override {
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        if (GetParam() == Writer::Silent) {
            // Read-write: never blocks, and keeps a writer on the FIFO that sends nothing.
            writer = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
            ASSERT_GE(writer, 0);
        }
        StartPlayer("FifoTest");
    }
    void TearDown() override {
        player.reset();
        if (writer >= 0) {
            close(writer);
        }
    }

    testsupport::TempDir dir;
    std::string fifo = (dir / "input.fifo").string();
    int writer = -1;
};

TEST_P(FifoTest, OpenStopAndDestroyReturn) {
    int failures = 0;
    player->OnOpenFailed = [&](TObject*) { ++failures; };
    if (GetParam() == Writer::None) {
        // Nothing to read: the open fails at once.
        EXPECT_FALSE(player->Open(fifo));
        EXPECT_EQ(failures, 1);
    } else {
        // The reads wait for data until the read time-out ends the open (a try-open probes the input on
        // the calling thread); a short time-out keeps the wait short.
        player->SetReadTimeout(2000);
        player->TryOpen(fifo);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        player->Stop(true);
        EXPECT_TRUE(WaitUntil([&] { return failures == 1; }, 30000));
        EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    }
    ExpectUsable();
    // A try-open left waiting is cancelled by the destructor.
    player->TryOpen(fifo);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    player.reset();
}

INSTANTIATE_TEST_SUITE_P(Writers, FifoTest, ::testing::Values(Writer::None, Writer::Silent),
                         [](const ::testing::TestParamInfo<Writer>& AInfo) {
                             return std::string(AInfo.param == Writer::None ? "NoWriter" : "SilentWriter");
                         });

}  // namespace
