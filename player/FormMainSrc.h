// The player's main window: the black video panel above the skinned bar, the deferred start-up, saving
// on close, and the main window's side of playing a file.
#pragma once

#include <QRect>
#include <QStringList>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "engine/base/FFBaseComponent.h"
#include "engine/play/EarlyOpen.h"
#include "platform/qt/WindowMessages.h"

class QFrame;
class QLabel;
class QPushButton;
class QSlider;
class QStyle;
class QTimer;
class QToolButton;
class TCustomPlayer;

namespace player {

class Configuration;
class MyOneInstance;
class VideoPanel;

// The private messages of the main window.
inline constexpr unsigned WM_INIT_PLAYER = 2025;         // deferred initialisation
inline constexpr unsigned WM_NEW_INSTANCE_ARGS = 2026;   // arguments handed over by a later start
inline constexpr unsigned WM_LEAVE_FULL_SCREEN = 2028;   // leave full screen
inline constexpr unsigned WM_TOGGLE_FULL_SCREEN = 2029;  // toggle full screen

// The Open dialog's filter as the player's file-type groups give it: groups separated by "|", each a
// name followed by its ";"-separated patterns.
extern const char* const kOpenDialogFilter;
// The same groups as name filters for a file dialog, each pattern in upper and lower case.
QStringList OpenDialogNameFilters();

// Shows an exception that reached the program's entry as the application shows an error: a message box
// captioned "Strevio" with the exception's message (empty for a thrown value that is no exception).
void ShowUncaughtException(const std::string& message);

// "%02d:%02d:%02d" of a time in microseconds.
std::string FormatPlayTime(int64_t microseconds);

class TFormMain : public QWidget {
    Q_OBJECT
public:
    // arguments: the command-line arguments after the program's name.
    TFormMain(Configuration& configuration, QStringList arguments, QWidget* parent = nullptr);
    ~TFormMain() override;

    // What the program does instead of showing the window: with "-install" or "-uninstall" as the only
    // argument it does that and returns the exit code (0, or 1 when it failed); otherwise it shows the
    // window and returns nothing.
    std::optional<int> ShowMainForm();

    // Handlers that the tests and the program's start reach directly.
    void InitHandler();
    void NewInstanceStartedHandler();
    void PlayCurrentVideo();
    void StopPlayback();
    // Log-off, shut-down or SIGTERM: closes the window the way the user would.
    void EndSessionHandler();
    // A later start handed these arguments over.
    void OneInstance1InstanceStarted(const QStringList& params);

    // Full screen and window geometry.
    void SetFullScreen(bool on);
    void FormResize();
    void FullscreenTimerTimer();
    void ArrangeControls();
    // Runs on the engine's video decoder thread.
    void FFPlayerVideoHook(TObject* Sender, TObject* ABitmap, const int64_t& APTS, bool& AUpdate);

    // Engine events.
    void FFPlayerFileOpen(TObject* Sender, const int64_t& ADuration, int AFrameWidth, int AFrameHeight,
                          int& AScreenWidth, int& AScreenHeight);
    void FFPlayerPosition(TObject* Sender, const int64_t& APTS);
    void FFPlayerState(TObject* Sender, TPlayState APlayState);

    // Bar controls.
    void ButtonPlayOrPauseClick();
    void ButtonStopClick();
    void ButtonOpenClick();
    void ButtonSoundClick();
    void ButtonAboutClick();
    void ButtonSetupClick();
    void TrackBarVolumeChange();
    void TrackBarProgressChange();
    void TrackBarProgressMouseDown();
    void TrackBarProgressMouseUp();
    void TrackBarProgressEnter();
    void TrackBarProgressExit();

    // Replaceable parts: the Open dialog (returns the chosen file), the About and Settings dialogs, the
    // donation check and the multi-monitor notice (returns true when "do not show again" was ticked).
    std::function<std::optional<QString>(const QStringList& filters)> RunOpenDialog;
    std::function<void()> ShowAboutDialog;
    std::function<void()> ShowSettingsDialog;
    std::function<void()> ShowDonateIfDue;
    std::function<bool()> ShowMultiMonitorNotice;
    // Waits for the codec libraries that the program started loading early (none when unset); called
    // before the player is made.
    std::function<void()> WaitForCodecLibraries;
    // Hands over the open of the program's file that was started early (null when none); the player
    // gets it as soon as it is made.
    std::function<std::unique_ptr<TEarlyOpen>()> TakeEarlyOpen;

    // The folder the codec libraries are loaded from: "3rdparty/ffmpeg" beside the program.
    static std::string CodecFolder();
    // Where a file starts, in microseconds (the benchmark's start position); none: at its beginning.
    static std::optional<int64_t> StartPosition();

    // State, for the window's own modules and tests.
    TCustomPlayer* MyPlayer() const { return MyPlayer_.get(); }
    bool playing = false;
    bool player_ok = false;
    bool notice_shown = false;
    bool progress_from_code = false;
    bool progress_held = false;
    int64_t duration = 0;
    int32_t frame_height = -1;
    int32_t frame_width = -1;
    bool keep_inside_primary = false;
    int32_t primary_left = 0;
    int32_t primary_width = 0;
    int32_t primary_top = 0;
    int32_t primary_height = 0;
    int32_t last_width = 0;
    int32_t last_height = 0;
    int32_t last_top = 0;
    int32_t last_left = 0;
    std::string current_video;
    uint32_t directx_version = 0;
    QStringList cmdline_args;
    std::atomic<bool> true_full_screen{false};  // also read by the video hook's thread
    bool maximized_hint = false;
    bool full_screen_entered = false;
    bool initialised() const { return initialised_; }
    // The single-instance object; lives as long as the window.
    std::unique_ptr<MyOneInstance> one_instance;

    // Controls.
    VideoPanel* Panel1 = nullptr;
    QFrame* PanelControls = nullptr;
    QToolButton* ButtonStop = nullptr;
    QToolButton* ButtonPlayOrPause = nullptr;
    QFrame* PanelDuration = nullptr;
    QLabel* LabelCurrDuration = nullptr;
    QSlider* TrackBarProgress = nullptr;
    QLabel* LabelTotalDuration = nullptr;
    QPushButton* ButtonOpen = nullptr;
    QPushButton* ButtonSetup = nullptr;
    QPushButton* ButtonAbout = nullptr;
    QToolButton* ButtonSound = nullptr;
    QFrame* PanelVolume = nullptr;
    QSlider* TrackBarVolume = nullptr;
    QTimer* FullscreenTimer = nullptr;

    // The image a bar button shows, which is also its state.
    static int ImageIndex(const QToolButton* button);

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void BuildControls();
    void ConnectControls();
    void HandleMessage(const platform::WindowMessage& message);
    int RunSetupMode(bool uninstall);
    void CreatePlayer();
    void UpdateMonitorLimits();
    void SetButtonImage(QToolButton* button, int index);
    void SetPanelPlaying(bool playingLook);
    void FocusVideoPanel();
    void ResizeToVideo();
    QRect WorkAreaForVideo(const QRect& frame) const;
    bool PauseIfPlaying();
    void ResumeIfPausedHere(bool pausedHere);
    bool IsPrimaryMouseButtonDown() const;
    void SetProgressFromCode(int position);
    void InvalidateScreen();
    void WindowMoved();
    bool IsNormalState() const;
    bool IsMaximisedOrFullScreen() const;
    void SetStayOnTop(bool onTop);
    QRect PrimaryRect() const;

    Configuration& config_;
    QStringList arguments_;
    std::unique_ptr<TCustomPlayer> MyPlayer_;
    std::unique_ptr<platform::WindowMessageReceiver> receiver_;
    bool initialised_ = false;
    bool closed_ = false;
    QRect normal_geometry_;             // the window's place and size before full screen
    bool manage_full_screen_ = false;   // no window manager: the window covers the screen itself
    QStyle* seek_bar_style_ = nullptr;  // the progress bar's style, a child of the window
};

}  // namespace player
