#include "engine/play/FFPlay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/load/FFAPI.h"
#include "engine/play/FFPlayPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using testsupport::Clip;
using testsupport::MakeClip;

class FFPlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        player = std::make_unique<TFFPlayer>();
        ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
        player->OnFileOpen = [this](TObject*, const int64_t& ADuration, int AWidth, int AHeight, int&, int&) {
            events.push_back("open " + std::to_string(AWidth) + "x" + std::to_string(AHeight));
            duration = ADuration;
        };
        player->OnState = [this](TObject*, TPlayState AState) {
            events.push_back("state " + std::to_string(static_cast<int>(AState)));
        };
    }
    void TearDown() override { player.reset(); }

    std::unique_ptr<TFFPlayer> player;
    std::vector<std::string> events;
    int64_t duration = -2;
};

// Hooks the pictures that the video decoder queues; AFirst gets the time of the first one hooked after the
// call (microseconds from the file's start) at AFrom or later. The decoder thread runs the hook.
void HookFirstPicture(TFFPlayer& APlayer, std::atomic<int64_t>& AFirst, int64_t AFrom = 0) {
    AFirst = AV_NOPTS_VALUE;
    APlayer.VideoHook = true;
    APlayer.OnVideoHook = [&AFirst, AFrom](TObject*, TObject*, const int64_t& APTS, bool& AUpdate) {
        AUpdate = false;
        int64_t none = AV_NOPTS_VALUE;
        if (APTS >= AFrom) {
            AFirst.compare_exchange_strong(none, APTS);
        }
    };
}

TEST_F(FFPlayTest, OpenWithoutSDLIsRefused) {
    player.reset();
    TFFPlayer bare;
    EXPECT_FALSE(bare.Open(MakeClip(Clip::AudioOnly).string()));
    EXPECT_EQ(bare.LastErrMsg(), "SDL not loaded.");
}

TEST_F(FFPlayTest, OpensAFileFillsTheQueuesAndStops) {
    const std::string clip = MakeClip(Clip::VideoAudio).string();
    ASSERT_TRUE(player->Open(clip)) << player->LastErrMsg();
    EXPECT_EQ(player->FileName(), clip);
    EXPECT_EQ(player->PlayState(), psPlay);
    EXPECT_EQ(player->VideoStreamIndex(), 0);
    EXPECT_EQ(player->AudioStreamIndex(), 1);
    EXPECT_NEAR(static_cast<double>(duration), 2000000.0, 100000.0);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], "open 320x240");
    EXPECT_EQ(events[1], "state 0");
    EXPECT_EQ(player->DefaultWidth(), 320);
    EXPECT_EQ(player->DefaultHeight(), 240);

    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_NE(is, nullptr);
    EXPECT_TRUE(
        playertest::WaitUntil([&] { return is->videoq.nb_packets > 5 && is->audioq.nb_packets > 5; }));
    EXPECT_GT(player->QueueSize(), 0);
    EXPECT_EQ(player->Decoder()->VideoStreamCount(), 1);
    EXPECT_EQ(player->Decoder()->AudioStreamCount(), 1);
    EXPECT_THROW(player->Decoder()->CheckHandle(), std::runtime_error);

    player->Stop(true);
    EXPECT_EQ(events.back(), "state 4");
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_EQ(player->PlayState(), psStop);
    EXPECT_EQ(player->QueueSize(), -1);
    EXPECT_EQ(player->Decoder()->StreamCount(), -1);
    EXPECT_EQ(player->GetAVFormatContext(), nullptr);
}

TEST_F(FFPlayTest, AudioOnlyFileReportsNoFrameSizeAndShowsWaves) {
    ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
    EXPECT_EQ(events.at(0), "open -1x-1");
    EXPECT_EQ(Pipeline(*player).VideoState()->show_mode, SHOW_MODE_WAVES);
    EXPECT_EQ(player->VideoStreamIndex(), -1);
    EXPECT_NEAR(static_cast<double>(Pipeline(*player).VideoState()->AudioDuration), 2000000.0, 100000.0);
}

TEST_F(FFPlayTest, SecondOpenStopsTheFirstBeforeTheNewFileReports) {
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string()));
    player->PlayTime = 5000000;
    player->RepeatType = rtLoop;
    events.clear();
    ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
    const std::vector<std::string> expected{"state 4", "open -1x-1", "state 0"};
    EXPECT_EQ(events, expected);
    // Settings made before an open survive the stop of the previous file...
    EXPECT_EQ(player->PlayTime, 5000000);
    EXPECT_EQ(player->RepeatType, rtLoop);
    // ...and are back to their defaults once the playback has ended.
    player->Stop(true);
    EXPECT_EQ(player->PlayTime, AV_NOPTS_VALUE);
    EXPECT_EQ(player->RepeatType, rtRewind);
}

TEST_F(FFPlayTest, FileWithoutAudioOrVideoFails) {
    const std::string clip = MakeClip(Clip::NoStreams).string();
    EXPECT_FALSE(player->Open(clip));
    EXPECT_EQ(player->LastErrMsg(), "Failed to open file \"" + clip + "\" or configure filtergraph");
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
}

TEST_F(FFPlayTest, VideoDecoderThatCannotOpenLeavesTheAudio) {
    playertest::LogCapture log;
    player->video_codec_name = "no_such_decoder";
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string())) << player->LastErrMsg();
    EXPECT_EQ(player->VideoStreamIndex(), -1);
    EXPECT_EQ(player->AudioStreamIndex(), 1);
    EXPECT_TRUE(log.Contains("No codec could be found with name \"no_such_decoder\""));
    EXPECT_EQ(events.at(0), "open -1x-1");
}

TEST_F(FFPlayTest, BadInputsFailWithAClearMessage) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "empty.mp4", "");
    std::string noise(64 * 1024, '\0');
    for (size_t i = 0; i < noise.size(); ++i) {
        noise[i] = static_cast<char>((i * 7919u + 13u) % 251u);
    }
    testsupport::WriteFile(dir / "corrupt.mkv", noise);
    std::filesystem::create_directory(dir / "folder.mp4");
    const std::vector<std::string> inputs{MakeClip(Clip::Truncated).string(), (dir / "corrupt.mkv").string(),
                                          (dir / "folder.mp4").string(), (dir / "empty.mp4").string(),
                                          (dir / "missing.mp4").string()};
    for (const std::string& input : inputs) {
        SCOPED_TRACE(input);
        EXPECT_FALSE(player->Open(input));
        EXPECT_FALSE(player->LastErrMsg().empty());
        EXPECT_NE(player->LastErrMsg().find(input), std::string::npos) << player->LastErrMsg();
        EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    }
    EXPECT_EQ(player->LastErrMsg(), (dir / "missing.mp4").string() + ": No such file or directory");
    // Nothing is left half-open: the next file opens.
    EXPECT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
}

TEST_F(FFPlayTest, UnknownForcedFormatIsRefused) {
    try {
        player->SetForceFormat("no_such_format");
        ADD_FAILURE() << "an unknown format must be refused";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Unknown input format: no_such_format");
    }
    EXPECT_EQ(player->ForceFormat(), "");
    player->SetForceFormat("mp3");
    EXPECT_EQ(player->ForceFormat(), "mp3");
    EXPECT_FALSE(player->Open(MakeClip(Clip::VideoOnly).string()));  // Matroska read as MP3
    EXPECT_EQ(player->ForceFormat(), "");                            // a forced format applies to one open
}

TEST_F(FFPlayTest, ReadTimeoutAbortsASilentServer) {
    playertest::SilentServer server;
    playertest::LogCapture log;
    player->SetReadTimeout(1000);
    const std::string url = "tcp://127.0.0.1:" + std::to_string(server.Port());
    EXPECT_FALSE(player->Open(url));
    EXPECT_TRUE(log.Contains("connecting/reading timeout")) << log.All();
    EXPECT_EQ(player->LastErrMsg(), url + ": Immediate exit requested");
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
}

TEST_F(FFPlayTest, StopCancelsAnOpenInProgressAndASecondOpenIsRefused) {
    playertest::SilentServer server;
    playertest::LogCapture log;
    int failed = 0;
    player->OnOpenFailed = [&](TObject*) { ++failed; };
    player->OpenInCallerThread = false;
    player->SetReadTimeout(30000);
    player->TryOpen("tcp://127.0.0.1:" + std::to_string(server.Port()));
    ASSERT_TRUE(playertest::WaitUntil([&] { return server.Accepted() > 0; }));

    EXPECT_FALSE(player->Open(MakeClip(Clip::AudioOnly).string()));
    EXPECT_EQ(player->LastErrMsg(), "Current trying open is not completed.");

    player->Stop(true);
    EXPECT_TRUE(playertest::WaitUntil([&] { return failed == 1; }));
    EXPECT_TRUE(log.Contains("connecting/reading broken")) << log.All();
    EXPECT_FALSE(log.Contains("connecting/reading timeout"));
    EXPECT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
}

TEST_F(FFPlayTest, AsynchronousOpenReportsTheFileFromTheReadThread) {
    player->OpenInCallerThread = false;
    player->TryOpen(MakeClip(Clip::VideoAudio).string());
    EXPECT_TRUE(playertest::WaitUntil([&] { return events.size() >= 2; }));
    ASSERT_NE(Pipeline(*player).VideoState(), nullptr);
    EXPECT_EQ(events.at(0), "open 320x240");
    player->Stop(true);
    EXPECT_EQ(events.back(), "state 4");
}

TEST_F(FFPlayTest, SeekRestartsTheQueuesAtTheAskedPosition) {
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->videoq.nb_packets > 5; }));
    const int videoSerial = is->videoq.serial;
    const int audioSerial = is->audioq.serial;

    player->Seek(int64_t{6000000});
    // The seek's own mark lasts only until the next picture is decoded: wait for what it leaves behind.
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0 && is->videoq.serial != videoSerial; }));
    EXPECT_EQ(is->videoq.serial, videoSerial + 1);
    EXPECT_EQ(is->audioq.serial, audioSerial + 1);

    // The first picture of the new run is the one at the asked position (pictures of the old run, near
    // the start, may still come out of the decoder first).
    std::atomic<int64_t> first{AV_NOPTS_VALUE};
    HookFirstPicture(*player, first, 1000000);
    ASSERT_TRUE(playertest::WaitUntil([&] { return first != AV_NOPTS_VALUE; }));
    EXPECT_NEAR(static_cast<double>(first), 6000000.0, 40000.0);
    player->Stop(true);
}

TEST_F(FFPlayTest, FlushRestartsTheQueuesWithANewSerial) {
    // Opened paused, so that no audio block of the new run is played before the flag is read.
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string(), nullptr, true));
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->videoq.nb_packets > 5; }));
    const int serial = is->videoq.serial;
    player->FlushQueue();
    EXPECT_TRUE(playertest::WaitUntil([&] { return is->flush_req == 0 && is->videoq.serial == serial + 1; }));
    EXPECT_EQ(is->audio_frame_available, -1);
}

TEST_F(FFPlayTest, PauseResumeAndStepReportTheirStatesOnce) {
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string()));
    TVideoState* is = Pipeline(*player).VideoState();
    events.clear();
    player->Pause();
    player->Pause();
    EXPECT_TRUE(player->Paused());
    EXPECT_EQ(player->PlayState(), psPause);
    EXPECT_EQ(is->extclk.paused, 1);
    player->Resume();
    player->Resume();
    EXPECT_FALSE(player->Paused());
    player->StepToNextFrame();
    player->StepToNextFrame();
    EXPECT_EQ(is->step, 1);
    const std::vector<std::string> expected{"state 1", "state 2", "state 3"};
    EXPECT_EQ(events, expected);

    // Playback goes on after a resume: new pictures are decoded.
    player->TogglePause();
    EXPECT_EQ(events.back(), "state 1");
    player->TogglePause();
    EXPECT_EQ(events.back(), "state 2");
    std::atomic<int64_t> first{AV_NOPTS_VALUE};
    HookFirstPicture(*player, first);
    EXPECT_TRUE(playertest::WaitUntil([&] { return first != AV_NOPTS_VALUE && first > 100; }));
    player->Stop(true);
}

TEST_F(FFPlayTest, StreamSwitchingChecksIndexAndType) {
    playertest::LogCapture log;
    player->DisableVideoFilter = true;
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string())) << player->LastErrMsg();
    EXPECT_EQ(player->AudioStreamIndex(), 1);
    EXPECT_EQ(player->SubtitleStreamIndex(), -1);  // text subtitles are never chosen
    player->SetAudioStreamIndex(3);
    EXPECT_EQ(player->AudioStreamIndex(), 3);
    player->SetAudioStreamIndex(2);
    EXPECT_EQ(player->LastErrMsg(), "the stream type is not matched.");
    player->SetAudioStreamIndex(9);
    EXPECT_EQ(player->LastErrMsg(), "the stream index is invalid.");
    EXPECT_EQ(player->AudioStreamIndex(), 3);
    player->SetSubtitleStreamIndex(2);
    EXPECT_TRUE(log.Contains("Only bitmap based sutitles supported."));
    // Without a filter graph (filtering is off) a filter command has nothing to go to.
    EXPECT_EQ(player->SubtitleStreamIndex(), -1);
    EXPECT_FALSE(player->SendVideoFilterCommand("scale", "w", "100", 0));
    EXPECT_EQ(player->LastErrMsg(), "filter is not available");
}

TEST_F(FFPlayTest, ControlsWithoutAFileDoNothing) {
    player->Pause();
    player->Seek(int64_t{1000000});
    player->StepToNextFrame();
    player->FlushQueue();
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(player->Paused());
    EXPECT_EQ(player->QueueSize(), -1);
    EXPECT_EQ(player->AudioStreamIndex(), -1);
    EXPECT_FALSE(player->QueueAudioFilterCommand("volume", "volume", "0.5", 0, 0.0));
    EXPECT_TRUE(player->DefaultOptions("-threads 2"));
    EXPECT_FALSE(player->DefaultOptions("-threads 2 -no_such_option"));
}

TEST_F(FFPlayTest, SeekTargetsFollowTheFileStartAndDuration) {
    // 4 s of 25 fps pictures whose time stamps start at 1.4 s.
    const auto clip = testsupport::MakeFixture(
        "h8_start_offset.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4", "-c:v",
                                "mpeg4", "-g", "1", "-output_ts_offset", "1.4", "{out}"});
    ASSERT_TRUE(player->Open(clip.string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_EQ(is->ic->start_time, 1400000);
    const int64_t duration = is->ic->duration;
    // To 0: half a frame before the first picture.
    player->Seek(int64_t{0});
    EXPECT_EQ(is->seek_pos, 1380000);
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0; }));
    // Beyond the end: the end.
    player->Seek(int64_t{99000000});
    EXPECT_EQ(is->seek_pos, duration + 1400000);
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0; }));
}

TEST_F(FFPlayTest, StartTimeIsReachedWhenTheFileOpens) {
    player->start_time() = 3000000;
    std::atomic<int64_t> first{AV_NOPTS_VALUE};
    HookFirstPicture(*player, first);
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string())) << player->LastErrMsg();
    ASSERT_TRUE(playertest::WaitUntil([&] { return first != AV_NOPTS_VALUE; }));
    EXPECT_NEAR(static_cast<double>(first), 3000000.0, 40000.0);
    player->Stop(true);
    EXPECT_EQ(player->StartTime(), AV_NOPTS_VALUE);
}

TEST_F(FFPlayTest, PausedOpenStartsPaused) {
    std::atomic<int> pauses = 0;
    std::atomic<int> last = -1;
    player->OnState = [&](TObject*, TPlayState AState) {
        pauses += AState == psPause ? 1 : 0;
        last = AState;
    };
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string(), nullptr, true));
    EXPECT_TRUE(player->Paused());
    // Its first picture is shown, and then the pause is reported, once.
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->open_paused == 0 && pauses > 0; }));
    playertest::WaitUntil([] { return false; }, 200);
    EXPECT_EQ(pauses, 1);
    EXPECT_TRUE(player->Paused());
    player->Resume();
    EXPECT_FALSE(player->Paused());
    EXPECT_TRUE(playertest::WaitUntil([&] { return last == psResume; }));
}

TEST_F(FFPlayTest, ShowModeCyclesThroughTheViews) {
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string()));
    TVideoState* is = Pipeline(*player).VideoState();
    EXPECT_EQ(is->show_mode, SHOW_MODE_VIDEO);
    player->SetShowMode(smRDFT);
    EXPECT_EQ(is->show_mode, SHOW_MODE_RDFT);
    player->ToggleAudioDisplay();
    EXPECT_EQ(is->show_mode, SHOW_MODE_NONE);
    player->ToggleAudioDisplay();
    EXPECT_EQ(is->show_mode, SHOW_MODE_VIDEO);
    player->SetShowMode(smWaves);
    player->SetShowMode(smDefault);  // automatic stands for the video of a file that has one
    EXPECT_EQ(is->show_mode, SHOW_MODE_VIDEO);
}

TEST_F(FFPlayTest, SyncTypeChangeChoosesTheMasterAgain) {
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string()));
    TVideoState* is = Pipeline(*player).VideoState();
    EXPECT_EQ(master_sync_kind(is), AV_SYNC_AUDIO_MASTER);
    player->SetSyncType(stVideo);
    EXPECT_EQ(master_sync_kind(is), AV_SYNC_VIDEO_MASTER);
    player->SetPlaybackSpeed(2.0);
    EXPECT_DOUBLE_EQ(clock_speed(&is->extclk), 2.0);
}

TEST_F(FFPlayTest, BeforeFindStreamInfoSeesTheOpenedInput) {
    AVFormatContext* seen = nullptr;
    player->OnBeforeFindStreamInfo = [&](TObject*, AVFormatContext* AContext) { seen = AContext; };
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string()));
    EXPECT_NE(seen, nullptr);
    EXPECT_EQ(seen, player->GetAVFormatContext());
}

TEST_F(FFPlayTest, TryOpenInTheCallersThreadOpensBeforeItReturns) {
    player->TryOpen(MakeClip(Clip::VideoOnly).string());
    ASSERT_NE(Pipeline(*player).VideoState(), nullptr);
    EXPECT_EQ(events.at(0), "open 320x240");
    EXPECT_EQ(player->AudioStreamIndex(), -1);
}

TEST_F(FFPlayTest, RelativeSeekStartsFromTheLastTargetWithoutAClock) {
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string()));
    TVideoState* is = Pipeline(*player).VideoState();
    player->Seek(int64_t{2000000});
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0; }));
    // No picture has been shown, so the video clock has no value: whole seconds of the last target.
    player->Seek(1.5);
    EXPECT_EQ(is->seek_pos, 3500000);
    EXPECT_EQ(is->seek_rel, 1500000);
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0; }));
}

TEST_F(FFPlayTest, DefaultSizeKeepsThePictureHeightAndAnEvenWidth) {
    // 160x120 pictures of 4:3 pixels: 16:9 on screen, 213.3 pixels wide at 120 high.
    const auto clip = testsupport::MakeFixture(
        "h8_wide_pixels.mkv", {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=1", "-vf",
                               "setsar=4/3", "-c:v", "mpeg4", "{out}"});
    ASSERT_TRUE(player->Open(clip.string())) << player->LastErrMsg();
    EXPECT_EQ(player->DefaultHeight(), 120);
    EXPECT_EQ(player->DefaultWidth(), 212);
}

TEST_F(FFPlayTest, CurrentFrameIsEmptyWithoutAFileAndSizedToTheVideo) {
    int64_t pts = 0;
    TBitmap& none = player->CurrentFrame(pts);
    EXPECT_EQ(pts, -1);
    EXPECT_EQ(none.Width(), 0);
    EXPECT_EQ(none.Height(), 0);
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoAudio).string()));
    TBitmap& frame = player->CurrentFrame(pts);
    EXPECT_EQ(&frame, &none);  // the player's own bitmap, overwritten by each call
    EXPECT_EQ(frame.Width(), 320);
    EXPECT_EQ(frame.Height(), 240);
    player->SetVideoHookBitsPixel(24);
    EXPECT_EQ(player->VideoHookBitsPixel(), 24);
    EXPECT_THROW(player->SetVideoHookBitsPixel(12), std::invalid_argument);
}

// 4 s, 64x48 at 25 fps, lossless: picture n of each second is a flat grey of luma 16 + 8 x n, so that a
// picture tells its own time.
std::string GreyStepClip() {
    return testsupport::MakeFixture("h14_grey_steps.mkv",
                                    {"-f", "lavfi", "-i",
                                     "nullsrc=s=64x48:r=25:d=4,geq=lum=16+8*(N-25*floor(N/25)):cb=128:cr=128",
                                     "-c:v", "ffv1", "-pix_fmt", "yuv420p", "{out}"})
        .string();
}

// The grey that picture APTS (microseconds) of GreyStepClip shows, in full-range RGB.
int GreyAt(int64_t APTS) {
    const int64_t picture = (APTS + 20000) / 40000;
    return static_cast<int>(std::lround(8.0 * static_cast<double>(picture % 25) * 255.0 / 219.0));
}

// The middle pixel's three colour bytes agree with each other and with AGrey.
::testing::AssertionResult ShowsGrey(TBitmap& ABitmap, int AGrey) {
    std::lock_guard canvas(ABitmap);
    if (ABitmap.Width() != 64 || ABitmap.Height() != 48) {
        return ::testing::AssertionFailure() << "size " << ABitmap.Width() << "x" << ABitmap.Height();
    }
    const uint8_t* pixel = ABitmap.ScanLine(24) + 32 * ABitmap.BytesPerLine() / 64;
    for (int i = 0; i < 3; ++i) {
        if (std::abs(pixel[i] - AGrey) > 3) {
            return ::testing::AssertionFailure()
                   << "byte " << i << " is " << static_cast<int>(pixel[i]) << ", expected " << AGrey;
        }
    }
    return ::testing::AssertionSuccess();
}

TEST_F(FFPlayTest, CurrentFrameIsThePictureShownLastWithItsTime) {
    ASSERT_TRUE(player->Open(GreyStepClip())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_TRUE(playertest::WaitUntil([&] { return clock_pts(&is->vidclk) >= 0.5; }, 30000));
    // While the file plays, each call gives a picture and the time of that same picture.
    std::vector<int64_t> times;
    for (int i = 0; i < 20; ++i) {
        int64_t pts = -2;
        TBitmap& frame = player->CurrentFrame(pts);
        ASSERT_GE(pts, 0);
        EXPECT_TRUE(ShowsGrey(frame, GreyAt(pts))) << "at " << pts;
        times.push_back(pts);
        playertest::WaitUntil([] { return false; }, 30);
    }
    EXPECT_GT(times.back(), times.front());
    // Paused, the picture on screen stays the one given (once a pass that was under way has ended).
    player->Pause();
    playertest::WaitUntil([] { return false; }, 200);
    int64_t paused = -2;
    player->CurrentFrame(paused);
    int64_t again = -2;
    TBitmap& frame = player->CurrentFrame(again);
    EXPECT_EQ(again, paused);
    EXPECT_TRUE(ShowsGrey(frame, GreyAt(again)));
    EXPECT_NEAR(static_cast<double>(again), clock_pts(&is->vidclk) * 1000000.0, 1000.0);
}

// The limit is checked at every position while the file plays: each repeat type acts on it.
TEST_F(FFPlayTest, PlayTimeLimitActsDuringPlayback) {
    struct Case {
        const char* Name;
        TRepeatType Repeat;
        int64_t Start;     // the StartTime setting, AV_NOPTS_VALUE when unset
        bool Loops;        // the position comes back below the limit while the file plays on
        bool Stops;        // the file ends
        bool Pauses;       // the file is paused at the limit
    };
    const Case cases[] = {
        {"loop to 0", rtLoop, AV_NOPTS_VALUE, true, false, false},
        {"loop to the start time", rtLoop, 2000000, true, false, false},
        {"rewind", rtRewind, AV_NOPTS_VALUE, true, false, true},
        {"pause", rtPause, AV_NOPTS_VALUE, false, false, true},
        {"stop", rtStop, AV_NOPTS_VALUE, false, true, false},
    };
    constexpr int64_t kPlayTime = 1000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        std::mutex lock;
        std::vector<int64_t> positions;
        player->OnPosition = [&](TObject*, const int64_t& APosition) {
            std::lock_guard guard(lock);
            positions.push_back(APosition);
        };
        const auto seen = [&] {
            std::lock_guard guard(lock);
            return positions;
        };
        player->start_time() = c.Start;
        player->PlayTime = kPlayTime;
        player->RepeatType = c.Repeat;
        const int64_t start = c.Start == AV_NOPTS_VALUE ? 0 : c.Start;
        const int64_t limit = start + kPlayTime;
        ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string())) << player->LastErrMsg();
        // Reached: a position at the limit or past it.
        const auto reachedAt = [&]() -> int {
            const std::vector<int64_t> p = seen();
            for (size_t i = 0; i < p.size(); ++i) {
                if (p[i] >= limit) {
                    return static_cast<int>(i);
                }
            }
            return -1;
        };
        ASSERT_TRUE(playertest::WaitUntil([&] { return reachedAt() >= 0 || !Pipeline(*player).VideoState(); }, 30000));
        if (c.Loops) {
            // Back at the start: a later position before the middle of the played span.
            ASSERT_TRUE(playertest::WaitUntil(
                [&] {
                    const std::vector<int64_t> p = seen();
                    const int at = reachedAt();
                    return std::any_of(p.begin() + at, p.end(),
                                       [&](int64_t v) { return v < start + kPlayTime / 2; });
                },
                30000));
            EXPECT_GE(seen().back(), start - 40000) << ::testing::PrintToString(seen());
        }
        if (c.Pauses) {
            EXPECT_TRUE(playertest::WaitUntil([&] { return player->Paused(); }, 30000));
            EXPECT_EQ(player->PlayState(), psPause);
        } else if (!c.Stops) {
            EXPECT_FALSE(player->Paused());
        }
        if (c.Stops) {
            ASSERT_TRUE(playertest::WaitUntil([&] { return events.back() == "state 4"; }, 30000))
                << ::testing::PrintToString(seen()) << ::testing::PrintToString(events);
            EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
            const int64_t last = seen().back();
            EXPECT_GE(last, limit);
            EXPECT_LT(last, limit + 1000000);
        }
        player->Stop(true);
        player->OnPosition = nullptr;
    }
}

// Sound waits for the first picture: the file starts with its first picture, nothing skipped before it,
// and its first sound is of the same moment; after a seek the same holds at the new position.
TEST_F(FFPlayTest, SoundAndPictureStartTogetherAtTheOpenAndAfterASeek) {
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    const auto checkStart = [&](double AAt) {
        ASSERT_TRUE(playertest::WaitUntil([&] { return !std::isnan(is->first_sound_time); }, 30000));
        ASSERT_FALSE(std::isnan(is->first_picture_time));
        EXPECT_NEAR(is->first_picture_pts, AAt, 0.041);
        EXPECT_LE(is->first_picture_time, is->first_sound_time);
        EXPECT_NEAR(is->first_sound_pts, is->first_picture_pts, 0.04);
        EXPECT_EQ(is->start_held, 0);
    };
    checkStart(0.0);
    player->Seek(int64_t{6000000});
    ASSERT_TRUE(playertest::WaitUntil([&] { return is->seek_req == 0; }, 30000));
    checkStart(6.0);
}

TEST_F(FFPlayTest, SoundWithoutPicturesStartsAtOnce) {
    ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    EXPECT_EQ(is->start_held, 0);
    EXPECT_TRUE(playertest::WaitUntil([&] { return !std::isnan(is->first_sound_time); }, 30000));
    EXPECT_TRUE(std::isnan(is->first_picture_time));
}

TEST_F(FFPlayTest, OpenAfterUnloadIsRefusedAndWorksAgainAfterLoad) {
    player->UnloadAVLib();
    EXPECT_FALSE(player->AVLibLoaded());
    EXPECT_FALSE(player->Open(MakeClip(Clip::AudioOnly).string()));
    EXPECT_EQ(player->LastErrMsg(), "FFmpeg libraries not loaded.");
    ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
    EXPECT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string())) << player->LastErrMsg();
}

TEST_F(FFPlayTest, SwitchingToTheOpenStreamChangesNothing) {
    ASSERT_TRUE(player->Open(playertest::TwoAudioSubtitleClip().string()));
    TVideoState* is = Pipeline(*player).VideoState();
    AVCodecContext* before = is->audio_avctx.get();
    EXPECT_TRUE(Pipeline(*player).stream_change_channel(is, AVMEDIA_TYPE_AUDIO, 1));
    EXPECT_EQ(is->audio_avctx.get(), before);
    EXPECT_TRUE(Pipeline(*player).stream_change_channel(is, AVMEDIA_TYPE_AUDIO, 3));
    EXPECT_EQ(is->audio_stream, 3);
    // Cycling walks on to the next audio stream, wrapping round.
    Pipeline(*player).stream_cycle_channel(is, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(is->audio_stream, 1);
    // Subtitles off (-1) is a valid choice for subtitles only.
    EXPECT_TRUE(Pipeline(*player).stream_change_channel(is, AVMEDIA_TYPE_SUBTITLE, -1));
    EXPECT_FALSE(Pipeline(*player).stream_change_channel(is, AVMEDIA_TYPE_AUDIO, -1));
    EXPECT_EQ(player->LastErrMsg(), "the stream index is invalid.");
}

TEST_F(FFPlayTest, ImageSequenceReportsNoDuration) {
    const auto pattern = MakeClip(Clip::PngSequence).parent_path() / "frame%03d.png";
    ASSERT_TRUE(player->Open(pattern.string())) << player->LastErrMsg();
    EXPECT_EQ(Pipeline(*player).VideoState()->IsImage2, 1);
    EXPECT_EQ(duration, 0);
}

TEST_F(FFPlayTest, EndOfFileIsReportedOncePerSeek) {
    playertest::LogCapture log;
    const std::string clip = MakeClip(Clip::AudioOnly).string();
    ASSERT_TRUE(player->Open(clip));
    TVideoState* is = Pipeline(*player).VideoState();
    AVPacket* pkt = ff::av_packet_alloc();
    bool sawEndPacket = false;
    // A consumer that keeps the queue short lets the read thread reach the end of the input. The audio
    // decoder takes packets from the same queue: the end packet reaches one of the two.
    auto endPacketTaken = [&] { return sawEndPacket || is->audio_finished == is->audioq.serial; };
    auto drainUntil = [&](const std::function<bool()>& done) {
        return playertest::WaitUntil([&] {
            while (packet_queue_get(&is->audioq, pkt, 0, nullptr) == 1) {
                sawEndPacket = sawEndPacket || (pkt->data == nullptr && pkt->size == 0);
            }
            return done();
        });
    };
    EXPECT_TRUE(drainUntil([&] { return is->ReachEOF == 1 && endPacketTaken(); }));
    EXPECT_EQ(log.Count("reach end of file: " + clip), 1);
    player->Seek(int64_t{0});
    EXPECT_TRUE(drainUntil([&] { return log.Count("reach end of file: " + clip) == 2; }));
    ff::av_packet_free(&pkt);
}

// Inputs whose streams yield nothing: the file ends (or fails to open) however long it is played; it
// is not held open waiting for a sound that never comes.
struct TBrokenInputCase {
    const char* Name;
    const char* File;
    std::vector<std::string> Args;
    uintmax_t KeepBytes;  // the first bytes kept; 0: up to the first Matroska cluster
};

void PrintTo(const TBrokenInputCase& c, std::ostream* AOut) {
    *AOut << c.Name;
}

std::filesystem::path CutFixture(const TBrokenInputCase& c) {
    const std::filesystem::path whole = testsupport::MakeFixture(c.File, c.Args);
    std::ifstream in(whole, std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t keep = c.KeepBytes;
    if (keep == 0) {
        keep = data.find("\x1F\x43\xB6\x75");
    }
    const std::filesystem::path cut = whole.parent_path() / (std::string("cut_") + c.Name + whole.extension().string());
    std::ofstream(cut, std::ios::binary).write(data.data(), static_cast<std::streamsize>(std::min(keep, data.size())));
    return cut;
}

class BrokenInputTest : public FFPlayTest, public ::testing::WithParamInterface<TBrokenInputCase> {};

TEST_P(BrokenInputTest, EndsOrFailsToOpen) {
    const std::filesystem::path file = CutFixture(GetParam());
    std::atomic<bool> failed = false;
    player->OnOpenFailed = [&](TObject*) { failed = true; };
    const bool opened = player->Open(file.string());
    const std::string end = "state " + std::to_string(static_cast<int>(psEnd));
    EXPECT_TRUE(playertest::WaitUntil(
        [&] { return failed || std::find(events.begin(), events.end(), end) != events.end(); }, 30000))
        << (opened ? "opened" : "not opened");
    player->Stop(true);
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, BrokenInputTest,
    ::testing::Values(
        // Picture and sound headers, one picture, and no sound packet that decodes.
        TBrokenInputCase{"TruncatedOgv", "broken_src.ogv",
                         {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25:duration=2", "-f", "lavfi", "-i",
                          "sine=duration=2", "-c:v", "libtheora", "-c:a", "libvorbis", "{out}"},
                         12000},
        // The header with both tracks, and no cluster.
        TBrokenInputCase{"HeaderOnlyMkv", "broken_src.mkv",
                         {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25:duration=2", "-f", "lavfi", "-i",
                          "sine=duration=2", "-c:v", "mpeg4", "-c:a", "aac", "{out}"},
                         0}),
    [](const ::testing::TestParamInfo<TBrokenInputCase>& AInfo) { return std::string(AInfo.param.Name); });

using playertest::ThreadCount;

TEST_F(FFPlayTest, ManyOpenStopCyclesLeaveNoThreadBehind) {
    const std::string clip = MakeClip(Clip::VideoAudio).string();
    ASSERT_TRUE(player->Open(clip));
    player->Stop(true);
    const int threads = ThreadCount();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(player->Open(clip)) << "cycle " << i << ": " << player->LastErrMsg();
        player->Stop(i % 2 == 0);
    }
    player->Stop(true);
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_TRUE(playertest::WaitUntil([&] { return ThreadCount() <= threads; }));
}

}  // namespace
