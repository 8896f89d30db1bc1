#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/Myutils.h"
#include "engine/load/AVLibLoader.h"
#include "engine/load/libsdl.h"
#include "engine/play/PlayEvent.h"
#include "engine/play/PlayThread.h"
#include "engine/play/SDLHost.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/engine/XTestHost.h"
#include "tests/support/TestEnv.h"

namespace {

std::optional<std::string> Env(const char* AName) {
    const char* value = std::getenv(AName);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

constexpr uint32_t kPictureColour = 0xFF0000;
constexpr uint32_t kBackColour = 0x0000FF;

// A player whose every refresh pass fills the output with the back colour and a picture rectangle at
// (10, 10)-(110, 90), and which reports its states through the event ring as the engine's player does.
class TestPlayer : public TObject, public TPlayLoopOwner {
public:
    TestPlayer(TSDLHost& AHost, TSDLLoader& ALoader, TPlayEvent& ARing)
        : FHost(AHost), FLoader(ALoader), FRing(ARing) {}

    TObject* Sender() override { return this; }
    void DoState(TPlayState AState) override {
        TEventItem item;
        item.EventType = etState;
        item.State = AState;
        FRing.PushEvent(item);
    }
    bool LockData(unsigned ATimeoutMs) override {
        return FDataLock.try_lock_for(std::chrono::milliseconds(ATimeoutMs));
    }
    void UnlockData() override { FDataLock.unlock(); }
    bool HasFile() override { return FHasFile; }
    bool RefreshDue() override { return true; }
    double RefreshInterval() override { return kRefreshRate; }
    void video_refresh(double&) override {
        if (!FModeSet) {
            FModeSet = true;
            const HostSize size = FHost.ClientSize();
            if (FHost.SetVideoMode(size.Width, size.Height) && FHost.Screen()) {
                ScreenResized(FHost.Screen()->w, FHost.Screen()->h);
            }
        }
        std::lock_guard lock(FHost.UpdateRectLock());
        SDL_Surface* screen = FHost.Screen();
        if (!screen) {
            return;
        }
        FLoader.SDL_FillRect(screen, nullptr, FLoader.SDL_MapRGB(screen->format, 0, 0, 255));
        SDL_Rect picture{10, 10, 100, 80};
        FLoader.SDL_FillRect(screen, &picture, FLoader.SDL_MapRGB(screen->format, 255, 0, 0));
        FLoader.SDL_UpdateRect(screen, 0, 0, 0, 0);
        FHost.UpdateDisplayRect(10, 10, 100, 80);
        ++Draws;
    }
    void ForceRefresh() override { ++ForcedRefreshes; }
    void alloc_picture() override {}
    void ScreenResized(int AWidth, int AHeight) override {
        ScreenWidth = AWidth;
        ScreenHeight = AHeight;
    }
    void do_exit() override { FHasFile = false; }
    void SetLooping() override { Looping = true; }

    std::atomic<int> Draws{0};
    std::atomic<int> ForcedRefreshes{0};
    std::atomic<int> ScreenWidth{0};
    std::atomic<int> ScreenHeight{0};
    std::atomic<bool> Looping{false};

private:
    TSDLHost& FHost;
    TSDLLoader& FLoader;
    TPlayEvent& FRing;
    std::timed_mutex FDataLock;
    std::atomic<bool> FHasFile{true};
    bool FModeSet = false;  // play thread
};

// One file's worth of engine around a host window: SDL, the play thread, the event ring and its thread.
class Playback {
public:
    explicit Playback(HostWindow* AHost, TSDLStartSettings ASettings = Embedded()) {
        enginetest::KeepXServer();
        EXPECT_TRUE(Loader.Load("", kSDLLibraryFile)) << Loader.LastErrMsg();
        Started = Host.DoSDLInit(AHost, ASettings);
        Host.OnHostLost = [this] { PushQuit(); };
        TEventDelivery delivery;
        delivery.State = [this](TPlayState AState) {
            std::lock_guard lock(StatesLock);
            States.push_back(AState);
            OffMainThread = OffMainThread || !IsMainThread();
        };
        Events.emplace(Ring, delivery);
    }
    ~Playback() {
        if (Play) {
            PushQuit();
            EXPECT_TRUE(Ended());
            Play->WaitFor();
        }
        Events.reset();
        Host.DoSDLQuit();
    }

    static TSDLStartSettings Embedded() {
        TSDLStartSettings settings;
        settings.VideoDriver = vdDirectDraw;
        settings.DisableAudio = true;
        return settings;
    }

    void Start() {
        Events->Start();
        Play.emplace(Player, Host, Loader, StopEvent);
        Play->Start();
    }
    void PushQuit() {
        SDL_Event event{};
        event.type = kQuitEvent;
        Loader.SDL_PushEvent(&event);
    }
    // The play thread has ended and the owner has had psStop.
    bool Ended(enginetest::XTestHost* AHost = nullptr) {
        return playertest::WaitUntil([&] {
            if (AHost) {
                AHost->Pump();
            }
            std::lock_guard lock(StatesLock);
            return StopEvent.WaitFor(0) == platform::wrSignaled && !States.empty() && States.back() == psStop;
        });
    }
    // psPlay has reached the owner. Until then a stop may take its slot: the ring keeps only the latest
    // of states that follow each other unread.
    bool PlayReported() {
        return playertest::WaitUntil([&] {
            std::lock_guard lock(StatesLock);
            return !States.empty() && States.front() == psPlay;
        });
    }
    std::vector<TPlayState> DeliveredStates() {
        std::lock_guard lock(StatesLock);
        return States;
    }

    TSDLLoader Loader;
    TSDLHost Host{&Player, Loader};
    TPlayEvent Ring;
    TestPlayer Player{Host, Loader, Ring};
    platform::TEvent StopEvent{true, true};
    bool Started = false;
    std::mutex StatesLock;
    std::vector<TPlayState> States;
    bool OffMainThread = false;
    std::optional<TEventThread> Events;
    std::optional<TPlayThread> Play;
};

bool WaitForPixel(enginetest::XTestHost& AHost, int AX, int AY, uint32_t AColour) {
    return playertest::WaitUntil([&] {
        AHost.Pump();
        return AHost.Pixel(AX, AY) == AColour;
    });
}

}  // namespace

TEST(SDLHost, DrawsInsideTheHostWindowAndFollowsItsMessages) {
    playertest::LogCapture log;
    enginetest::XTestHost window(320, 240);
    Playback playback(&window);
    ASSERT_TRUE(playback.Started) << playback.Host.LastErrMsg();
    EXPECT_TRUE(playback.Host.Embedded());
    EXPECT_EQ(playback.Host.WindowId(), window.NativeWindow());
    EXPECT_EQ(Env("SDL_WINDOWID"), std::nullopt);
    EXPECT_EQ(Env("SDL_VIDEODRIVER"), "x11");
    EXPECT_TRUE(log.Contains("using video driver: x11")) << log.All();

    playback.Start();
    EXPECT_TRUE(playertest::WaitUntil([&] { return playback.Player.Looping.load(); }));
    ASSERT_TRUE(playback.PlayReported());
    ASSERT_TRUE(WaitForPixel(window, 50, 50, kPictureColour)) << std::hex << window.Pixel(50, 50);
    EXPECT_EQ(window.Pixel(300, 200), kBackColour);
    EXPECT_EQ(playback.Player.ScreenWidth, 320);

    // A size change reaches the play thread as a new video mode.
    window.Resize(400, 300);
    EXPECT_TRUE(playertest::WaitUntil([&] {
        window.Pump();
        return playback.Player.ScreenWidth == 400 && playback.Player.ScreenHeight == 300;
    }));
    EXPECT_TRUE(WaitForPixel(window, 390, 290, kBackColour));

    // An expose asks for a redraw.
    const int forced = playback.Player.ForcedRefreshes;
    window.ExposeAll();
    EXPECT_TRUE(playertest::WaitUntil([&] {
        window.Pump();
        return playback.Player.ForcedRefreshes > forced;
    }));

    // A click takes the focus and still reaches the window's own handling; a close is swallowed.
    window.SendButtonPress(5, 5);
    window.SendClose();
    EXPECT_TRUE(playertest::WaitUntil([&] {
        window.Pump();
        return window.OwnMouseDowns() == 1 && window.CloseRequests() == 1;
    }));
    EXPECT_EQ(window.FocusCount(), 1);
    EXPECT_EQ(window.OwnCloses(), 0);

    // The window's rectangle maps back to picture pixels through the drawn rectangle.
    EXPECT_EQ(playback.Host.DisplayToActualRect({60, 50, 110, 90}, true, 200, 160),
              (TRect{100, 80, 200, 160}));

    playback.PushQuit();
    EXPECT_TRUE(playback.Ended(&window));
    EXPECT_EQ(playback.DeliveredStates(), (std::vector<TPlayState>{psPlay, psStop}));
    EXPECT_FALSE(playback.OffMainThread);
}

TEST(SDLHost, StoppedSDLLeavesTheWindowToItsOwner) {
    enginetest::XTestHost window(160, 120);
    {
        Playback playback(&window);
        ASSERT_TRUE(playback.Started);
        playback.Start();
        ASSERT_TRUE(WaitForPixel(window, 50, 50, kPictureColour));
    }
    // The sink is gone: a close is the window's own again.
    window.SendClose();
    EXPECT_TRUE(playertest::WaitUntil([&] {
        window.Pump();
        return window.OwnCloses() == 1;
    }));
}

TEST(SDLHost, HostWindowDestroyedWhilePlayingEndsTheFile) {
    struct Case {
        const char* Name;
        bool Notify;
        const char* Logged;
    };
    for (const Case& c : {Case{"host says it goes", true, "is being destroyed: the file ends"},
                          Case{"window vanishes unannounced", false, "is gone: the file ends"}}) {
        SCOPED_TRACE(c.Name);
        playertest::LogCapture log;
        enginetest::XTestHost window(200, 150);
        Playback playback(&window);
        ASSERT_TRUE(playback.Started);
        playback.Start();
        ASSERT_TRUE(WaitForPixel(window, 50, 50, kPictureColour));
        ASSERT_TRUE(playback.PlayReported());
        window.Destroy(c.Notify);
        EXPECT_TRUE(playback.Ended());
        EXPECT_TRUE(log.Contains(c.Logged)) << log.All();
        EXPECT_TRUE(playback.Host.WindowLost());
        EXPECT_EQ(playback.DeliveredStates(), (std::vector<TPlayState>{psPlay, psStop}));
    }
}

TEST(SDLHost, ZeroSizeWindowIsLoggedAndNothingIsDrawn) {
    playertest::LogCapture log;
    enginetest::XTestHost window(0, 0);
    Playback playback(&window);
    ASSERT_TRUE(playback.Started) << playback.Host.LastErrMsg();
    playback.Start();
    EXPECT_TRUE(playertest::WaitUntil([&] { return log.Contains("The host window has no area (0x0)"); }));
    EXPECT_EQ(playback.Host.Screen(), nullptr);
    EXPECT_EQ(playback.Player.Draws, 0);
    playback.PushQuit();
    EXPECT_TRUE(playback.Ended(&window));
    EXPECT_EQ(log.Count("has no area"), 1);
}

TEST(SDLHost, DriverVariablesFollowTheSettings) {
    struct Case {
        const char* Name;
        TSDLStartSettings Settings;
        std::optional<std::string> Video;
        std::optional<std::string> Audio;
        std::optional<std::string> YUVHWAccel;
    };
    const auto settings = [](TAudioDriver AAudio, TVideoDriver AVideo, bool ADisableDisplay) {
        TSDLStartSettings s;
        s.AudioDriver = AAudio;
        s.VideoDriver = AVideo;
        s.DisableDisplay = ADisableDisplay;
        s.DisableAudio = AAudio != adDefault;  // no sound server here: the variable is what is checked
        return s;
    };
    // The drivers a user named before the start.
    const std::string userVideo = "dummy";
    const std::string userAudio = "dummy";
    testsupport::ScopedEnv video("SDL_VIDEODRIVER", userVideo);
    testsupport::ScopedEnv audio("SDL_AUDIODRIVER", userAudio);
    const Case cases[] = {
        {"GDI output", settings(adDefault, vdGDI, false), "x11", userAudio, "0"},
        {"default keeps the user's choice", settings(adDefault, vdDefault, false), userVideo, userAudio,
         std::nullopt},
        {"direct output", settings(adWaveOut, vdDirectDraw, false), "x11", "alsa", std::nullopt},
        {"display disabled", settings(adDirectSound, vdGDI, true), "dummy", "pulse", std::nullopt},
    };
    enginetest::KeepXServer();
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load("", kSDLLibraryFile)) << loader.LastErrMsg();
    TObject sender;
    TSDLHost host(&sender, loader);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_TRUE(host.DoSDLInit(nullptr, c.Settings)) << host.LastErrMsg();
        EXPECT_EQ(Env("SDL_VIDEODRIVER"), c.Video);
        EXPECT_EQ(Env("SDL_AUDIODRIVER"), c.Audio);
        EXPECT_EQ(Env("SDL_VIDEO_YUV_HWACCEL"), c.YUVHWAccel);
        EXPECT_FALSE(host.Embedded());
        host.DoSDLQuit();
    }
}

TEST(SDLHost, DisabledDisplayLeavesTheWindowAlone) {
    enginetest::XTestHost window(100, 100);
    TSDLStartSettings settings = Playback::Embedded();
    settings.DisableDisplay = true;
    Playback playback(&window, settings);
    ASSERT_TRUE(playback.Started);
    EXPECT_FALSE(playback.Host.Embedded());
    EXPECT_EQ(Env("SDL_VIDEODRIVER"), "dummy");
    window.SendClose();
    EXPECT_TRUE(playertest::WaitUntil([&] {
        window.Pump();
        return window.OwnCloses() == 1;
    }));
}

TEST(SDLHost, FailedStartIsReportedWithSDLsText) {
    playertest::LogCapture log;
    testsupport::ScopedEnv display("DISPLAY", ":987654");
    TSDLLoader loader;
    ASSERT_TRUE(loader.Load("", kSDLLibraryFile));
    TObject sender;
    TSDLHost host(&sender, loader);
    TSDLStartSettings settings = Playback::Embedded();
    EXPECT_FALSE(host.DoSDLInit(nullptr, settings));
    EXPECT_EQ(host.LastErrMsg().rfind("Could not initialize SDL with ScreenHandle(0): ", 0), 0u)
        << host.LastErrMsg();
    EXPECT_TRUE(log.Contains("Could not initialize SDL with ScreenHandle(0)"));
    host.DoSDLQuit();
}

TEST(SDLHost, DisplayToActualRect) {
    struct Case {
        const char* Name;
        TRect In;
        bool FileOpen;
        int FrameWidth;
        int FrameHeight;
        TRect Want;
    };
    const Case cases[] = {
        {"inside", {170, 140, 330, 260}, true, 640, 480, {320, 240, 640, 480}},
        {"given backwards", {330, 260, 170, 140}, true, 640, 480, {320, 240, 640, 480}},
        {"clipped to the picture", {0, 0, 1000, 1000}, true, 640, 480, {0, 0, 640, 480}},
        {"no frame size: window pixels from the corner", {20, 30, 40, 50}, true, 0, 0, {10, 10, 30, 30}},
        {"no file", {170, 140, 330, 260}, false, 640, 480, {0, 0, 0, 0}},
    };
    TSDLLoader loader;
    TObject sender;
    TSDLHost host(&sender, loader);
    host.UpdateDisplayRect(10, 20, 320, 240);
    EXPECT_EQ(host.DisplayRect(), (TRect{10, 20, 330, 260}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(host.DisplayToActualRect(c.In, c.FileOpen, c.FrameWidth, c.FrameHeight), c.Want);
    }
}

TEST(PlayThread, FreedByItsOwnerEndsTheFileAndReportsStop) {
    TSDLStartSettings settings;
    settings.DisableDisplay = true;
    settings.DisableAudio = true;
    Playback playback(nullptr, settings);
    ASSERT_TRUE(playback.Started) << playback.Host.LastErrMsg();
    playback.Start();
    ASSERT_TRUE(playertest::WaitUntil([&] { return playback.Player.Looping.load(); }));
    ASSERT_TRUE(playback.PlayReported());
    playback.Play.reset();  // terminates and joins without a quit event
    EXPECT_FALSE(playback.Player.HasFile());
    EXPECT_TRUE(playback.Ended());
    EXPECT_EQ(playback.DeliveredStates(), (std::vector<TPlayState>{psPlay, psStop}));
}
