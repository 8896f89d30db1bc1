#include "player/FormMainSrc.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QDir>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QtTest/QTest>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "engine/play/FFPlayPipeline.h"
#include "engine/play/VideoState.h"
#include "platform/Dispatcher.h"
#include "platform/Registry.h"
#include "platform/qt/MessageBox.h"
#include "platform/qt/QtDispatcher.h"
#include "player/Configuration.h"
#include "player/Skin.h"
#include "player/VideoPanel.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_foreground.h"
#include "winutils/Winutils_screen.h"

namespace {

using player::TFormMain;
using testsupport::Clip;
using testsupport::MakeClip;

bool WaitFor(const std::function<bool()>& done, unsigned timeoutMs = 60000) {
    return platform::WaitPumping(done, timeoutMs);
}

class FormMainTest : public ::testing::Test {
protected:
    void SetUp() override { platform::InstallQtDispatcher(); }
    void TearDown() override {
        form_.reset();
        config_.reset();
        platform::UninstallQtDispatcher();
    }

    void StoreInteger(const std::string& name, int32_t value) {
        platform::TRegistry reg;
        ASSERT_TRUE(reg.OpenKey(player::kPreferencesKey, true));
        reg.WriteInteger(name, value);
    }
    int32_t StoredInteger(const std::string& name) {
        platform::TRegistry reg;
        EXPECT_TRUE(reg.OpenKeyReadOnly(player::kPreferencesKey));
        return reg.ReadInteger(name);
    }

    // Builds and shows the window as the program does, and lets its deferred start-up run.
    TFormMain& Start(QStringList arguments = {}) {
        config_ = std::make_unique<player::Configuration>(programFolder_.path());
        form_ = std::make_unique<TFormMain>(*config_, std::move(arguments));
        form_->ShowDonateIfDue = [this] { ++donationChecks_; };
        EXPECT_FALSE(form_->ShowMainForm().has_value());
        EXPECT_TRUE(WaitFor([this] { return form_->initialised(); }));
        return *form_;
    }

    TFormMain& StartPlaying(Clip clip) {
        TFormMain& form = Start();
        form.current_video = MakeClip(clip).string();
        form.PlayCurrentVideo();
        return form;
    }

    testsupport::IsolatedHome home_;
    testsupport::TempDir programFolder_;
    testsupport::ScopedEnv audio_{"SDL_AUDIODRIVER", "dummy"};
    testsupport::ScopedEnv video_{"SDL_VIDEODRIVER", "dummy"};
    std::unique_ptr<player::Configuration> config_;
    std::unique_ptr<TFormMain> form_;
    int donationChecks_ = 0;
};

TEST_F(FormMainTest, WindowHasTheBarsControlsInOrder) {
    TFormMain& form = Start();
    EXPECT_EQ(form.windowTitle(), "Strevio");
    EXPECT_EQ(form.size(), QSize(586, 347));
    EXPECT_EQ(form.minimumSize(), QSize(268, 150));
    EXPECT_EQ(form.PanelControls->height(), 36);
    EXPECT_EQ(player::SkinSection(form.Panel1), "BAR");
    EXPECT_EQ(player::SkinSection(form.PanelControls), "BARPANEL");
    EXPECT_EQ(player::SkinSection(form.PanelDuration), "BUTTON");
    EXPECT_EQ(player::SkinSection(form.TrackBarProgress), "TRACKBAR");

    // Left to right in this order, side by side, filling the bar's width.
    const std::vector<QWidget*> expected = {form.ButtonStop,  form.ButtonPlayOrPause, form.PanelDuration,
                                            form.ButtonOpen,  form.ButtonSetup,       form.ButtonAbout,
                                            form.ButtonSound, form.PanelVolume};
    int x = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(expected[i]->parentWidget(), form.PanelControls) << i;
        EXPECT_FALSE(expected[i]->isHidden()) << i;
        EXPECT_EQ(expected[i]->x(), x) << i;
        x += expected[i]->width();
    }
    EXPECT_EQ(x, form.width());
    EXPECT_EQ(form.ButtonStop->size(), QSize(34, 34));
    EXPECT_EQ(form.ButtonOpen->size(), QSize(44, 34));
    EXPECT_EQ(form.ButtonOpen->text(), "Open");
    EXPECT_EQ(form.ButtonSetup->text(), "Setup");
    EXPECT_EQ(form.ButtonAbout->text(), "About");
    EXPECT_EQ(form.PanelVolume->size(), QSize(50, 34));
    EXPECT_EQ(form.LabelCurrDuration->text(), "00:00:00");
    EXPECT_EQ(form.LabelTotalDuration->text(), "00:00:00");
    EXPECT_EQ(form.TrackBarVolume->maximum(), 127);
    EXPECT_EQ(form.TrackBarProgress->maximum(), 100);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonStop), player::kImageStop);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePlay);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonSound), player::kImageSoundOn);
    EXPECT_FALSE(form.ButtonPlayOrPause->icon().isNull());
    EXPECT_FALSE(form.FullscreenTimer->isActive());
    EXPECT_EQ(form.FullscreenTimer->interval(), 2000);
    EXPECT_GT(winutils::GetColorDepth(), 0);
    // The panel is a native window the engine can draw into.
    EXPECT_NE(form.Panel1->EnsureNativeWindow(), 0u);
    EXPECT_EQ(form.Panel1->NativeWindow(), form.Panel1->winId());
}

TEST_F(FormMainTest, SkinImagesAndStylesheetAreBuiltIn) {
    for (int i = 0; i < player::kImageCount; ++i) {
        const QIcon icon = player::SkinImage(i);
        EXPECT_FALSE(icon.pixmap(24, 24).isNull()) << i;
    }
    EXPECT_TRUE(player::SkinImage(player::kImageCount).isNull());
    const QString style = player::SkinStyleSheet();
    EXPECT_TRUE(style.contains("rgb(63, 69, 87)"));
    EXPECT_TRUE(style.contains("rgb(205, 213, 222)"));
}

TEST_F(FormMainTest, StartUpLoadsPreferencesAndDisablesPlaybackControls) {
    StoreInteger("Volume", 200);
    StoreInteger("Mute", 1);
    TFormMain& form = Start();
    EXPECT_FALSE(form.ButtonStop->isEnabled());
    EXPECT_FALSE(form.TrackBarProgress->isEnabled());
    EXPECT_EQ(form.TrackBarVolume->value(), 127);
    EXPECT_EQ(config_->Preferences.Volume, 127);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonSound), player::kImageMuted);
    EXPECT_NE(form.MyPlayer(), nullptr);
    EXPECT_FALSE(form.player_ok);

    form.close();
    EXPECT_EQ(StoredInteger("Volume"), 127);
    EXPECT_EQ(StoredInteger("Mute"), 1);
    EXPECT_TRUE(std::filesystem::exists(home_.dataHome() / "Strevio" / "Strevio.dat"));
}

TEST_F(FormMainTest, MissingFileArgumentIsNotPlayed) {
    TFormMain& form = Start({"/no/such/file.mp4"});
    EXPECT_TRUE(form.current_video.empty());
    EXPECT_FALSE(form.playing);
    EXPECT_FALSE(form.player_ok);
}

TEST_F(FormMainTest, SoundButtonTogglesMuteAndVolumeWaitsForTheLibraries) {
    TFormMain& form = Start();
    form.ButtonSound->click();
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonSound), player::kImageMuted);
    EXPECT_TRUE(config_->Preferences.Mute);
    form.ButtonSound->click();
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonSound), player::kImageSoundOn);
    EXPECT_FALSE(config_->Preferences.Mute);

    // Before the first file has loaded the libraries the bar moves alone.
    form.TrackBarVolume->setValue(40);
    EXPECT_EQ(config_->Preferences.Volume, 127);
}

TEST_F(FormMainTest, PlayingWithoutAPlayerObjectShowsTheError) {
    std::vector<platform::MessageBoxRequest> shown;
    platform::ScopedMessageBoxHook hook([&](const platform::MessageBoxRequest& r) {
        shown.push_back(r);
        return platform::TMessageResult::Ok;
    });
    config_ = std::make_unique<player::Configuration>(programFolder_.path());
    form_ = std::make_unique<TFormMain>(*config_, QStringList{});
    // The deferred start-up has not run yet, so there is no player object.
    form_->current_video = MakeClip(Clip::AudioOnly).string();
    form_->PlayCurrentVideo();
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].caption, "Strevio Error");
    EXPECT_EQ(shown[0].text, "Cannot play video - player not allocated");
    EXPECT_FALSE(form_->playing);
}

TEST(UncaughtExceptionTest, IsShownInAMessageBoxWithItsMessage) {
    std::vector<platform::MessageBoxRequest> shown;
    platform::ScopedMessageBoxHook hook([&](const platform::MessageBoxRequest& r) {
        shown.push_back(r);
        return platform::TMessageResult::Ok;
    });
    player::ShowUncaughtException("the preferences file is damaged");
    player::ShowUncaughtException("");  // a thrown value that is no exception
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].kind, platform::TMessageKind::Error);
    EXPECT_EQ(shown[0].caption, "Strevio");
    EXPECT_EQ(shown[0].text, "the preferences file is damaged");
    EXPECT_EQ(shown[1].caption, "Strevio");
    EXPECT_EQ(shown[1].text, "");
}

TEST_F(FormMainTest, PositionEventsMoveTheBarUnlessItIsHeld) {
    TFormMain& form = Start();
    int w = 0;
    int h = 0;
    form.FFPlayerFileOpen(nullptr, 10'000'000, 320, 240, w, h);
    EXPECT_EQ(form.LabelTotalDuration->text(), "00:00:10");
    EXPECT_TRUE(form.ButtonStop->isEnabled());
    EXPECT_TRUE(form.TrackBarProgress->isEnabled());
    EXPECT_EQ(form.TrackBarProgress->maximum(), 100);

    form.FFPlayerPosition(nullptr, 3'456'789);
    EXPECT_EQ(form.LabelCurrDuration->text(), "00:00:03");
    EXPECT_EQ(form.TrackBarProgress->value(), 34);

    form.TrackBarProgressMouseDown();
    form.FFPlayerPosition(nullptr, 5'000'000);
    EXPECT_EQ(form.LabelCurrDuration->text(), "00:00:05");
    EXPECT_EQ(form.TrackBarProgress->value(), 34);
    form.TrackBarProgressMouseUp();

    form.playing = true;
    form.FFPlayerPosition(nullptr, 10'000'000);
    EXPECT_FALSE(form.ButtonStop->isEnabled());
    EXPECT_FALSE(form.playing);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePlay);
}

TEST_F(FormMainTest, VideoPanelCountsAsSeenOnlyWhileItsWindowIsShownAndNotMinimised) {
    TFormMain& form = Start();
    EXPECT_TRUE(form.Panel1->OnScreen());
    form.showMinimized();
    EXPECT_TRUE(WaitFor([&] { return !form.Panel1->OnScreen(); }));
    form.showNormal();
    EXPECT_TRUE(WaitFor([&] { return form.Panel1->OnScreen(); }));
    form.hide();
    EXPECT_FALSE(form.Panel1->OnScreen());
    form.show();
    EXPECT_TRUE(form.Panel1->OnScreen());
}

TEST_F(FormMainTest, NegativeDurationLeavesTheTotalAndSeeksNothing) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    form.MyPlayer()->Pause();
    TVideoState* is = Pipeline(*form.MyPlayer()).VideoState();
    ASSERT_NE(is, nullptr);
    // The start's own seek to 0 is taken first; then a mark shows whether anything asks again.
    ASSERT_TRUE(WaitFor([&] { return is->seek_req.load() == 0; }));
    constexpr int64_t kMark = 1'234'567;
    is->seek_pos = kMark;

    form.LabelTotalDuration->setText("00:01:00");
    form.ButtonStop->setEnabled(false);
    int w = 0;
    int h = 0;
    form.FFPlayerFileOpen(nullptr, -5, 320, 240, w, h);
    EXPECT_EQ(form.LabelTotalDuration->text(), "00:01:00");
    EXPECT_FALSE(form.ButtonStop->isEnabled());
    EXPECT_EQ(form.TrackBarProgress->maximum(), 0);
    form.TrackBarProgress->setValue(0);
    form.TrackBarProgressChange();
    platform::WaitPumping([] { return false; }, 200);
    EXPECT_EQ(is->seek_req.load(), 0);
    EXPECT_EQ(is->seek_pos, kMark);
    form.StopPlayback();
}

TEST_F(FormMainTest, FileOpenSizesTheWindowToTheVideo) {
    TFormMain& form = Start();
    int w = 0;
    int h = 0;
    form.FFPlayerFileOpen(nullptr, 2'000'000, 320, 240, w, h);
    EXPECT_EQ(form.size(), QSize(320, 240 + 36));
    EXPECT_EQ(w, 320);
    EXPECT_EQ(h, 240);

    // A picture larger than the screen: the window, bar included, fits the monitor's work area, placed
    // inside it, and the picture keeps its shape.
    form.FFPlayerFileOpen(nullptr, 2'000'000, 1920, 1080, w, h);
    const QRect area = form.screen()->availableGeometry();
    ASSERT_TRUE(WaitFor([&] { return area.contains(form.frameGeometry()); }))
        << form.frameGeometry().x() << "," << form.frameGeometry().y() << " " << form.frameGeometry().width()
        << "x" << form.frameGeometry().height();
    EXPECT_EQ(h, form.height() - 36);
    EXPECT_NEAR(static_cast<double>(w) / h, 1920.0 / 1080.0, 0.01);
    EXPECT_FALSE(form.PanelControls->isHidden());

    // Without a picture the window goes down to its minimum size, and the bar stays whole in it.
    form.FFPlayerFileOpen(nullptr, 2'000'000, -1, -1, w, h);
    EXPECT_EQ(form.size(), QSize(268, 150));
    EXPECT_EQ(form.PanelControls->geometry(), QRect(0, 150 - 36, 268, 36));
    EXPECT_EQ(form.PanelVolume->geometry().right() + 1, 268);
    EXPECT_FALSE(form.LabelCurrDuration->isHidden());
    EXPECT_LE(form.LabelCurrDuration->sizeHint().width() + 8, form.PanelDuration->width());

    // With the preference off the size stays.
    config_->Preferences.ResizeToVideoSize = false;
    form.resize(500, 400);
    form.FFPlayerFileOpen(nullptr, 2'000'000, 320, 240, w, h);
    EXPECT_EQ(form.size(), QSize(500, 400));
}

TEST_F(FormMainTest, StatesCountPlaysAndRunTheDonationCheck) {
    TFormMain& form = Start();
    form.FFPlayerState(nullptr, psPlay);
    form.FFPlayerState(nullptr, psPlay);
    EXPECT_EQ(config_->code_x, 2);
    form.FFPlayerState(nullptr, psPause);
    form.FFPlayerState(nullptr, psResume);
    EXPECT_EQ(donationChecks_, 0);
    form.playing = true;
    form.FFPlayerState(nullptr, psEnd);
    EXPECT_TRUE(WaitFor([&] { return !form.playing; }));
    EXPECT_EQ(player::SkinSection(form.Panel1), "BAR");
    form.FFPlayerState(nullptr, psStop);
    EXPECT_EQ(donationChecks_, 2);
}

TEST_F(FormMainTest, LaterInstanceArgumentsPlayOnlyTheFirstEntry) {
    TFormMain& form = Start();
    form.cmdline_args = QStringList{"/no/such/a.mp4", "/no/such/b.mp4"};
    platform::PostMessage(&form, player::WM_NEW_INSTANCE_ARGS);
    EXPECT_TRUE(WaitFor([&] { return form.cmdline_args.isEmpty(); }));
    EXPECT_EQ(form.current_video, "/no/such/a.mp4");
    EXPECT_FALSE(form.playing);
}

TEST_F(FormMainTest, CancellingTheOpenDialogResumesAndChoosingAFilePlaysIt) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    QStringList seenFilters;
    form.RunOpenDialog = [&](const QStringList& filters) -> std::optional<QString> {
        seenFilters = filters;
        EXPECT_EQ(form.MyPlayer()->PlayState(), psPause);
        return std::nullopt;
    };
    form.ButtonOpen->click();
    EXPECT_EQ(seenFilters, player::OpenDialogNameFilters());
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePause);

    const std::string audio = MakeClip(Clip::AudioOnly).string();
    form.RunOpenDialog = [&](const QStringList&) -> std::optional<QString> {
        return QString::fromStdString(audio);
    };
    form.ButtonOpen->click();
    EXPECT_EQ(form.current_video, audio);
    EXPECT_TRUE(form.playing);
    EXPECT_EQ(form.frame_width, -1);
}

TEST_F(FormMainTest, PlayingAClipShowsItsFactsAndCountsThePlay) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    EXPECT_TRUE(form.player_ok);
    EXPECT_TRUE(form.playing);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePause);
    EXPECT_EQ(player::SkinSection(form.Panel1), "ICOLINE");
    EXPECT_EQ(form.frame_width, 320);
    EXPECT_EQ(form.frame_height, 240);
    EXPECT_EQ(form.LabelTotalDuration->text(), "00:00:02");
    EXPECT_TRUE(form.ButtonStop->isEnabled());
    EXPECT_EQ(form.TrackBarProgress->maximum(), 20);
    EXPECT_EQ(form.size(), QSize(320, 276));

    EXPECT_TRUE(WaitFor([&] { return config_->code_x == 1; }));
    // The size holds while the file plays into the panel.
    EXPECT_EQ(form.size(), QSize(320, 276));

    // Starting another file stops this one first; its stop still runs the donation check.
    form.current_video = MakeClip(Clip::AudioOnly).string();
    form.PlayCurrentVideo();
    EXPECT_TRUE(form.playing);
    EXPECT_GE(donationChecks_, 1);
    EXPECT_EQ(form.size(), QSize(268, 150));
}

TEST_F(FormMainTest, ClipPlayedToItsEndResetsTheBarAndChecksForDonationTwice) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    ASSERT_TRUE(WaitFor([&] { return !form.playing; }, 60000)) << "the file never reached its end";
    EXPECT_TRUE(WaitFor([&] { return donationChecks_ >= 2; }));
    EXPECT_EQ(donationChecks_, 2);  // once for the end, once for the stop that follows it
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePlay);
    EXPECT_FALSE(form.ButtonStop->isEnabled());
    EXPECT_EQ(player::SkinSection(form.Panel1), "BAR");
    EXPECT_EQ(form.LabelCurrDuration->text(), QString::fromStdString(player::FormatPlayTime(form.duration)));
    EXPECT_EQ(form.TrackBarProgress->value(), form.TrackBarProgress->maximum());
}

TEST_F(FormMainTest, PauseResumeAndStopActOnThePlayingFile) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    form.ButtonPlayOrPause->click();
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePlay);
    EXPECT_TRUE(WaitFor([&] { return form.MyPlayer()->PlayState() == psPause; }));
    form.ButtonPlayOrPause->click();
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePause);
    EXPECT_TRUE(WaitFor([&] { return form.MyPlayer()->PlayState() != psPause; }));

    form.ButtonStop->click();
    EXPECT_FALSE(form.playing);
    EXPECT_FALSE(form.ButtonStop->isEnabled());
    EXPECT_EQ(player::SkinSection(form.Panel1), "BAR");
    EXPECT_EQ(form.MyPlayer()->PlayState(), psStop);
}

TEST_F(FormMainTest, VolumeAndMuteReachThePlayerOnceLoaded) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.player_ok);
    form.TrackBarVolume->setValue(50);
    EXPECT_EQ(form.MyPlayer()->AudioVolume, 50);
    EXPECT_EQ(config_->Preferences.Volume, 50);
    form.ButtonSound->click();
    EXPECT_TRUE(form.MyPlayer()->Mute);
    form.close();
    EXPECT_EQ(StoredInteger("Volume"), 50);
    EXPECT_EQ(StoredInteger("Mute"), 1);

    // The next start shows both again and hands them to the next file.
    form_.reset();
    TFormMain& again = StartPlaying(Clip::AudioOnly);
    EXPECT_EQ(again.TrackBarVolume->value(), 50);
    EXPECT_EQ(TFormMain::ImageIndex(again.ButtonSound), player::kImageMuted);
    ASSERT_TRUE(again.playing);
    EXPECT_EQ(again.MyPlayer()->AudioVolume, 50);
    EXPECT_TRUE(again.MyPlayer()->Mute);
}

TEST_F(FormMainTest, UnplayableFileLeavesTheWindowIdle) {
    TFormMain& form = StartPlaying(Clip::NoStreams);
    EXPECT_TRUE(form.player_ok);
    EXPECT_FALSE(form.playing);
    EXPECT_EQ(TFormMain::ImageIndex(form.ButtonPlayOrPause), player::kImagePlay);
    EXPECT_EQ(player::SkinSection(form.Panel1), "BAR");
    // The window still plays the next file.
    form.current_video = MakeClip(Clip::AudioOnly).string();
    form.PlayCurrentVideo();
    EXPECT_TRUE(form.playing);
}

TEST_F(FormMainTest, SetupWordsActOnlyAsTheOnlyArgumentInExactCase) {
    for (const QStringList& arguments :
         {QStringList{"-INSTALL"}, QStringList{"-Uninstall"}, QStringList{"-install", "clip.mp4"}}) {
        config_ = std::make_unique<player::Configuration>(programFolder_.path());
        form_ = std::make_unique<TFormMain>(*config_, arguments);
        EXPECT_FALSE(form_->ShowMainForm().has_value()) << arguments.join(' ').toStdString();
        EXPECT_TRUE(form_->isVisible());
        form_.reset();
    }
    // Without the association setter beside the program, installing fails.
    config_ = std::make_unique<player::Configuration>(programFolder_.path());
    form_ = std::make_unique<TFormMain>(*config_, QStringList{"-install"});
    EXPECT_EQ(form_->ShowMainForm(), 1);
    std::filesystem::copy_file(STREVIO_TEST_SETTER, programFolder_ / "StrevioSetupFileAssociations");
    config_ = std::make_unique<player::Configuration>(programFolder_.path());
    form_ = std::make_unique<TFormMain>(*config_, QStringList{"-install"});
    EXPECT_EQ(form_->ShowMainForm(), 0);
    EXPECT_FALSE(form_->isVisible());
    EXPECT_EQ(StoredInteger("Volume"), 127);
}

TEST_F(FormMainTest, SessionEndClosesAndSavesLikeTheUser) {
    TFormMain& form = Start();
    form.show();
    config_->code_x = 9;
    form.TrackBarVolume->setValue(10);  // libraries not loaded: the stored volume stays
    form.EndSessionHandler();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(StoredInteger("Volume"), 127);
    EXPECT_NE(testsupport::ReadFile(home_.dataHome() / "Strevio" / "Strevio.dat").find("code_x=9\r\n"),
              std::string::npos);
}

TEST_F(FormMainTest, DraggingTheProgressBarSeeksOnRelease) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    form.resize(800, 400);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(WaitFor([&] { return form.TrackBarProgress->width() > 200; }));
    TVideoState* is = Pipeline(*form.MyPlayer()).VideoState();
    ASSERT_NE(is, nullptr);
    const int64_t before = is->seek_pos;

    QSlider* bar = form.TrackBarProgress;
    const QPoint start(8, bar->height() / 2);
    const QPoint end(bar->width() * 3 / 4, bar->height() / 2);
    QTest::mousePress(bar, Qt::LeftButton, {}, start);
    EXPECT_TRUE(form.progress_held);
    QTest::mouseMove(bar, end);
    // While the button is held, the bar's own changes seek nothing and position events leave it alone.
    EXPECT_EQ(is->seek_pos, before);
    const int held = bar->value();
    form.FFPlayerPosition(nullptr, 100'000);
    EXPECT_EQ(bar->value(), held);

    EXPECT_GT(held, 0);

    // The release seeks once to where the bar was let go (position events may move it afterwards).
    QTest::mouseRelease(bar, Qt::LeftButton, {}, end);
    ASSERT_TRUE(WaitFor([&] { return !form.progress_held; }));
    const int64_t expected = form.duration * held / bar->maximum();
    EXPECT_NEAR(static_cast<double>(is->seek_pos), static_cast<double>(expected), 100000.0);
}

TEST_F(FormMainTest, AClickOnTheProgressGrooveSeeksThere) {
    TFormMain& form = StartPlaying(Clip::VideoAudio);
    ASSERT_TRUE(form.playing);
    form.MyPlayer()->Pause();
    form.resize(800, 400);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(WaitFor([&] { return form.TrackBarProgress->width() > 200; }));
    TVideoState* is = Pipeline(*form.MyPlayer()).VideoState();
    ASSERT_NE(is, nullptr);

    QSlider* bar = form.TrackBarProgress;
    const QPoint at(bar->width() * 3 / 4, bar->height() / 2);
    QTest::mouseClick(bar, Qt::LeftButton, {}, at);
    ASSERT_TRUE(WaitFor([&] { return !form.progress_held; }));
    // Where the click was, not one step towards it.
    EXPECT_NEAR(bar->value(), bar->maximum() * 3 / 4, bar->maximum() / 10);
    ASSERT_TRUE(WaitFor([&] { return is->seek_pos > form.duration / 2; }));
    EXPECT_NEAR(static_cast<double>(is->seek_pos), form.duration * 0.75, form.duration * 0.1);
    form.StopPlayback();
}

TEST_F(FormMainTest, TheDisabledStopButtonLooksDisabled) {
    // In the program's skin.
    qApp->setStyleSheet(player::SkinStyleSheet());
    struct PlainStyle {
        ~PlainStyle() { qApp->setStyleSheet(QString()); }
    } plainAfter;
    TFormMain& form = Start();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_FALSE(form.ButtonStop->isEnabled());
    // The brightest pixel of the button's image: the enabled image is light on the dark skin.
    auto brightest = [](QWidget* button) {
        const QImage image = button->grab().toImage();
        int most = 0;
        for (int y = 8; y < image.height() - 8; ++y) {
            for (int x = 8; x < image.width() - 8; ++x) {
                most = std::max(most, qGray(image.pixel(x, y)));
            }
        }
        return most;
    };
    const int disabled = brightest(form.ButtonStop);
    form.ButtonStop->setEnabled(true);
    const int enabled = brightest(form.ButtonStop);
    EXPECT_LT(disabled, enabled - 60) << disabled << " vs " << enabled;
}

TEST_F(FormMainTest, DebugLogWithAMaskWritesTheStartUpLines) {
    winutils::testing::ResetDebugLog();
    config_ = std::make_unique<player::Configuration>(programFolder_.path());
    config_->Preferences.DebugMask = 1;
    testsupport::WriteFile(config_->Preferences.LogFile, "previous run\n");
    form_ = std::make_unique<TFormMain>(*config_, QStringList{"/no/such/file.mp4"});
    ASSERT_TRUE(WaitFor([this] { return form_->initialised(); }));
    form_.reset();
    winutils::testing::ResetDebugLog();

    EXPECT_EQ(testsupport::ReadFile(config_->Preferences.LogFile1), "previous run\n");
    const std::string log = testsupport::ReadFile(config_->Preferences.LogFile);
    const QRegularExpression line(QStringLiteral(R"(^\d{6}-\d{3} \d{4,}: TFormMain::InitHandler: BEGIN$)"),
                                  QRegularExpression::MultilineOption);
    EXPECT_TRUE(line.match(QString::fromStdString(log)).hasMatch()) << log;
    EXPECT_NE(log.find(": TFormMain::TFormMain: Posting init message\n"), std::string::npos) << log;
    EXPECT_NE(log.find(": TFormMain::InitHandler: Not a file to play [/no/such/file.mp4]\n"),
              std::string::npos);
    EXPECT_NE(log.find(": TFormMain::InitHandler END\n"), std::string::npos);
}

TEST_F(FormMainTest, ForegroundWindowComesBackToTheFrontFromMinimised) {
    TFormMain& form = Start();
    QWidget other;
    other.resize(200, 100);
    other.show();
    other.activateWindow();
    ASSERT_TRUE(WaitFor([&] { return other.isActiveWindow(); }));
    form.showMinimized();
    ASSERT_TRUE(WaitFor([&] { return form.isMinimized(); }));

    winutils::ForceForegroundWindow(form.ButtonOpen);
    EXPECT_TRUE(WaitFor([&] { return form.isActiveWindow() && !form.isMinimized(); }));
    // Already in front: true at once.
    EXPECT_TRUE(winutils::ForceForegroundWindow(form.Panel1));
}

struct TimeCase {
    int64_t microseconds;
    const char* text;
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.microseconds << " us"; }

class PlayTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(PlayTimeTest, Formats) {
    EXPECT_EQ(player::FormatPlayTime(GetParam().microseconds), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Times, PlayTimeTest,
                         ::testing::Values(TimeCase{0, "00:00:00"}, TimeCase{999'999, "00:00:00"},
                                           TimeCase{59'999'999, "00:00:59"},
                                           TimeCase{3'661'000'000, "01:01:01"},
                                           TimeCase{100LL * 3600 * 1000000, "100:00:00"}));

TEST(OpenDialogFilterTest, GroupsMatchTheirExtensionsInEitherCase) {
    const QStringList filters = player::OpenDialogNameFilters();
    ASSERT_EQ(filters.size(), 4);
    EXPECT_TRUE(filters[0].startsWith("All supported files ("));
    EXPECT_TRUE(filters[1].startsWith("Video files ("));
    EXPECT_TRUE(filters[2].startsWith("Audio files ("));
    EXPECT_EQ(filters[3], "All files (*.*)");
    auto patterns = [](const QString& filter) {
        const qsizetype open = filter.indexOf('(');
        return filter.mid(open + 1, filter.size() - open - 2).split(' ');
    };
    EXPECT_EQ(patterns(filters[0]).size(), 37 * 2);
    EXPECT_EQ(patterns(filters[1]).size(), 17 * 2);
    EXPECT_EQ(patterns(filters[2]).size(), 19 * 2);
    EXPECT_TRUE(QDir::match(patterns(filters[0]), "clip.mp4"));
    EXPECT_TRUE(QDir::match(patterns(filters[0]), "CLIP.RMVB"));
    EXPECT_FALSE(QDir::match(patterns(filters[1]), "clip.rmvb"));
    EXPECT_TRUE(QDir::match(patterns(filters[2]), "song.flac"));
    EXPECT_FALSE(QDir::match(patterns(filters[2]), "clip.mkv"));
}

}  // namespace
