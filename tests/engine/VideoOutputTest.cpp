// The player's video end to end: files play into a real X window under Xvfb (SDL's x11 driver inside the
// test's own Xlib window), and the pictures are checked in the window's pixels, through the video hook
// and through the video clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/Bitmap.h"
#include "engine/load/FFAPI.h"
#include "engine/play/FFPlayPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/engine/XTestHost.h"
#include "tests/support/Fixtures.h"

// Last: its macros would clash with the headers above.
#include <X11/Xlib.h>

namespace {

using testsupport::Clip;
using testsupport::MakeClip;
using testsupport::MakeFixture;

constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kWhite = 0xFFFFFF;

// 2 s of solid red, 320x240 at 25 fps.
std::string RedClip() {
    return MakeFixture("h12_red_320x240.mkv",
                       {"-f", "lavfi", "-i", "color=c=red:size=320x240:rate=25:duration=2", "-c:v", "mpeg4",
                        "-q:v", "2", "{out}"})
        .string();
}

// 4 s, 160x120 at 25 fps, every picture a key frame, so that a seek lands on the asked picture.
std::string KeyFrameClip() {
    return MakeFixture("h12_keyframes_160x120.mkv",
                       {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25:duration=4", "-c:v", "mpeg4", "-g",
                        "1", "-q:v", "8", "{out}"})
        .string();
}

// A DVD subtitle packet: an opaque white rectangle at (100, 100), 120 x 40, shown from its start for
// 3 s (the stop date 264 is 264 x 1024 / 90 = 3003 ms).
std::vector<uint8_t> WhiteBoxSubtitle() {
    std::vector<uint8_t> spu;
    const auto put16 = [&](int AValue) {
        spu.push_back(static_cast<uint8_t>(AValue >> 8));
        spu.push_back(static_cast<uint8_t>(AValue));
    };
    constexpr int kLines = 40;
    constexpr int kControl = 4 + kLines * 2;
    constexpr int kStopControl = kControl + 4 + 20;
    put16(0);  // packet size, filled in below
    put16(kControl);
    // Each line (top field, then bottom field) is one code: colour 1 to the end of the line.
    for (int line = 0; line < kLines; ++line) {
        put16(0x0001);
    }
    put16(0);  // date
    put16(kStopControl);
    for (const int byte : {0x03, 0x00, 0x10,  // colour 1 = palette entry 1
                           0x04, 0x00, 0xF0,  // alpha: colour 1 opaque, 0 clear
                           0x05, 0x06, 0x40, 0xDB, 0x06,          0x40, 0x8B,  // x 100..219, y 100..139
                           0x06, 0x00, 0x04, 0x00, 0x04 + kLines,              // the two fields' lines
                           0x01, 0xFF}) {                                      // start display, end
        spu.push_back(static_cast<uint8_t>(byte));
    }
    put16(264);           // date of the stop
    put16(kStopControl);  // the last control sequence points at itself
    spu.push_back(0x02);
    spu.push_back(0xFF);
    spu[0] = static_cast<uint8_t>(spu.size() >> 8);
    spu[1] = static_cast<uint8_t>(spu.size());
    return spu;
}

// The packet in an MPEG program stream pack, as a VobSub ".sub" file holds it.
std::vector<uint8_t> VobSubPack(const std::vector<uint8_t>& ASpu, int64_t APts90k) {
    std::vector<uint8_t> pack = {0x00, 0x00, 0x01, 0xBA, 0x44, 0x00, 0x04,
                                 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8};
    const size_t length = 3 + 5 + 1 + ASpu.size();
    for (const int byte :
         {0x00, 0x00, 0x01, 0xBD, static_cast<int>(length >> 8), static_cast<int>(length & 0xFF), 0x81, 0x80,
          0x05, static_cast<int>(0x21 | ((APts90k >> 29) & 0x0E)), static_cast<int>((APts90k >> 22) & 0xFF),
          static_cast<int>(0x01 | ((APts90k >> 14) & 0xFE)), static_cast<int>((APts90k >> 7) & 0xFF),
          static_cast<int>(0x01 | ((APts90k << 1) & 0xFE)), 0x20}) {
        pack.push_back(static_cast<uint8_t>(byte));
    }
    pack.insert(pack.end(), ASpu.begin(), ASpu.end());
    return pack;
}

// 5 s of black video with a bitmap (DVD) subtitle that shows a white box from 1 s to 4 s.
std::string SubtitleClip() {
    const std::filesystem::path idx = testsupport::FixtureDir() / "h12_white_box_3s.idx";
    const std::filesystem::path sub = testsupport::FixtureDir() / "h12_white_box_3s.sub";
    if (!std::filesystem::exists(sub)) {
        std::ofstream(idx) << "# VobSub index file, v7 (do not modify this line!)\n"
                              "size: 320x240\n"
                              "palette: 000000, ffffff, 808080, 000000, 000000, 000000, 000000, 000000, "
                              "000000, 000000, 000000, 000000, 000000, 000000, 000000, 000000\n"
                              "id: en, index: 0\n"
                              "timestamp: 00:00:01:000, filepos: 000000000\n";
        const std::vector<uint8_t> pack = VobSubPack(WhiteBoxSubtitle(), 90000);
        std::ofstream(sub, std::ios::binary)
            .write(reinterpret_cast<const char*>(pack.data()), static_cast<std::streamsize>(pack.size()));
    }
    return MakeFixture(
               "h12_white_box_3s.mkv",
               {"-f", "lavfi", "-i", "color=c=black:size=320x240:rate=25:duration=5", "-i", idx.string(),
                "-map", "0:v", "-map", "1:s", "-c:v", "mpeg4", "-q:v", "2", "-c:s", "copy", "{out}"})
        .string();
}

// 2 s, 320x240 at 25 fps: the top half red, the bottom half blue.
std::string RedOverBlueClip() {
    return MakeFixture(
               "h12_red_over_blue.mkv",
               {"-f", "lavfi", "-i", "color=c=red:size=320x120:rate=25:duration=2,pad=320:240:0:0:blue",
                "-c:v", "mpeg4", "-q:v", "2", "{out}"})
        .string();
}

// 10 s, 640x480 at 5 fps, four coloured quarters: red and green above, white and yellow below.
std::string QuartersClip() {
    return MakeFixture("h12_quarters.mkv",
                       {"-f", "lavfi", "-i",
                        "color=red:s=320x240:r=5:d=10[a];color=lime:s=320x240:r=5:d=10[b];"
                        "color=white:s=320x240:r=5:d=10[c];color=yellow:s=320x240:r=5:d=10[d];"
                        "[a][b]hstack[top];[c][d]hstack[bottom];[top][bottom]vstack[out0]",
                        "-c:v", "mpeg4", "-q:v", "2", "{out}"})
        .string();
}

bool Near(uint32_t AColour, uint32_t AExpected, int ATolerance = 40) {
    for (int shift = 0; shift <= 16; shift += 8) {
        const int a = static_cast<int>(AColour >> shift & 0xFF);
        const int b = static_cast<int>(AExpected >> shift & 0xFF);
        if (std::abs(a - b) > ATolerance) {
            return false;
        }
    }
    return true;
}

class VideoOutput : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::KeepXServer();
        enginetest::LoadPlayerLibraries();
        player = std::make_unique<TFFPlayer>();
        ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
        // The x11 driver inside the test's window; no sound device is needed.
        player->VideoDriver = vdDirectDraw;
        player->DisableAudio = true;
        player->OnState = [this](TObject*, TPlayState AState) {
            std::lock_guard lock(statesLock);
            states.push_back(AState);
        };
    }
    void TearDown() override {
        if (player) {
            player->Stop(true);
        }
        player.reset();
    }

    // Waits, pumping the window's messages and the main thread's calls.
    bool Until(const std::function<bool()>& ADone, unsigned ATimeoutMs = 60000) {
        return playertest::WaitUntil(
            [&] {
                if (window) {
                    window->Pump();
                }
                return ADone();
            },
            ATimeoutMs);
    }
    bool PixelBecomes(int AX, int AY, uint32_t AColour) {
        return Until([&] { return Near(window->Pixel(AX, AY), AColour); });
    }
    // Lets the play loop run for a while (the file is expected not to change meanwhile).
    void Idle(int AMilliseconds) {
        Until([] { return false; }, static_cast<unsigned>(AMilliseconds));
    }
    double VideoClock() {
        TVideoState* is = Pipeline(*player).VideoState();
        return is ? clock_pts(&is->vidclk) : NAN;
    }
    bool FirstPictureShownPaused() {
        TVideoState* is = Pipeline(*player).VideoState();
        return is && is->open_paused == 0 && player->Paused() && !std::isnan(VideoClock());
    }
    std::vector<TPlayState> States() {
        std::lock_guard lock(statesLock);
        return states;
    }

    std::unique_ptr<enginetest::XTestHost> window;
    std::unique_ptr<TFFPlayer> player;
    std::mutex statesLock;
    std::vector<TPlayState> states;
};

TEST_F(VideoOutput, PictureFillsTheDisplayRectangleWithTheBackColourAroundIt) {
    window = std::make_unique<enginetest::XTestHost>(500, 300);
    player->SetBackColor(kBlue);
    ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
    // A 4:3 picture in a 500x300 area: 400x300 at x = 50, blue borders left and right.
    ASSERT_TRUE(PixelBecomes(250, 150, 0xFF0000)) << std::hex << window->Pixel(250, 150);
    EXPECT_TRUE(PixelBecomes(52, 10, 0xFF0000)) << std::hex << window->Pixel(52, 10);
    EXPECT_TRUE(PixelBecomes(447, 290, 0xFF0000)) << std::hex << window->Pixel(447, 290);
    EXPECT_TRUE(PixelBecomes(20, 150, kBlue)) << std::hex << window->Pixel(20, 150);
    EXPECT_TRUE(PixelBecomes(480, 150, kBlue)) << std::hex << window->Pixel(480, 150);
    EXPECT_EQ(Pipeline(*player).SDLHost().DisplayRect(), (TRect{50, 0, 450, 300}));
    // Window pixels map back to picture pixels through that rectangle.
    EXPECT_EQ(player->DisplayToActualRect({50, 0, 450, 300}), (TRect{0, 0, 320, 240}));
    EXPECT_EQ(player->DisplayToActualRect({250, 150, 0, 0}), (TRect{0, 0, 160, 120}));

    // Taller than wide: the picture keeps its aspect, 300x224 at y = 88, with borders above and below.
    window->Resize(300, 400);
    ASSERT_TRUE(PixelBecomes(150, 20, kBlue)) << std::hex << window->Pixel(150, 20);
    EXPECT_TRUE(PixelBecomes(150, 200, 0xFF0000));
    EXPECT_TRUE(PixelBecomes(150, 380, kBlue)) << std::hex << window->Pixel(150, 380);
    EXPECT_EQ(Pipeline(*player).SDLHost().DisplayRect(), (TRect{0, 88, 300, 312}));
    EXPECT_EQ(player->ScreenWidth, 300);
    EXPECT_EQ(player->ScreenHeight, 400);
    player->Stop(true);
    EXPECT_EQ(player->DisplayToActualRect({0, 0, 300, 400}), TRect{});
}

TEST_F(VideoOutput, AspectRatioSettingsPlaceThePicture) {
    window = std::make_unique<enginetest::XTestHost>(500, 300);
    player->SetBackColor(kBlue);
    ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(PixelBecomes(250, 150, 0xFF0000));
    // Negative: fill the area (500/300 as a float gives 498 wide at x = 1).
    player->SetAspectRatio(-1.0f);
    ASSERT_TRUE(PixelBecomes(20, 150, 0xFF0000));
    EXPECT_EQ(Pipeline(*player).SDLHost().DisplayRect(), (TRect{1, 0, 499, 300}));
    EXPECT_TRUE(PixelBecomes(0, 150, kBlue)) << std::hex << window->Pixel(0, 150);
    // 2.0 in 500x300: 500x250 at y = 25.
    player->SetAspectRatio(2.0f);
    ASSERT_TRUE(PixelBecomes(250, 10, kBlue));
    EXPECT_EQ(Pipeline(*player).SDLHost().DisplayRect(), (TRect{0, 25, 500, 275}));
    EXPECT_TRUE(Near(window->Pixel(250, 150), 0xFF0000));
}

// Scaled down, up, or to an odd width, the whole picture fills exactly its rectangle: each quarter's
// corners and the edges between the quarters are where the picture's aspect puts them.
TEST_F(VideoOutput, ScaledPictureKeepsItsAspectAndPlace) {
    struct Case {
        int Width;
        int Height;
        TRect Expected;  // left, top, right, bottom
    };
    const Case cases[] = {
        {400, 300, {0, 0, 400, 300}},     // the picture's own aspect, smaller
        {500, 300, {50, 0, 450, 300}},    // borders left and right
        {331, 400, {0, 76, 331, 324}},    // an odd width, borders above and below
        {1000, 600, {100, 0, 900, 600}},  // larger than the picture
        {640, 480, {0, 0, 640, 480}},     // the picture's own size
    };
    constexpr uint32_t kRed = 0xFF0000;
    constexpr uint32_t kGreen = 0x00FF00;
    constexpr uint32_t kYellow = 0xFFFF00;
    window = std::make_unique<enginetest::XTestHost>(cases[0].Width, cases[0].Height);
    player->SetBackColor(kBlue);
    ASSERT_TRUE(player->Open(QuartersClip(), window.get())) << player->LastErrMsg();
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Width) + "x" + std::to_string(c.Height));
        window->Resize(c.Width, c.Height);
        const TRect& r = c.Expected;
        ASSERT_TRUE(Until([&] { return Pipeline(*player).SDLHost().DisplayRect() == r; }));
        const int midX = (r.left + r.right) / 2;
        const int midY = (r.top + r.bottom) / 2;
        const struct {
            int X;
            int Y;
            uint32_t Colour;
        } points[] = {
            {r.left, r.top + 2, kRed},          {r.right - 1, r.top + 2, kGreen},
            {r.left + 2, r.bottom - 1, kWhite}, {r.right - 1, r.bottom - 1, kYellow},
            {midX - 3, r.top + 10, kRed},       {midX + 2, r.top + 10, kGreen},
            {r.left + 10, midY - 3, kRed},      {r.left + 10, midY + 2, kWhite},
            {r.left - 1, midY, kBlue},          {r.right, midY, kBlue},
            {midX, r.top - 1, kBlue},           {midX, r.bottom, kBlue},
        };
        for (const auto& p : points) {
            // A border that the picture leaves no room for is left out.
            if (p.X < 0 || p.Y < 0 || p.X >= c.Width || p.Y >= c.Height) {
                continue;
            }
            EXPECT_TRUE(PixelBecomes(p.X, p.Y, p.Colour))
                << p.X << "," << p.Y << ": " << std::hex << window->Pixel(p.X, p.Y);
        }
    }
}

// The picture's ways through the decoder: the filter graph or the scaler, a filter chain, the flip and
// the deinterlacer, each seen in the window.
TEST_F(VideoOutput, PictureSettingsShowInTheWindow) {
    struct Case {
        const char* Name;
        std::function<void(TFFPlayer&)> Setup;
        uint32_t Top;
        uint32_t Bottom;
        const char* Logged;
    };
    const Case cases[] = {
        {"filter graph", [](TFFPlayer&) {}, 0xFF0000, 0x0000FF, nullptr},
        {"scaler without filtering", [](TFFPlayer& p) { p.DisableVideoFilter = true; }, 0xFF0000, 0x0000FF,
         nullptr},
        {"filter chain", [](TFFPlayer& p) { p.VideoFilters = "negate"; }, 0x00FFFF, 0xFFFF00,
         "Parse filters: negate"},
        {"vertical flip", [](TFFPlayer& p) { p.VerticalFlip = true; }, 0x0000FF, 0xFF0000, nullptr},
        {"vertical flip without filtering",
         [](TFFPlayer& p) {
             p.VerticalFlip = true;
             p.DisableVideoFilter = true;
         },
         0x0000FF, 0xFF0000, nullptr},
        {"deinterlaced", [](TFFPlayer& p) { p.Deinterlace = true; }, 0xFF0000, 0x0000FF, nullptr},
    };
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        playertest::LogCapture log;
        c.Setup(*player);
        ASSERT_TRUE(player->Open(RedOverBlueClip(), window.get())) << player->LastErrMsg();
        EXPECT_TRUE(PixelBecomes(160, 30, c.Top)) << std::hex << window->Pixel(160, 30);
        EXPECT_TRUE(PixelBecomes(160, 210, c.Bottom)) << std::hex << window->Pixel(160, 210);
        if (c.Logged) {
            EXPECT_TRUE(log.Contains(c.Logged)) << log.All();
        }
        EXPECT_FALSE(log.Contains("failed")) << log.All();
        player->Stop(true);
        player->DisableVideoFilter = false;
        player->VideoFilters.clear();
        player->Deinterlace = false;
    }
}

// The filter graph is kept across a seek unless it is to be reset after seeking.
TEST_F(VideoOutput, SeekRebuildsTheFilterGraphOnlyWhenAsked) {
    window = std::make_unique<enginetest::XTestHost>(160, 120);
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset after seeking" : "kept");
        playertest::LogCapture log;
        player->ResetFilterAfterSeeking = reset;
        ASSERT_TRUE(player->Open(KeyFrameClip(), window.get())) << player->LastErrMsg();
        ASSERT_TRUE(Until([&] { return VideoClock() > 0.1; }));
        ASSERT_NE(Pipeline(*player).VideoState()->FilterGraph, nullptr);
        player->Seek(int64_t{2000000});
        ASSERT_TRUE(Until([&] { return VideoClock() > 2.1; }));
        const int rebuilt = log.Count(
            "Video frame changed from size:160x120 format:yuv420p serial:1 to "
            "size:160x120 format:yuv420p serial:2");
        EXPECT_EQ(rebuilt, reset ? 1 : 0) << log.All();
        player->Stop(true);
    }
}

TEST_F(VideoOutput, VideoHookSeesEveryPictureInOrderWithItsTime) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    std::mutex lock;
    std::vector<int64_t> times;
    std::vector<std::pair<int, int>> sizes;
    player->VideoHook = true;
    player->OnVideoHook = [&](TObject*, TObject* ABitmap, const int64_t& APTS, bool& AUpdate) {
        AUpdate = false;
        auto* bitmap = dynamic_cast<TBitmap*>(ABitmap);
        std::lock_guard guard(lock);
        times.push_back(APTS);
        sizes.emplace_back(bitmap ? bitmap->Width() : -1, bitmap ? bitmap->Height() : -1);
    };
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoOnly).string(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] {
        std::lock_guard guard(lock);
        return times.size() >= 50;
    }));
    Idle(200);
    EXPECT_EQ(Pipeline(*player).VideoState()->frame_drops_early, 0);
    player->Stop(true);
    std::lock_guard guard(lock);
    ASSERT_EQ(times.size(), 50u);
    for (size_t i = 0; i < times.size(); ++i) {
        EXPECT_NEAR(static_cast<double>(times[i]), static_cast<double>(i) * 40000.0, 1000.0) << i;
        EXPECT_EQ(sizes[i], (std::pair<int, int>{320, 240})) << i;
    }
}

// What the video hook draws is what the window shows, with and without the filter graph (without it
// the hook's picture is not scaled over again).
TEST_F(VideoOutput, VideoHookDrawingIsShown) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    player->VideoHook = true;
    player->OnVideoHook = [](TObject*, TObject* ABitmap, const int64_t&, bool&) {
        auto* bitmap = dynamic_cast<TBitmap*>(ABitmap);
        ASSERT_NE(bitmap, nullptr);
        ASSERT_EQ(bitmap->PixelFormat(), pf32bit);
        // The left half green (BGRA).
        for (int y = 0; y < bitmap->Height(); ++y) {
            uint8_t* row = bitmap->ScanLine(y);
            for (int x = 0; x < bitmap->Width() / 2; ++x) {
                row[x * 4 + 0] = 0;
                row[x * 4 + 1] = 255;
                row[x * 4 + 2] = 0;
            }
        }
    };
    for (const bool disableFilter : {false, true}) {
        SCOPED_TRACE(disableFilter ? "without filtering" : "through the filter graph");
        player->DisableVideoFilter = disableFilter;
        ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
        EXPECT_TRUE(PixelBecomes(80, 120, 0x00FF00)) << std::hex << window->Pixel(80, 120);
        EXPECT_TRUE(PixelBecomes(240, 120, 0xFF0000)) << std::hex << window->Pixel(240, 120);
        player->Stop(true);
    }
}

TEST_F(VideoOutput, OddSizedPicturesAreShownEven) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    std::atomic<int> width{0};
    std::atomic<int> height{0};
    player->VideoHook = true;
    player->OnVideoHook = [&](TObject*, TObject* ABitmap, const int64_t&, bool& AUpdate) {
        AUpdate = false;
        if (auto* bitmap = dynamic_cast<TBitmap*>(ABitmap)) {
            width = bitmap->Width();
            height = bitmap->Height();
        }
    };
    ASSERT_TRUE(player->Open(MakeClip(Clip::OddSize).string(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] { return width != 0 && player->FrameWidth() != 0; }));
    EXPECT_EQ(width, 640);
    EXPECT_EQ(height, 480);
    EXPECT_EQ(player->FrameWidth(), 640);
    EXPECT_EQ(player->FrameHeight(), 480);
    player->Stop(true);
}

TEST_F(VideoOutput, OpenPausedShowsTheFirstPictureAndStepShowsExactlyOneMore) {
    window = std::make_unique<enginetest::XTestHost>(160, 120);
    ASSERT_TRUE(player->Open(KeyFrameClip(), window.get(), true)) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] { return FirstPictureShownPaused(); }));
    EXPECT_NEAR(VideoClock(), 0.0, 0.001);
    EXPECT_TRUE(Until([&] {
        const std::vector<TPlayState> s = States();
        return !s.empty() && s.back() == psPause;
    }));
    Idle(200);
    EXPECT_NEAR(VideoClock(), 0.0, 0.001);

    for (int step = 1; step <= 2; ++step) {
        SCOPED_TRACE(step);
        player->StepToNextFrame();
        ASSERT_TRUE(Until([&] { return player->Paused() && VideoClock() > 0.04 * step - 0.001; }));
        Idle(300);
        EXPECT_TRUE(player->Paused());
        EXPECT_NEAR(VideoClock(), 0.04 * step, 0.001);
    }
}

TEST_F(VideoOutput, SeekWhilePausedShowsTheFirstPictureAtTheNewPosition) {
    window = std::make_unique<enginetest::XTestHost>(160, 120);
    ASSERT_TRUE(player->Open(KeyFrameClip(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] { return VideoClock() > 0.1; }));
    player->Pause();
    Idle(100);
    const double pausedAt = VideoClock();
    player->Seek(int64_t{2000000});
    ASSERT_TRUE(Until([&] { return std::fabs(VideoClock() - 2.0) < 0.001; }))
        << "paused at " << pausedAt << ", clock " << VideoClock();
    Idle(300);
    EXPECT_TRUE(player->Paused());
    EXPECT_NEAR(VideoClock(), 2.0, 0.001);
    EXPECT_EQ(Pipeline(*player).VideoState()->seek_paused, 0);
}

TEST_F(VideoOutput, AudioFileShowsWavesAndSpectrumWithoutError) {
    playertest::LogCapture log;
    window = std::make_unique<enginetest::XTestHost>(320, 200);
    player->SetBackColor(kBlue);
    player->DisableAudio = false;
    ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string(), window.get())) << player->LastErrMsg();
    ASSERT_EQ(Pipeline(*player).VideoState()->show_mode, SHOW_MODE_WAVES);
    // Two channels: two traces, split by a line in the wave colour half-way down.
    ASSERT_TRUE(PixelBecomes(5, 100, kWhite)) << std::hex << window->Pixel(5, 100);
    EXPECT_TRUE(PixelBecomes(5, 5, kBlue)) << std::hex << window->Pixel(5, 5);

    // The spectrum draws one column per frame, moving right.
    player->SetShowMode(smRDFT);
    ASSERT_TRUE(Until([&] { return Pipeline(*player).VideoState()->xpos > 3; }));
    EXPECT_NE(window->Pixel(1, 100), kBlue);
    EXPECT_FALSE(log.Contains("Error")) << log.All();
}

TEST_F(VideoOutput, NothingIsDrawnWhileTheWindowCannotBeSeen) {
    window = std::make_unique<enginetest::XTestHost>(320, 200);
    window->SetOnScreen(false);
    player->SetBackColor(kBlue);
    player->DisableAudio = false;
    ASSERT_TRUE(player->Open(MakeClip(Clip::AudioOnly).string(), window.get())) << player->LastErrMsg();
    ASSERT_EQ(Pipeline(*player).VideoState()->show_mode, SHOW_MODE_WAVES);
    // Sound plays on; the waves view has drawn no trace (the channels' dividing line would be white).
    ASSERT_TRUE(Until([&] { return clock_pts(&Pipeline(*player).VideoState()->audclk) > 0.5; }));
    EXPECT_NE(window->Pixel(5, 100), kWhite);
    // Seen again (paused, so that the file cannot end meanwhile): the view is back at once.
    player->Pause();
    window->SetOnScreen(true);
    EXPECT_TRUE(PixelBecomes(5, 100, kWhite)) << std::hex << window->Pixel(5, 100);
}

// 3 s of stereo sound whose traces change shape from frame to frame: a swelling tone on the left, a
// rising sweep on the right.
std::string ChangingWavesClip() {
    return MakeFixture("h12_changing_waves.mp3",
                       {"-f", "lavfi", "-i",
                        "aevalsrc=exprs=0.6*sin(2*PI*440*t)*sin(PI*t/3)|0.5*sin(2*PI*97*t*t):s=44100:d=3",
                        "-c:a", "libmp3lame", "{out}"})
        .string();
}

// The waves view repaints only the columns whose bar moved: after playing, a resume and a seek, what the
// window holds is the frame that a whole redraw of the same samples gives.
TEST_F(VideoOutput, WavesRepaintedByChangesMatchAWholeRedraw) {
    window = std::make_unique<enginetest::XTestHost>(320, 200);
    player->SetBackColor(kBlue);
    player->DisableAudio = false;
    ASSERT_TRUE(player->Open(ChangingWavesClip(), window.get())) << player->LastErrMsg();
    ASSERT_EQ(Pipeline(*player).VideoState()->show_mode, SHOW_MODE_WAVES);
    const auto audioClock = [&] { return clock_pts(&Pipeline(*player).VideoState()->audclk); };
    const auto pausedViewIsAWholeRedraw = [&](const char* AWhen) {
        SCOPED_TRACE(AWhen);
        player->Pause();
        ASSERT_TRUE(Until([&] { return player->Paused(); }));
        Idle(200);
        const std::vector<uint32_t> drawn = window->Pixels();
        ASSERT_FALSE(drawn.empty());
        // More than the dividing line is in the wave colour: the traces are there.
        EXPECT_GT(std::count(drawn.begin(), drawn.end(), kWhite), 2 * 320);
        // The X server clears the window; the engine draws the whole view again from the same samples.
        window->ExposeAll();
        const bool same = Until([&] { return window->Pixels() == drawn; }, 30000);
        if (!same) {
            const std::vector<uint32_t> whole = window->Pixels();
            size_t differ = 0;
            for (size_t i = 0; i < std::min(whole.size(), drawn.size()); ++i) {
                differ += whole[i] != drawn[i] ? 1 : 0;
            }
            ADD_FAILURE() << differ << " pixels differ from a whole redraw";
        }
    };
    ASSERT_TRUE(Until([&] { return audioClock() > 0.4; }));
    pausedViewIsAWholeRedraw("played");
    player->Resume();
    ASSERT_TRUE(Until([&] { return audioClock() > 0.8; }));
    pausedViewIsAWholeRedraw("resumed");
    player->Resume();
    player->Seek(int64_t{1500000});
    ASSERT_TRUE(Until([&] { return audioClock() > 1.55; }));
    pausedViewIsAWholeRedraw("after a seek");
}

TEST_F(VideoOutput, ExposeRedrawsWhilePaused) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    player->SetBackColor(kBlue);
    ASSERT_TRUE(player->Open(RedClip(), window.get(), true)) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] { return FirstPictureShownPaused(); }));
    ASSERT_TRUE(PixelBecomes(160, 120, 0xFF0000));
    const double shown = VideoClock();
    // The X server clears the window to its own background; the engine paints the same picture again.
    window->ExposeAll();
    EXPECT_FALSE(Near(window->Pixel(160, 120), 0xFF0000));
    EXPECT_TRUE(PixelBecomes(160, 120, 0xFF0000));
    EXPECT_NEAR(VideoClock(), shown, 0.001);
    EXPECT_TRUE(player->Paused());
}

TEST_F(VideoOutput, BitmapSubtitleIsBlendedFromItsTime) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    player->SetBackColor(kBlue);
    ASSERT_TRUE(player->Open(SubtitleClip(), window.get())) << player->LastErrMsg();
    ASSERT_GE(player->SubtitleStreamIndex(), 0);
    // The first pictures are black everywhere; the box comes with the picture at its time.
    ASSERT_TRUE(PixelBecomes(160, 120, 0x000000));
    ASSERT_TRUE(PixelBecomes(160, 120, kWhite)) << std::hex << window->Pixel(160, 120);
    EXPECT_GE(VideoClock(), 0.96);
    // Paused inside its time: the box stays, and around it the picture.
    player->Pause();
    ASSERT_TRUE(PixelBecomes(160, 120, kWhite));
    EXPECT_LT(VideoClock(), 4.0);
    EXPECT_TRUE(Near(window->Pixel(105, 105), kWhite));
    EXPECT_TRUE(Near(window->Pixel(215, 135), kWhite));
    EXPECT_TRUE(Near(window->Pixel(95, 120), 0x000000));
    EXPECT_TRUE(Near(window->Pixel(160, 145), 0x000000));
    // After its end it is gone.
    player->Resume();
    ASSERT_TRUE(Until([&] { return VideoClock() >= 4.1; }));
    EXPECT_TRUE(PixelBecomes(160, 120, 0x000000));
}

TEST_F(VideoOutput, PositionsReachTheOwnerInOrderAndTheEndIsClampedToTheDuration) {
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    std::vector<std::pair<char, int64_t>> events;  // main thread only
    bool offMainThread = false;
    int64_t duration = 0;
    player->OnFileOpen = [&](TObject*, const int64_t& ADuration, int, int, int&, int&) {
        duration = ADuration;
    };
    player->OnPosition = [&](TObject*, const int64_t& APosition) {
        offMainThread = offMainThread || !IsMainThread();
        events.emplace_back('p', APosition);
    };
    double clockAtEnd = NAN;
    player->OnState = [&](TObject*, TPlayState AState) {
        offMainThread = offMainThread || !IsMainThread();
        events.emplace_back('s', AState);
        if (AState == psEnd) {
            clockAtEnd = VideoClock();
        }
    };
    ASSERT_TRUE(player->Open(MakeClip(Clip::VideoOnly).string(), window.get())) << player->LastErrMsg();
    ASSERT_GT(duration, 0);
    // The end of the input is reported, and the position goes on to the duration.
    ASSERT_TRUE(Until([&] {
        return std::find(events.begin(), events.end(), std::pair<char, int64_t>{'s', psEnd}) !=
                   events.end() &&
               std::find(events.begin(), events.end(), std::pair<char, int64_t>{'p', duration}) !=
                   events.end();
    }));
    Idle(200);
    player->Stop(true);
    EXPECT_FALSE(offMainThread);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), (std::pair<char, int64_t>{'s', psStop}));
    std::vector<int64_t> positions;
    for (const auto& [kind, value] : events) {
        if (kind == 'p') {
            positions.push_back(value);
        }
    }
    // The end position is reported once, before the end itself, which comes once the last picture
    // (at 1.96 s) has been shown.
    EXPECT_EQ(std::count(positions.begin(), positions.end(), duration), 1);
    EXPECT_LT(std::find(events.begin(), events.end(), std::pair<char, int64_t>{'p', duration}),
              std::find(events.begin(), events.end(), std::pair<char, int64_t>{'s', psEnd}));
    EXPECT_NEAR(clockAtEnd, 1.96, 0.001);
    ASSERT_GE(positions.size(), 10u);
    EXPECT_LT(positions.front(), 40000);
    for (size_t i = 1; i + 1 < positions.size(); ++i) {
        // A new report only after more than 20 ms of progress (the end is reported however close).
        EXPECT_GT(positions[i] - positions[i - 1], 20000) << i;
    }
    EXPECT_GT(positions.back(), positions[positions.size() - 2]);
    EXPECT_EQ(positions.back(), duration);
}

// Bad input: the file ends cleanly with a logged reason.

TEST_F(VideoOutput, HostWindowDestroyedWhilePlayingEndsTheFile) {
    playertest::LogCapture log;
    window = std::make_unique<enginetest::XTestHost>(320, 240);
    ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(PixelBecomes(160, 120, 0xFF0000));
    window->Destroy(true);
    window.reset();
    ASSERT_TRUE(Until([&] {
        const std::vector<TPlayState> s = States();
        return !s.empty() && s.back() == psStop;
    }));
    EXPECT_TRUE(log.Contains("is being destroyed: the file ends")) << log.All();
    player->Stop(true);
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_EQ(States().back(), psStop);
}

TEST_F(VideoOutput, OverlayThatCannotBeMadeEndsTheFile) {
    playertest::LogCapture log;
    // An output without height has no surface to make the pictures' overlays on. (Inside a host window a
    // missing side would take the window's size; SDL's own window has none to take.)
    player->OnFileOpen = [](TObject*, const int64_t&, int, int, int& AScreenWidth, int& AScreenHeight) {
        AScreenWidth = 320;
        AScreenHeight = 0;
    };
    ASSERT_TRUE(player->Open(RedClip())) << player->LastErrMsg();
    ASSERT_TRUE(Until([&] {
        const std::vector<TPlayState> s = States();
        return !s.empty() && s.back() == psStop;
    }));
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_TRUE(log.Contains("SDL_CreateYUVOverlay() error: there is no output surface")) << log.All();
    player->Stop(true);
    EXPECT_EQ(States().back(), psStop);
}

TEST_F(VideoOutput, ZeroSizeWindowPlaysWithoutDrawingAndStops) {
    playertest::LogCapture log;
    window = std::make_unique<enginetest::XTestHost>(0, 0);
    std::atomic<int> pictures{0};
    player->VideoHook = true;
    player->OnVideoHook = [&](TObject*, TObject*, const int64_t&, bool& AUpdate) {
        AUpdate = false;
        ++pictures;
    };
    ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
    EXPECT_TRUE(Until([&] { return pictures > 5 || Pipeline(*player).VideoState() == nullptr; }));
    player->Stop(true);
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_EQ(States().back(), psStop);
}

TEST_F(VideoOutput, FullScreenOutputTakesTheDesktopSize) {
    Display* display = enginetest::OpenTestDisplay();
    ASSERT_NE(display, nullptr);
    const int desktopWidth = DisplayWidth(display, DefaultScreen(display));
    const int desktopHeight = DisplayHeight(display, DefaultScreen(display));
    XCloseDisplay(display);
    window = std::make_unique<enginetest::XTestHost>(500, 300);
    player->is_full_screen = true;
    ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
    ASSERT_TRUE(PixelBecomes(250, 150, 0xFF0000)) << std::hex << window->Pixel(250, 150);
    TVideoState* is = Pipeline(*player).VideoState();
    EXPECT_EQ(is->width, desktopWidth);
    EXPECT_EQ(is->height, desktopHeight);
}

// An owner's size with either side missing gives way to the host window's client size.
TEST_F(VideoOutput, OwnerSizeWithAMissingSideTakesTheWindowSize) {
    struct Case {
        int Width;
        int Height;
        int ExpectedWidth;
        int ExpectedHeight;
    };
    const Case cases[] = {{0, 0, 500, 300}, {200, 0, 500, 300}, {0, 200, 500, 300}, {200, 150, 200, 150}};
    window = std::make_unique<enginetest::XTestHost>(500, 300);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Width) + "x" + std::to_string(c.Height));
        player->OnFileOpen = [&c](TObject*, const int64_t&, int, int, int& AScreenWidth, int& AScreenHeight) {
            AScreenWidth = c.Width;
            AScreenHeight = c.Height;
        };
        ASSERT_TRUE(player->Open(RedClip(), window.get())) << player->LastErrMsg();
        EXPECT_EQ(player->ScreenWidth, c.ExpectedWidth);
        EXPECT_EQ(player->ScreenHeight, c.ExpectedHeight);
        player->Stop(true);
    }
}

}  // namespace
