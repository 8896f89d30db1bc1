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
#include <QWindow>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/Bitmap.h"
#include "engine/FFPlay.h"
#include "platform/Dispatcher.h"
#include "platform/qt/QtDispatcher.h"
#include "player/Configuration.h"
#include "player/FormMainSrc.h"
#include "player/FullScreen.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using player::BarArrangement;
using player::BarWidths;
using player::TFormMain;

bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 15000) {
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

TEST(BarLayout, SetupAndAboutAndTheDurationPanelFollowTheWidth) {
    // Fixed controls: 34 + 34 + 44 + 44 + 44 + 34 + 50 = 284; without Setup and About 196.
    const BarWidths base{0, 34, 34, 0, 44, 44, 44, 34, 50, true};
    struct Case {
        const char* what;
        int client;
        int duration;
        bool visible;
        BarArrangement expected;
    };
    const std::vector<Case> cases = {
        {"as wide as before", 600, 316, true, {true, 316, true, true}},
        {"one pixel narrower hides both", 599, 316, true, {false, 403, true, true}},
        {"hidden, 159 of slack keeps them hidden", 443, 200, false, {false, 247, true, true}},
        {"hidden, 160 of slack brings both back", 444, 200, false, {true, 160, true, true}},
        {"visible, as wide as before at 150", 434, 150, true, {true, 150, true, true}},
        {"hidden: duration 150", 346, 0, false, {false, 150, true, true}},
        {"hidden: duration 149 hides the progress bar", 345, 0, false, {false, 149, false, true}},
        {"hidden: duration 108 shows the total", 304, 0, false, {false, 108, false, true}},
        {"hidden: duration 107 hides the total", 303, 0, false, {false, 107, false, false}},
    };
    for (const Case& c : cases) {
        BarWidths bar = base;
        bar.client = c.client;
        bar.duration = c.duration;
        bar.setupAndAboutVisible = c.visible;
        const BarArrangement got = player::ArrangeBar(bar);
        EXPECT_EQ(got.setupAndAboutVisible, c.expected.setupAndAboutVisible) << c.what;
        EXPECT_EQ(got.duration, c.expected.duration) << c.what;
        EXPECT_EQ(got.progressVisible, c.expected.progressVisible) << c.what;
        EXPECT_EQ(got.totalVisible, c.expected.totalVisible) << c.what;
    }
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
    testsupport::ScopedEnv video_{"SDL_VIDEODRIVER", "dummy"};
    std::unique_ptr<player::Configuration> config_;
    std::unique_ptr<TFormMain> form_;
};

TEST_F(FullScreenTest, F11TogglesAndEscLeavesWhateverHasTheFocus) {
    TFormMain& form = Start();
    ASSERT_TRUE(player::KeyboardHookInstalled());
    form.TrackBarVolume->setFocus();
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    EXPECT_TRUE(form.isMaximized());
    EXPECT_TRUE(form.PanelControls->isHidden());
    EXPECT_TRUE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_TRUE(form.windowFlags() & Qt::WindowStaysOnTopHint);

    form.ButtonOpen->setFocus();
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.isMaximized());
    EXPECT_FALSE(form.PanelControls->isHidden());
    EXPECT_FALSE(form.windowFlags() & Qt::FramelessWindowHint);
    EXPECT_FALSE(form.windowFlags() & Qt::WindowStaysOnTopHint);

    // F11 enters, F11 again leaves.
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.isMaximized());
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
        platform::WaitPumping([&] { return form.true_full_screen.load(); }, 5000);
        sawFullScreen = form.true_full_screen.load();
        Press(dialog.windowHandle(), Qt::Key_Escape);  // also closes the dialog
    });
    dialog.exec();
    EXPECT_TRUE(sawFullScreen);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
}

TEST_F(FullScreenTest, HintIsDrawnIntoTheFramesForTwoSeconds) {
    TFormMain& form = Start();
    form.current_video = testsupport::MakeClip(testsupport::Clip::VideoOnly).string();
    form.PlayCurrentVideo();
    ASSERT_TRUE(form.player_ok);
    ASSERT_TRUE(form.playing);
    std::atomic<int> framesWithHint{0};
    // The window's own handler, watched: whether it added white text at the bottom of the frame.
    form.MyPlayer()->OnVideoHook = [&form, &framesWithHint](TObject* sender, TObject* bitmap,
                                                            const int64_t& pts, bool& update) {
        auto* picture = dynamic_cast<TBitmap*>(bitmap);
        const int before = picture ? WhitePixels(*picture, picture->Height() - 20) : 0;
        form.FFPlayerVideoHook(sender, bitmap, pts, update);
        if (picture && update && WhitePixels(*picture, picture->Height() - 20) > before + 50) {
            ++framesWithHint;
        }
    };
    Press(form.windowHandle(), Qt::Key_F11);
    ASSERT_TRUE(WaitFor([&] { return form.true_full_screen.load(); }));
    EXPECT_TRUE(form.MyPlayer()->VideoHook);
    EXPECT_TRUE(form.FullscreenTimer->isActive());
    ASSERT_TRUE(WaitFor([&] { return framesWithHint.load() > 0; }));
    // The timer's first tick ends the hint.
    ASSERT_TRUE(WaitFor([&] { return !form.MyPlayer()->VideoHook; }, 10000));
    Press(form.windowHandle(), Qt::Key_Escape);
    ASSERT_TRUE(WaitFor([&] { return !form.true_full_screen.load(); }));
    EXPECT_FALSE(form.FullscreenTimer->isActive());
    form.StopPlayback();
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
    form.move(700, 500);
    ASSERT_TRUE(WaitFor([&] { return form.pos() == QPoint(700, 500); }))
        << form.pos().x() << "," << form.pos().y();
}

TEST_F(FullScreenTest, NarrowingTheWindowHidesSetupAndAboutTogether) {
    TFormMain& form = Start();
    EXPECT_FALSE(form.ButtonSetup->isHidden());
    EXPECT_FALSE(form.ButtonAbout->isHidden());
    form.resize(form.width() - 1, form.height());
    ASSERT_TRUE(WaitFor([&] { return form.ButtonSetup->isHidden(); }));
    EXPECT_TRUE(form.ButtonAbout->isHidden());
    // Wide again: both come back, in their places after Open.
    form.resize(800, form.height());
    ASSERT_TRUE(WaitFor([&] { return !form.ButtonSetup->isHidden() && !form.ButtonAbout->isHidden(); }));
    ASSERT_TRUE(WaitFor([&] {
        return form.ButtonSetup->x() >= form.ButtonOpen->x() + form.ButtonOpen->width() &&
               form.ButtonAbout->x() >= form.ButtonSetup->x() + form.ButtonSetup->width();
    }));
    // At the smallest width the progress bar and the total time give way.
    form.resize(form.minimumWidth(), form.height());
    ASSERT_TRUE(WaitFor([&] { return form.TrackBarProgress->isHidden(); }));
}

}  // namespace
