// Full screen, the keys that work whatever has the focus, the hint in the video frames, keeping the
// window inside the primary monitor and the bar's layout by width.
#include <gtest/gtest.h>
#include <QApplication>
#include <QDialog>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <QScreen>
#include <QImage>
#include <QPixmap>
#include <QtTest/QTest>

#include <cstdlib>
#include <filesystem>

#include <atomic>
#include <mutex>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/base/Bitmap.h"
#include "engine/play/FFPlay.h"
#include "platform/Dispatcher.h"
#include "platform/qt/QtDispatcher.h"
#include "player/Configuration.h"
#include "player/FormMainSrc.h"
#include "player/FullScreen.h"
#include "player/VideoPanel.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using player::BarArrangement;
using player::BarWidths;
using player::TFormMain;

bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 30000) {
    return platform::WaitPumping(done, timeoutMs);
}

// Pure white pixels in the rows from `fromRow` down.
int WhitePixels(TBitmap& bitmap, int fromRow) {
    int count = 0;
    for (int y = std::max(0, fromRow); y < bitmap.Height(); ++y) {
        const uint8_t* row = bitmap.ScanLine(y);
        for (int x = 0; x < bitmap.Width(); ++x) {
            if (row[x * 4] == 255 && row[x * 4 + 1] == 255 && row[x * 4 + 2] == 255) {
                ++count;
            }
        }
    }
    return count;
}

TEST(BarLayout, AWidthAlwaysGivesTheSameLayout) {
    // Fixed controls: 34 + 34 + 44 + 44 + 44 + 34 + 50 = 284; without Setup and About 196.
    const BarWidths base{0, 34, 34, 44, 44, 44, 34, 50};
    struct Case {
        const char* what;
        int client;
        BarArrangement expected;
    };
    const std::vector<Case> cases = {
        {"the window's first width", 586, {true, 302, true, true}},
        {"160 of slack shows Setup and About", 444, {true, 160, true, true}},
        {"159 of slack hides both", 443, {false, 247, true, true}},
        {"duration 150 shows the progress bar", 346, {false, 150, true, true}},
        {"duration 149 hides the progress bar", 345, {false, 149, false, true}},
        {"duration 108 shows the total", 304, {false, 108, false, true}},
        {"duration 107 hides the total", 303, {false, 107, false, false}},
        {"the smallest window", 268, {false, 72, false, false}},
    };
    for (const Case& c : cases) {
        BarWidths bar = base;
        bar.client = c.client;
        const BarArrangement got = player::ArrangeBar(bar);
        EXPECT_EQ(got.setupAndAboutVisible, c.expected.setupAndAboutVisible) << c.what;
        EXPECT_EQ(got.duration, c.expected.duration) << c.what;
        EXPECT_EQ(got.progressVisible, c.expected.progressVisible) << c.what;
        EXPECT_EQ(got.totalVisible, c.expected.totalVisible) << c.what;
        // Side by side in the bar's order, the last one ending at the client's right edge.
        EXPECT_EQ(got.durationLeft, 68) << c.what;
        EXPECT_EQ(got.openLeft, 68 + got.duration) << c.what;
        EXPECT_EQ(got.volumeLeft + base.volume, c.client) << c.what;
    }
}

TEST(VideoSize, TheWindowFitsTheWorkAreaAndKeepsThePicturesShape) {
    const QSize border(10, 30);
    const QSize workArea(1280, 994);
    const QSize minimum(268, 150);
    struct Case {
        const char* what;
        QSize frame;
        QSize expected;
    };
    const std::vector<Case> cases = {
        {"a small video keeps its size", {320, 240}, {320, 276}},
        // Room for the video: 1270 x 928.
        {"1080p is scaled down to the width", {1920, 1080}, {1270, 714 + 36}},
        {"a tall video is scaled down to the height that is left", {1000, 1856}, {500, 928 + 36}},
        {"a wide video is scaled down to the width", {2540, 400}, {1270, 200 + 36}},
        {"a wide strip: the smallest height", {2540, 200}, {1270, 150}},
        {"no picture: the smallest window", {-1, -1}, {268, 150}},
        {"a tiny picture: the smallest window", {16, 16}, {268, 150}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(player::VideoClientSize(c.frame, 36, border, workArea, minimum), c.expected) << c.what;
    }
    const QRect area(0, 0, 1280, 994);
    EXPECT_EQ(player::PlaceInside(QRect(347, 338, 1101, 994), area), QPoint(179, 0));
    EXPECT_EQ(player::PlaceInside(QRect(-20, 900, 300, 200), area), QPoint(0, 794));
    EXPECT_EQ(player::PlaceInside(QRect(100, 100, 300, 200), area), QPoint(100, 100));
    EXPECT_EQ(player::PlaceInside(QRect(100, 100, 2000, 2000), area), QPoint(0, 0));
}

TEST(PrimaryMonitor, WindowIsPushedInsideByTheLeftAndTopEdgesFirst) {
    const QRect primary(100, 50, 800, 600);
    struct Case {
        const char* what;
        QPoint position;
        QSize size;
        QPoint expected;
    };
    const std::vector<Case> cases = {
        {"inside stays", {200, 100}, {300, 200}, {200, 100}},
        {"left of it", {-400, 100}, {300, 200}, {100, 100}},
        {"above it", {200, -10}, {300, 200}, {200, 50}},
        {"past the right edge", {750, 100}, {300, 200}, {600, 100}},
        {"past the bottom edge", {200, 600}, {300, 200}, {200, 450}},
        {"exactly at the corner", {600, 450}, {300, 200}, {600, 450}},
        {"wider than the monitor ends at its right edge", {300, 100}, {1000, 200}, {-100, 100}},
        {"on the second monitor", {1500, 900}, {300, 200}, {600, 450}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(player::KeepInsidePrimary(c.position, c.size, primary), c.expected) << c.what;
    }
}

TEST(PrimaryMonitor, LimitAppliesWithTwoMonitorsAndTheDirectDrawPreference) {
    const QRect left(0, 0, 1920, 1080);
    const QRect right(1920, 0, 1280, 1024);
    const QRect previous(5, 6, 7, 8);
    struct Case {
        const char* what;
        std::vector<player::MonitorInfo> monitors;
        bool useDirectDraw;
        bool keep;
        QRect primary;
    };
    const std::vector<Case> cases = {
        {"one monitor", {{left, true}}, true, false, previous},
        {"two monitors without the preference", {{left, true}, {right, false}}, false, false, previous},
        {"two monitors, the first primary", {{left, true}, {right, false}}, true, true, left},
        {"two monitors, the second primary", {{left, false}, {right, true}}, true, true, right},
        {"no primary keeps the old rectangle", {{left, false}, {right, false}}, true, true, previous},
    };
    for (const Case& c : cases) {
        const player::PrimaryLimit limit =
            player::RecomputePrimaryLimit(c.monitors, c.useDirectDraw, previous);
        EXPECT_EQ(limit.keepInside, c.keep) << c.what;
        EXPECT_EQ(limit.primary, c.primary) << c.what;
    }
}

TEST(FullScreenHint, TextIsDrawnInWhiteAtTheBottomLeft) {
    for (const bool trueFullScreen : {false, true}) {
        TBitmap bitmap;
        bitmap.SetPixelFormat(pf32bit);
        bitmap.SetSize(400, 240);
        player::DrawFullScreenHint(bitmap, trueFullScreen);
        EXPECT_GT(WhitePixels(bitmap, 218), 100) << trueFullScreen;
        EXPECT_EQ(WhitePixels(bitmap, 0), WhitePixels(bitmap, 218)) << trueFullScreen;
        // Nothing left of x = 10.
        for (int y = 0; y < bitmap.Height(); ++y) {
            for (int x = 0; x < 10; ++x) {
                ASSERT_EQ(bitmap.ScanLine(y)[x * 4], 0) << x << "," << y;
            }
        }
    }
    EXPECT_EQ(player::FullScreenHintText(true), QStringLiteral("Press ESC to exit full screen mode"));
    EXPECT_EQ(player::FullScreenHintText(false), QStringLiteral("Press F11 for true full screen mode"));
}

class FullScreenTest : public ::testing::Test {
protected:
    void SetUp() override { platform::InstallQtDispatcher(); }
    void TearDown() override {
        form_.reset();
        config_.reset();
        platform::UninstallQtDispatcher();
    }

    TFormMain& Start() {
        config_ = std::make_unique<player::Configuration>(programFolder_.path());
        form_ = std::make_unique<TFormMain>(*config_, QStringList{});
        EXPECT_FALSE(form_->ShowMainForm().has_value());
        EXPECT_TRUE(WaitFor([this] { return form_->initialised(); }));
        return *form_;
    }

    // A key as the user types it into `window` (the window of whatever has the focus).
    static void Press(QWindow* window, int key, bool autoRepeat = false) {
        QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(), autoRepeat);
        QCoreApplication::sendEvent(window, &press);
        QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(), autoRepeat);
        QCoreApplication::sendEvent(window, &release);
    }
    // Lets the posted messages run.
    static void Settle() {
        platform::WaitPumping([] { return false; }, 200);
    }

    testsupport::IsolatedHome home_;
    testsupport::TempDir programFolder_;
    testsupport::ScopedEnv audio_{"SDL_AUDIODRIVER", "dummy"};
    // SDL's X11 output inside the video panel, as the program draws.
    testsupport::ScopedEnv video_{"SDL_VIDEODRIVER", "x11"};
    std::unique_ptr<player::Configuration> config_;
    std::unique_ptr<TFormMain> form_;
};

TEST_F(FullScreenTest, F11TogglesAndEscLeavesWhateverHasTheFocus) {
    TFormMain& form = Start();
    ASSERT_TRUE(player::KeyboardHookInstalled());
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect before = form.geometry();
    form.TrackBarVolume->setFocus();
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    EXPECT_TRUE(form.isFullScreen());
    EXPECT_TRUE(form.PanelControls->isHidden());
    EXPECT_TRUE(form.windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    // It covers the screen, with or without a window manager.
    ASSERT_TRUE(WaitFor([&] { return form.geometry() == form.screen()->geometry(); }))
        << form.geometry().width() << "x" << form.geometry().height();

    form.ButtonOpen->setFocus();
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.isFullScreen());
    EXPECT_FALSE(form.isMaximized());
    EXPECT_FALSE(form.PanelControls->isHidden());
    EXPECT_FALSE(form.windowHandle()->flags() & Qt::WindowStaysOnTopHint);
    // Back where it was, as large as it was.
    ASSERT_TRUE(WaitFor([&] { return form.geometry() == before; }))
        << form.geometry().x() << "," << form.geometry().y() << " " << form.geometry().width() << "x"
        << form.geometry().height();

    // F11 enters, F11 again leaves.
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.isFullScreen());
    ASSERT_TRUE(WaitFor([&] { return form.geometry() == before; }));
}

// The share of the panel's pixels (in its middle half) that are not black, and a picture of it.
struct PanelPicture {
    QImage image;
    double lit = 0;
};

PanelPicture GrabPanel(QWidget& panel) {
    PanelPicture picture;
    picture.image = panel.screen()->grabWindow(panel.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    const QRect middle(picture.image.width() / 4, picture.image.height() / 4, picture.image.width() / 2,
                       picture.image.height() / 2);
    int lit = 0;
    int all = 0;
    for (int y = middle.top(); y <= middle.bottom(); y += 2) {
        for (int x = middle.left(); x <= middle.right(); x += 2) {
            ++all;
            lit += qGray(picture.image.pixel(x, y)) > 24 ? 1 : 0;
        }
    }
    picture.lit = all > 0 ? static_cast<double>(lit) / all : 0;
    return picture;
}

// The picture in the panel fills its middle and changes while the file plays.
void ExpectPlayingPicture(TFormMain& form, const char* when) {
    const QImage first = GrabPanel(*form.Panel1).image;
    PanelPicture now;
    const bool moved = WaitFor(
        [&] {
            now = GrabPanel(*form.Panel1);
            return now.lit > 0.9 && now.image.size() == first.size() && now.image != first;
        },
        30000);
    EXPECT_TRUE(moved) << when << ": lit " << now.lit;
    EXPECT_EQ(now.image.size(), form.Panel1->size() * form.Panel1->devicePixelRatio()) << when;
    if (const char* shots = std::getenv("STREVIO_SCREENSHOTS")) {
        form.screen()->grabWindow(0).save(QString::fromUtf8(shots) + "/" + when + ".png");
    }
}

TEST_F(FullScreenTest, F11AndEscKeepThePicturePlayingInTheSameNativeWindow) {
    ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
    TFormMain& form = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    form.current_video = testsupport::MakeClip(testsupport::Clip::LongVideo).string();
    form.PlayCurrentVideo();
    ASSERT_TRUE(form.playing);
    const unsigned long nativeWindow = form.Panel1->NativeWindow();
    ASSERT_NE(nativeWindow, 0u);
    const QRect playing = form.geometry();
    ExpectPlayingPicture(form, "playing");

    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.Panel1->size() == form.screen()->geometry().size(); }));
    ExpectPlayingPicture(form, "full-screen");
    EXPECT_EQ(form.Panel1->NativeWindow(), nativeWindow);
    EXPECT_EQ(static_cast<unsigned long>(form.Panel1->winId()), nativeWindow);

    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return form.geometry() == playing && !form.PanelControls->isHidden(); }));
    ExpectPlayingPicture(form, "back");
    EXPECT_EQ(form.Panel1->NativeWindow(), nativeWindow);
    EXPECT_TRUE(form.playing);
    EXPECT_EQ(form.MyPlayer()->PlayState(), psPlay);
    EXPECT_TRUE(form.ButtonStop->isEnabled());
    form.StopPlayback();
}

TEST_F(FullScreenTest, EscInANormalWindowChangesNothingAndAutoRepeatIsIgnored) {
    TFormMain& form = Start();
    const QRect before = form.geometry();
    Press(form.windowHandle(), Qt::Key_Escape);
    Settle();
    EXPECT_FALSE(form.true_full_screen.load());
    EXPECT_FALSE(form.isMaximized());
    EXPECT_EQ(form.geometry(), before);

    // Held down: the first press toggles, the repeats do not toggle it back.
    Press(form.windowHandle(), Qt::Key_F11);
    for (int i = 0; i < 5; ++i) {
        Press(form.windowHandle(), Qt::Key_F11, true);
    }
    Settle();
    EXPECT_TRUE(form.true_full_screen.load());
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
}

TEST_F(FullScreenTest, MaximisedWindowGoesBackToNormalOnF11OrEsc) {
    TFormMain& form = Start();
    for (const int key : {Qt::Key_F11, Qt::Key_Escape}) {
        form.showMaximized();
        ASSERT_TRUE(WaitFor([&] { return form.isMaximized(); }));
        Press(form.windowHandle(), key);
        ASSERT_TRUE(WaitFor([&] { return !form.isMaximized(); })) << key;
        EXPECT_FALSE(form.true_full_screen.load()) << key;
        EXPECT_FALSE(form.PanelControls->isHidden()) << key;
    }
}

TEST_F(FullScreenTest, KeysWorkWhileAModalDialogIsOpen) {
    TFormMain& form = Start();
    bool sawFullScreen = false;
    QDialog dialog(&form);
    dialog.setModal(true);
    QTimer::singleShot(0, &dialog, [&] {
        dialog.windowHandle() != nullptr ? Press(dialog.windowHandle(), Qt::Key_F11) : void();
        // The message is handled while the dialog still runs.
        platform::WaitPumping([&] { return form.true_full_screen.load(); }, 60000);
        sawFullScreen = form.true_full_screen.load();
        Press(dialog.windowHandle(), Qt::Key_Escape);  // also closes the dialog
    });
    dialog.exec();
    EXPECT_TRUE(sawFullScreen);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
}

TEST_F(FullScreenTest, HintIsDrawnIntoTheFramesForTwoSeconds) {
    TFormMain& form = Start();
    form.current_video = testsupport::MakeClip(testsupport::Clip::LongVideo).string();
    form.PlayCurrentVideo();
    ASSERT_TRUE(form.player_ok);
    ASSERT_TRUE(form.playing);
    // Every frame that went through the window's hook handler: its time stamp and whether the handler
    // added white text at its bottom.
    struct Frame {
        int64_t pts;
        bool hinted;
    };
    std::mutex lock;
    std::vector<Frame> frames;
    form.MyPlayer()->OnVideoHook = [&](TObject* sender, TObject* bitmap, const int64_t& pts, bool& update) {
        auto* picture = dynamic_cast<TBitmap*>(bitmap);
        const int before = picture ? WhitePixels(*picture, picture->Height() - 20) : 0;
        form.FFPlayerVideoHook(sender, bitmap, pts, update);
        const bool hinted =
            picture != nullptr && update && WhitePixels(*picture, picture->Height() - 20) > before + 50;
        std::lock_guard guard(lock);
        frames.push_back({pts, hinted});
    };
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    EXPECT_TRUE(form.MyPlayer()->VideoHook);
    EXPECT_TRUE(form.FullscreenTimer->isActive());
    EXPECT_EQ(form.FullscreenTimer->interval(), 2000);
    // The timer's first tick ends the hint.
    ASSERT_TRUE(WaitFor([&] { return !form.MyPlayer()->VideoHook; }));
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.FullscreenTimer->isActive());
    form.MyPlayer()->VideoHook = false;
    form.StopPlayback();

    // The frames stamped while the hint was on all carry it, in the order of their media time.
    std::lock_guard guard(lock);
    ASSERT_FALSE(frames.empty());
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_TRUE(frames[i].hinted) << "frame at " << frames[i].pts << " us";
        if (i > 0) {
            EXPECT_GT(frames[i].pts, frames[i - 1].pts) << i;
        }
    }
}

TEST_F(FullScreenTest, WindowIsKeptInsideThePrimaryMonitorOnlyWhenAsked) {
    TFormMain& form = Start();
    form.keep_inside_primary = true;
    form.primary_left = 0;
    form.primary_top = 0;
    form.primary_width = 800;
    form.primary_height = 600;
    form.move(700, 500);
    const QSize frame = form.frameGeometry().size();
    ASSERT_TRUE(WaitFor([&] { return form.pos() == QPoint(800 - frame.width(), 600 - frame.height()); }))
        << form.pos().x() << "," << form.pos().y();

    form.keep_inside_primary = false;
    form.move(650, 500);
    ASSERT_TRUE(WaitFor([&] { return form.pos() == QPoint(650, 500); }))
        << form.pos().x() << "," << form.pos().y();
}

TEST(ScreenSnap, AWindowNearAnEdgeOfTheWorkAreaSnapsOntoIt) {
    const QRect area(0, 0, 1280, 994);
    struct Case {
        const char* what;
        QPoint position;
        QPoint expected;
    };
    const std::vector<Case> cases = {
        {"away from every edge", {100, 200}, {100, 200}},
        {"10 inside the left and top edges", {10, 10}, {0, 0}},
        {"11 inside stays", {11, 11}, {11, 11}},
        {"past the left and top edges", {-8, -3}, {0, 0}},
        {"near the right and bottom edges", {1280 - 300 - 6, 994 - 200 + 9}, {980, 794}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(player::SnapToEdges(QRect(c.position, QSize(300, 200)), area, player::kSnapBuffer), c.expected)
            << c.what;
    }
}

TEST_F(FullScreenTest, TheWindowSnapsToTheScreensEdges) {
    TFormMain& form = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const QRect area = form.screen()->availableGeometry();
    form.move(area.left() + 7, area.top() + 4);
    ASSERT_TRUE(WaitFor([&] { return form.pos() == area.topLeft(); }))
        << form.pos().x() << "," << form.pos().y();
    form.move(area.left() + 40, area.top() + 50);
    ASSERT_TRUE(WaitFor([&] { return form.pos() == area.topLeft() + QPoint(40, 50); }))
        << form.pos().x() << "," << form.pos().y();
}

// The bar as the window shows it: what is visible, and where.
std::vector<QRect> BarGeometry(TFormMain& form) {
    std::vector<QRect> controls;
    for (QWidget* w : std::initializer_list<QWidget*>{form.ButtonStop, form.ButtonPlayOrPause, form.PanelDuration,
                                                      form.ButtonOpen, form.ButtonSetup, form.ButtonAbout,
                                                      form.ButtonSound, form.PanelVolume, form.TrackBarProgress,
                                                      form.LabelTotalDuration}) {
        controls.push_back(w->isHidden() ? QRect() : w->geometry());
    }
    return controls;
}

TEST_F(FullScreenTest, TheBarIsLaidOutFromTheWidthAloneWhicheverWayItWasReached) {
    TFormMain& form = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    const int height = form.height();
    // Each width's layout when reached by widening from the smallest window.
    std::vector<std::vector<QRect>> widening;
    for (int w = form.minimumWidth(); w <= 640; ++w) {
        form.resize(w, height);
        widening.push_back(BarGeometry(form));
        const bool shown = w >= 444;
        EXPECT_EQ(!form.ButtonSetup->isHidden(), shown) << w;
        EXPECT_EQ(!form.ButtonAbout->isHidden(), shown) << w;
        // The bar stays whole: its last control ends at the window's right edge.
        EXPECT_EQ(form.PanelVolume->geometry().right() + 1, w) << w;
    }
    // The same widths reached by narrowing one pixel at a time.
    for (int w = 640; w >= form.minimumWidth(); --w) {
        form.resize(w, height);
        EXPECT_EQ(BarGeometry(form), widening[static_cast<size_t>(w - form.minimumWidth())]) << w;
    }
    // After full screen and back the bar is that of the width.
    form.resize(600, height);
    const std::vector<QRect> at600 = BarGeometry(form);
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load() && form.width() == 600; }));
    EXPECT_EQ(BarGeometry(form), at600);
    EXPECT_FALSE(form.ButtonSetup->isHidden());
    // Setup and About sit after Open, in that order.
    EXPECT_EQ(form.ButtonSetup->x(), form.ButtonOpen->x() + form.ButtonOpen->width());
    EXPECT_EQ(form.ButtonAbout->x(), form.ButtonSetup->x() + form.ButtonSetup->width());
}

}  // namespace
