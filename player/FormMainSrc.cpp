#include "player/FormMainSrc.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMoveEvent>
#include <QPainter>
#include <QPixmap>
#include <QProxyStyle>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>

#include "engine/base/BenchReport.h"
#include "engine/base/Bitmap.h"
#include "engine/play/FFPlay.h"
#include "platform/SpecialFolders.h"
#include "platform/qt/MessageBox.h"
#include "player/Configuration.h"
#include "player/FullScreen.h"
#include "player/IgnoredFailure.h"
#include "player/Myoneinstance.h"
#include "player/Skin.h"
#include "player/VideoPanel.h"
#include "winutils/Winutils.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_foreground.h"
#include "winutils/Winutils_screen.h"

namespace player {

const char* const kOpenDialogFilter =
    "All supported "
    "files|*.3G2;*.3GP;*.AMR;*.ASF;*.AVI;*.FLV;*.M4V;*.MP4;*.MPG;*.MPEG;*.MKV;*.MOV;*.RM;*.RMVB;*.VOB;*.OGM;*"
    "."
    "DIVX;*.WMV;*.AAC;*.AC3;*.APE;*.DTS;*.FLAC;*.M4A;*.MKA;*.MP2;*.MP3;*.MPA;*.MPC;*.OFR;*.OGG;*.RA;*.SPX;*."
    "TTA;*.WAV;*.WMA;*.XVID|Video "
    "files|*.3G2;*.3GP;*.ASF;*.AVI;*.FLV;*.M4V;*.MP4;*.MPG;*.MPEG;*.MKV;*.MOV;*.RM;*.VOB;*.OGM;*.DIVX;*.WMV;*"
    "."
    "XVID|Audio "
    "files|*.AAC;*.AC3;*.AMR;*.APE;*.DTS;*.FLAC;*.M4A;*.MKA;*.MP2;*.MP3;*.MPA;*.MPC;*.OFR;*.OGG;*.RA;*.SPX;*."
    "TTA;*.WAV;*.WMA|All files|*.*";

namespace {

using winutils::DEBUG_GENERAL;
using winutils::DebugLog;

constexpr int kClientWidth = 586;
constexpr int kClientHeight = 347;
constexpr int kMinimumWidth = 268;
constexpr int kMinimumHeight = 150;
constexpr int kBarHeight = 36;
constexpr int kBitmapButtonSize = 34;
constexpr int kTextButtonWidth = 44;
constexpr int kVolumeMaximum = 127;
constexpr int64_t kProgressUnit = 100000;  // tenths of a second
constexpr uint32_t kDirectDrawVersion = 0x500;
constexpr const char* kImageProperty = "imageIndex";

// A time in the progress bar's unit, held to the range the bar can show.
int ProgressUnits(int64_t microseconds) {
    return static_cast<int>(std::clamp<int64_t>(microseconds / kProgressUnit, 0, INT32_MAX));
}

// A click on the progress bar's groove puts the thumb there, as on any player's seek bar, instead of
// stepping one page towards the click.
class SeekBarStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == QStyle::SH_Slider_AbsoluteSetButtons) {
            return Qt::LeftButton;
        }
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// The skin's light images keep their brightness in the toolkit's own disabled look; a disabled button
// shows its image faded into the button instead.
QIcon WithDimmedDisabledImage(const QIcon& icon) {
    QIcon result = icon;
    for (const QSize& size : icon.availableSizes()) {
        const QPixmap normal = icon.pixmap(size);
        QPixmap dimmed(normal.size());
        dimmed.setDevicePixelRatio(normal.devicePixelRatio());
        dimmed.fill(Qt::transparent);
        QPainter painter(&dimmed);
        painter.setOpacity(0.3);
        painter.drawPixmap(0, 0, normal);
        painter.end();
        result.addPixmap(dimmed, QIcon::Disabled);
    }
    return result;
}

QToolButton* MakeBitmapButton(QWidget* parent, const char* name) {
    auto* button = new QToolButton(parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFixedSize(kBitmapButtonSize, kBitmapButtonSize);
    button->setIconSize(QSize(24, 24));
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QPushButton* MakeTextButton(QWidget* parent, const char* name, const char* caption) {
    auto* button = new QPushButton(QString::fromLatin1(caption), parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setFixedSize(kTextButtonWidth, kBitmapButtonSize);
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QSlider* MakeTrackBar(QWidget* parent, const char* name, int maximum) {
    auto* bar = new QSlider(Qt::Horizontal, parent);
    bar->setObjectName(QString::fromLatin1(name));
    bar->setRange(0, maximum);
    bar->setTickPosition(QSlider::NoTicks);
    SetSkinSection(bar, "TRACKBAR");
    return bar;
}

}  // namespace

QStringList OpenDialogNameFilters() {
    const QStringList parts = QString::fromLatin1(kOpenDialogFilter).split(QLatin1Char('|'));
    QStringList filters;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        QStringList patterns;
        for (const QString& pattern : parts[i + 1].split(QLatin1Char(';'))) {
            patterns << pattern;
            if (pattern.toLower() != pattern) {
                patterns << pattern.toLower();
            }
        }
        filters << parts[i] + QStringLiteral(" (") + patterns.join(QLatin1Char(' ')) + QLatin1Char(')');
    }
    return filters;
}

void ShowUncaughtException(const std::string& message) {
    std::fprintf(stderr, "Strevio: %s\n", message.empty() ? "unexpected failure" : message.c_str());
    platform::ShowMessageBox(platform::TMessageKind::Error, "Strevio", message);
}

std::string FormatPlayTime(int64_t microseconds) {
    const int64_t seconds = microseconds / 1000000;
    char text[29];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>((seconds / 60) % 60), static_cast<long long>(seconds % 60));
    return text;
}

std::optional<int64_t> TFormMain::StartPosition() {
    const double start = bench_report::StartSeconds();
    return std::isnan(start) ? std::nullopt : std::optional<int64_t>(static_cast<int64_t>(start * 1e6));
}

std::string TFormMain::CodecFolder() {
    const auto folder = platform::ProgramFolder();
    return ((folder ? *folder : std::filesystem::path(".")) / "3rdparty" / "ffmpeg").string();
}

TFormMain::TFormMain(Configuration& configuration, QStringList arguments, QWidget* parent)
    : QWidget(parent), config_(configuration), arguments_(std::move(arguments)) {
    setObjectName(QStringLiteral("FormMain"));
    setWindowTitle(QStringLiteral("Strevio"));
    BuildControls();
    ConnectControls();
    resize(kClientWidth, kClientHeight);
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    receiver_ = std::make_unique<platform::WindowMessageReceiver>(
        this, [this](const platform::WindowMessage& message) { HandleMessage(message); });
    connect(FullscreenTimer, &QTimer::timeout, this, [this] { FullscreenTimerTimer(); });

    // A later start hands its arguments to the first one in here and is then done.
    one_instance = std::make_unique<MyOneInstance>(arguments_, this);
    one_instance->OnInstanceStarted = [this](const QStringList& params) {
        OneInstance1InstanceStarted(params);
    };
    if (one_instance->TerminateRequested()) {
        return;
    }
    winutils::StartDebugLog();
    DebugLog(DEBUG_GENERAL, "TFormMain::TFormMain: Posting init message");
    platform::PostMessage(this, WM_INIT_PLAYER);
}

TFormMain::~TFormMain() {
    if (MyPlayer_) {
        // The player's events must not reach a window that is going away.
        MyPlayer_->OnFileOpen = nullptr;
        MyPlayer_->OnPosition = nullptr;
        MyPlayer_->OnState = nullptr;
        MyPlayer_->OnVideoHook = nullptr;
        try {
            MyPlayer_->Stop(true);
        } catch (const std::exception& e) {
            DebugLog(DEBUG_GENERAL, "TFormMain::~TFormMain: EXCEPTION %s", e.what());
        }
        MyPlayer_.reset();
    }
}

void TFormMain::BuildControls() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    Panel1 = new VideoPanel(this);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    SetSkinSection(Panel1, "BAR");
    layout->addWidget(Panel1, 1);

    PanelControls = new QFrame(this);
    PanelControls->setObjectName(QStringLiteral("PanelControls"));
    PanelControls->setFixedHeight(kBarHeight);
    SetSkinSection(PanelControls, "BARPANEL");
    layout->addWidget(PanelControls);

    // The bar's controls are placed by ArrangeControls from the window's width alone.
    ButtonStop = MakeBitmapButton(PanelControls, "ButtonStop");
    SetButtonImage(ButtonStop, kImageStop);
    ButtonPlayOrPause = MakeBitmapButton(PanelControls, "ButtonPlayOrPause");
    SetButtonImage(ButtonPlayOrPause, kImagePlay);

    PanelDuration = new QFrame(PanelControls);
    PanelDuration->setObjectName(QStringLiteral("PanelDuration"));
    SetSkinSection(PanelDuration, "BUTTON");
    auto* durationLayout = new QHBoxLayout(PanelDuration);
    durationLayout->setContentsMargins(4, 0, 4, 0);
    durationLayout->setSpacing(4);
    LabelCurrDuration = new QLabel(QStringLiteral("00:00:00"), PanelDuration);
    LabelCurrDuration->setObjectName(QStringLiteral("LabelCurrDuration"));
    TrackBarProgress = MakeTrackBar(PanelDuration, "TrackBarProgress", 100);
    TrackBarProgress->setFocusPolicy(Qt::StrongFocus);
    // Owned by the window; made after the bar, so the window's children are freed before it.
    seek_bar_style_ = new SeekBarStyle;
    seek_bar_style_->setParent(this);
    TrackBarProgress->setStyle(seek_bar_style_);
    LabelTotalDuration = new QLabel(QStringLiteral("00:00:00"), PanelDuration);
    LabelTotalDuration->setObjectName(QStringLiteral("LabelTotalDuration"));
    LabelTotalDuration->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    durationLayout->addWidget(LabelCurrDuration);
    durationLayout->addWidget(TrackBarProgress, 1);
    durationLayout->addSpacing(8 - durationLayout->spacing());
    durationLayout->addWidget(LabelTotalDuration, 0, Qt::AlignRight);

    ButtonOpen = MakeTextButton(PanelControls, "ButtonOpen", "Open");
    ButtonSetup = MakeTextButton(PanelControls, "ButtonSetup", "Setup");
    ButtonAbout = MakeTextButton(PanelControls, "ButtonAbout", "About");
    ButtonSound = MakeBitmapButton(PanelControls, "ButtonSound");
    SetButtonImage(ButtonSound, kImageSoundOn);

    PanelVolume = new QFrame(PanelControls);
    PanelVolume->setObjectName(QStringLiteral("PanelVolume"));
    PanelVolume->setFixedSize(50, kBitmapButtonSize);
    auto* volumeLayout = new QHBoxLayout(PanelVolume);
    volumeLayout->setContentsMargins(2, 0, 2, 0);
    TrackBarVolume = MakeTrackBar(PanelVolume, "TrackBarVolume", kVolumeMaximum);
    TrackBarVolume->setValue(kVolumeMaximum);
    volumeLayout->addWidget(TrackBarVolume);

    setTabOrder(ButtonStop, ButtonPlayOrPause);

    FullscreenTimer = new QTimer(this);
    FullscreenTimer->setObjectName(QStringLiteral("FullscreenTimer"));
    FullscreenTimer->setInterval(2000);
}

void TFormMain::ConnectControls() {
    connect(ButtonPlayOrPause, &QToolButton::clicked, this, [this] { ButtonPlayOrPauseClick(); });
    connect(ButtonStop, &QToolButton::clicked, this, [this] { ButtonStopClick(); });
    connect(ButtonOpen, &QPushButton::clicked, this, [this] { ButtonOpenClick(); });
    connect(ButtonSound, &QToolButton::clicked, this, [this] { ButtonSoundClick(); });
    connect(ButtonAbout, &QPushButton::clicked, this, [this] { ButtonAboutClick(); });
    connect(ButtonSetup, &QPushButton::clicked, this, [this] { ButtonSetupClick(); });
    connect(TrackBarVolume, &QSlider::valueChanged, this, [this] { TrackBarVolumeChange(); });
    connect(TrackBarProgress, &QSlider::valueChanged, this, [this] { TrackBarProgressChange(); });
    TrackBarProgress->installEventFilter(this);
}

bool TFormMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == TrackBarProgress) {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
                TrackBarProgressMouseDown();
                break;
            case QEvent::MouseButtonRelease:
                // After the bar has taken the release: the position it ends at is then sought once,
                // since its changes while the button was down sought nothing.
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        TrackBarProgressMouseUp();
                        TrackBarProgressChange();
                    },
                    Qt::QueuedConnection);
                break;
            case QEvent::FocusIn:
                TrackBarProgressEnter();
                break;
            case QEvent::FocusOut:
                TrackBarProgressExit();
                break;
            default:
                break;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TFormMain::HandleMessage(const platform::WindowMessage& message) {
    switch (message.msg) {
        case WM_INIT_PLAYER:
            InitHandler();
            break;
        case WM_NEW_INSTANCE_ARGS:
            NewInstanceStartedHandler();
            break;
        case WM_LEAVE_FULL_SCREEN:
            SetFullScreen(false);
            break;
        case WM_TOGGLE_FULL_SCREEN:
            SetFullScreen(!IsMaximisedOrFullScreen());
            break;
        default:
            DebugLog(DEBUG_GENERAL, "TFormMain: message %u not handled", message.msg);
            break;
    }
}

std::optional<int> TFormMain::ShowMainForm() {
    if (one_instance && one_instance->TerminateRequested()) {
        return 0;
    }
    if (arguments_.size() == 1 &&
        (arguments_[0] == QStringLiteral("-install") || arguments_[0] == QStringLiteral("-uninstall"))) {
        return RunSetupMode(arguments_[0] == QStringLiteral("-uninstall"));
    }
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
    }
    show();
    return std::nullopt;
}

int TFormMain::RunSetupMode(bool uninstall) {
    const char* mode = uninstall ? "-uninstall" : "-install";
    DebugLog(DEBUG_GENERAL, "TFormMain::FormShow: %s", mode);
    config_.LoadPreferences();
    if (uninstall) {
        config_.AssociatedFileTypes.Clear();
        config_.Preferences.CheckForUpdates = false;
    }
    const bool saved = config_.SavePreferences();
    // The setter finds the wishes just saved (none on uninstall) and leaves what it achieved.
    const bool associated = config_.SetFileAssociations();
    const bool deleted = !uninstall || config_.DeletePreferenceKeys();
    if (!saved) {
        std::fprintf(stderr, "Strevio: %s failed: the preferences could not be written\n", mode);
    }
    if (!associated) {
        std::fprintf(stderr, "Strevio: %s failed: the file associations were not all %s by %s\n", mode,
                     uninstall ? "removed" : "made", config_.AssociationSetterPath().c_str());
    }
    if (!deleted) {
        std::fprintf(stderr, "Strevio: %s failed: the preferences could not be removed\n", mode);
    }
    return saved && associated && deleted ? 0 : 1;
}

void TFormMain::InitHandler() {
    if (initialised_) {
        return;
    }
    initialised_ = true;
    winutils::StartDebugLog();
    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: BEGIN");
    DebugLog(DEBUG_GENERAL, "TFormMain::TFormMain: Loading preferences");
    config_.LoadPreferences();
    config_.LoadPersonalConfigFile();

    DebugLog(DEBUG_GENERAL, "TFormMain::TFormMain: Initializing states");
    player_ok = false;
    playing = false;
    ButtonStop->setEnabled(false);
    TrackBarProgress->setEnabled(false);

    if (config_.Preferences.Volume > TrackBarVolume->maximum()) {
        config_.Preferences.Volume = TrackBarVolume->maximum();
    }
    TrackBarVolume->setValue(config_.Preferences.Volume);
    if (config_.Preferences.Mute) {
        SetButtonImage(ButtonSound, kImageMuted);
    }

    try {
        directx_version = winutils::GetDirectXVersion();
    } catch (const std::exception&) {
        directx_version = 0;
    }
    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: DirectX version: %x", directx_version);
    UpdateMonitorLimits();
    // The player reads the process-wide loader from its start.
    if (WaitForCodecLibraries) {
        WaitForCodecLibraries();
    }
    CreatePlayer();
    if (MyPlayer_ && TakeEarlyOpen) {
        MyPlayer_->SetEarlyOpen(TakeEarlyOpen());
    }

    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: ParamCount=%d", static_cast<int>(arguments_.size()));
    if (!arguments_.isEmpty()) {
        const std::string first = arguments_[0].toStdString();
        std::error_code ec;
        if (std::filesystem::is_regular_file(first, ec)) {
            current_video = first;
            DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: Current video [%s]", current_video.c_str());
            PlayCurrentVideo();
        } else {
            DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: Not a file to play [%s]", first.c_str());
        }
    }
    InstallKeyboardHook(this);
    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler END");
}

void TFormMain::CreatePlayer() {
    try {
        MyPlayer_ = std::make_unique<TFFPlayer>();
        MyPlayer_->OnFileOpen = [this](TObject* sender, const int64_t& d, int w, int h, int& sw, int& sh) {
            FFPlayerFileOpen(sender, d, w, h, sw, sh);
        };
        MyPlayer_->OnPosition = [this](TObject* sender, const int64_t& pts) {
            FFPlayerPosition(sender, pts);
        };
        MyPlayer_->OnState = [this](TObject* sender, TPlayState state) { FFPlayerState(sender, state); };
        MyPlayer_->OnVideoHook = [this](TObject* sender, TObject* bitmap, const int64_t& pts, bool& update) {
            FFPlayerVideoHook(sender, bitmap, pts, update);
        };
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: cannot create the player: %s", e.what());
        MyPlayer_.reset();
    }
}

void TFormMain::UpdateMonitorLimits() {
    std::vector<MonitorInfo> monitors;
    const QScreen* primaryScreen = QGuiApplication::primaryScreen();
    for (const QScreen* screen : QGuiApplication::screens()) {
        monitors.push_back({screen->geometry(), screen == primaryScreen});
    }
    const PrimaryLimit limit =
        RecomputePrimaryLimit(monitors, config_.Preferences.UseDirectDraw, PrimaryRect());
    keep_inside_primary = limit.keepInside;
    primary_left = limit.primary.left();
    primary_top = limit.primary.top();
    primary_width = limit.primary.width();
    primary_height = limit.primary.height();
}

void TFormMain::PlayCurrentVideo() {
    DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: BEGIN");
    if (config_.show_info[0] != 0 && winutils::MonitorRects().size() > 1 &&
        config_.Preferences.UseDirectDraw && !notice_shown) {
        if (ShowMultiMonitorNotice && ShowMultiMonitorNotice()) {
            config_.show_info[0] = 0;
        }
        notice_shown = true;
    }
    UpdateMonitorLimits();
    if (!MyPlayer_) {
        winutils::ShowErrorMessage("%s", "Cannot play video - player not allocated");
        return;
    }
    if (!MyPlayer_->AVLibLoaded()) {
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: AVLibs not loaded");
        const std::string folder = CodecFolder();
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Load from [%s]", folder.c_str());
        if (MyPlayer_->LoadAVLib(folder, true)) {
            DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Seems to have loaded OK");
            player_ok = MyPlayer_->AVLibLoaded();
            DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Status: %s", player_ok ? "OK" : "Failed");
        } else {
            DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Loading failed, cannot play");
            std::fprintf(stderr, "Strevio: cannot load the codec libraries: %s\n",
                         MyPlayer_->LastErrMsg().c_str());
            player_ok = false;
        }
    }
    if (!player_ok) {
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: END - player not ok");
        return;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(current_video, ec)) {
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: END - video does not exist [%s]",
                 current_video.c_str());
        return;
    }
    DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Start playing");
    MyPlayer_->Stop(true);

    MyPlayer_->AudioVolume = static_cast<TAudioVolume>(TrackBarVolume->value());
    SetProgressFromCode(0);
    MyPlayer_->Seek(int64_t{0}, TSeekFlags{}, false);
    frame_width = frame_height = -1;
    const QRect frame = frameGeometry();
    last_width = frame.width();
    last_height = frame.height();
    last_top = frame.top();
    last_left = frame.left();

    MyPlayer_->DisableAudio = false;
    MyPlayer_->DisableVideo = false;
    MyPlayer_->DisableDisplay = false;
    MyPlayer_->Mute = config_.Preferences.Mute;
    MyPlayer_->SetAspectRatio(0.0f);
    // A start position (the benchmark's) is sought by the open itself, before anything is decoded.
    if (const std::optional<int64_t> start = StartPosition()) {
        MyPlayer_->SetStartTime(*start);
    }
    winutils::ForceForegroundWindow(this);

    TVideoDriver driver = vdGDI;
    if (directx_version >= kDirectDrawVersion && config_.Preferences.UseDirectDraw) {
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: Enabling DirectDraw");
        driver = vdDirectDraw;
    }
    SetPanelPlaying(true);
    MyPlayer_->VideoDriver = driver;
    ::setenv("SDL_ENABLEGLOBALFOCUS", "1", 1);

    Panel1->EnsureNativeWindow();
    const bool opened = MyPlayer_->Open(current_video, static_cast<HostWindow*>(Panel1), false);
    if (!opened) {
        // The window goes back to idle and says why, rather than showing a playing state for nothing.
        const std::string reason = MyPlayer_->LastErrMsg();
        DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: END - cannot open [%s]: %s",
                 current_video.c_str(), reason.c_str());
        std::fprintf(stderr, "Strevio: cannot play %s: %s\n", current_video.c_str(), reason.c_str());
        StopPlayback();
        return;
    }
    playing = true;
    SetButtonImage(ButtonPlayOrPause, kImagePause);
    DebugLog(DEBUG_GENERAL, "TFormMain::PlayCurrentVideo: END");
}

void TFormMain::StopPlayback() {
    try {
        if (MyPlayer_) {
            MyPlayer_->Stop(true);
        }
        playing = false;
        ButtonStop->setEnabled(false);
        SetButtonImage(ButtonPlayOrPause, kImagePlay);
        SetPanelPlaying(false);
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "StopPlayback: EXCEPTION %s", e.what());
    }
}

void TFormMain::FFPlayerFileOpen(TObject* /*Sender*/, const int64_t& ADuration, int AFrameWidth,
                                 int AFrameHeight, int& AScreenWidth, int& AScreenHeight) {
    if (ADuration > 0) {
        LabelTotalDuration->setText(QString::fromStdString(FormatPlayTime(ADuration)));
        ButtonStop->setEnabled(true);
    }
    frame_width = AFrameWidth;
    frame_height = AFrameHeight;
    if (config_.Preferences.ResizeToVideoSize && !IsMaximisedOrFullScreen()) {
        ResizeToVideo();
    }
    AScreenWidth = Panel1->width();
    AScreenHeight = Panel1->height();

    duration = ADuration;
    progress_held = false;
    TrackBarProgress->setMaximum(ProgressUnits(ADuration));
    SetProgressFromCode(0);
    TrackBarProgress->setEnabled(true);
    if (player_ok) {
        RunIgnoringFailure("TFormMain::FFPlayerFileOpen", [&] { MyPlayer_->UpdateScreenPosition(); });
    }
}

void TFormMain::ResizeToVideo() {
    // The bar counts unless it was hidden (full screen); whether the window is on screen yet does not matter.
    const int barHeight = PanelControls->isHidden() ? 0 : PanelControls->height();
    const QRect frame = frameGeometry();
    const QSize border(frame.width() - width(), frame.height() - height());
    const QRect area = WorkAreaForVideo(frame);
    const QSize client =
        VideoClientSize(QSize(frame_width, frame_height), barHeight, border, area.size(), minimumSize());
    resize(client);
    // The panel takes the whole client area above the bar; lay it out now so the engine sees its size.
    if (layout() != nullptr) {
        layout()->setGeometry(QRect(QPoint(0, 0), client));
    }
    const QPoint inside = PlaceInside(QRect(frame.topLeft(), client + border), area);
    if (inside != frame.topLeft()) {
        move(inside);
    }
}

QRect TFormMain::WorkAreaForVideo(const QRect& frame) const {
    const std::vector<winutils::ScreenRect> monitors = winutils::MonitorRects();
    for (size_t i = 0; i < monitors.size(); ++i) {
        const winutils::ScreenRect& m = monitors[i];
        DebugLog(DEBUG_GENERAL, "FFPlayerFileOpen: Monitor %d: Left=%d, Top=%d, Width=%d, Height=%d",
                 static_cast<int>(i), m.Left, m.Top, m.Width, m.Height);
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!keep_inside_primary) {
        // The monitor that holds most of the window: its centre's, else the primary one.
        if (const QScreen* under = QGuiApplication::screenAt(frame.center())) {
            screen = under;
        }
    }
    if (screen == nullptr) {
        return QRect(QPoint(0, 0), QSize(INT32_MAX / 4, INT32_MAX / 4));
    }
    const QRect area = screen->availableGeometry();
    DebugLog(DEBUG_GENERAL, "FFPlayerFileOpen: Work area: Left=%d, Top=%d, Width=%d, Height=%d", area.left(),
             area.top(), area.width(), area.height());
    return area;
}

void TFormMain::FFPlayerPosition(TObject* /*Sender*/, const int64_t& APTS) {
    if (APTS >= 0 && duration > 0) {
        if (APTS > 0) {
            LabelCurrDuration->setText(QString::fromStdString(FormatPlayTime(APTS)));
        }
        // Positions come every 20 ms, the bar moves in tenths of a second: only a move is repainted.
        if (!progress_held && TrackBarProgress->value() != ProgressUnits(APTS)) {
            SetProgressFromCode(ProgressUnits(APTS));
            TrackBarProgress->repaint();
        }
    }
    if (APTS == duration) {
        ButtonStop->setEnabled(false);
        SetButtonImage(ButtonPlayOrPause, kImagePlay);
        playing = false;
    }
}

void TFormMain::FFPlayerState(TObject* /*Sender*/, TPlayState APlayState) {
    switch (APlayState) {
        case psPlay:
            ++config_.code_x;
            break;
        case psEnd:
            // Run once this report has been delivered: stopping waits for the engine's threads, and the
            // thread that delivers this report cannot end before the report's handler returns.
            QMetaObject::invokeMethod(
                this,
                [this] {
                    StopPlayback();
                    if (ShowDonateIfDue && !closed_) {
                        ShowDonateIfDue();
                    }
                },
                Qt::QueuedConnection);
            break;
        case psStop:
            // The stop that closing the window makes asks the user nothing: the program is ending.
            if (ShowDonateIfDue && !closed_) {
                ShowDonateIfDue();
            }
            break;
        default:
            break;
    }
}

void TFormMain::SetProgressFromCode(int position) {
    progress_from_code = true;
    TrackBarProgress->setValue(position);
    progress_from_code = false;
}

void TFormMain::ButtonPlayOrPauseClick() {
    if (!playing) {
        PlayCurrentVideo();
    } else if (ImageIndex(ButtonPlayOrPause) != kImagePlay) {
        MyPlayer_->Pause();
        SetButtonImage(ButtonPlayOrPause, kImagePlay);
    } else {
        MyPlayer_->Resume();
        SetButtonImage(ButtonPlayOrPause, kImagePause);
    }
    FocusVideoPanel();
}

void TFormMain::ButtonStopClick() {
    StopPlayback();
    SetButtonImage(ButtonPlayOrPause, kImagePlay);
    FocusVideoPanel();
}

bool TFormMain::PauseIfPlaying() {
    if (ImageIndex(ButtonPlayOrPause) == kImagePause && MyPlayer_) {
        MyPlayer_->Pause();
        SetButtonImage(ButtonPlayOrPause, kImagePlay);
        return true;
    }
    return false;
}

void TFormMain::ResumeIfPausedHere(bool pausedHere) {
    if (pausedHere && MyPlayer_) {
        MyPlayer_->Resume();
        SetButtonImage(ButtonPlayOrPause, kImagePause);
    }
}

void TFormMain::ButtonOpenClick() {
    const QStringList filters = OpenDialogNameFilters();
    const bool pausedHere = PauseIfPlaying();
    std::optional<QString> chosen;
    if (RunOpenDialog) {
        chosen = RunOpenDialog(filters);
    } else {
        QFileDialog dialog(this);
        dialog.setNameFilters(filters);
        dialog.setFileMode(QFileDialog::ExistingFile);
        dialog.setSizeGripEnabled(true);
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty()) {
            chosen = dialog.selectedFiles().first();
        }
    }
    if (chosen) {
        SetPanelPlaying(false);
        const std::string file = chosen->toStdString();
        std::error_code ec;
        if (std::filesystem::is_regular_file(file, ec)) {
            current_video = file;
            PlayCurrentVideo();
        }
    } else {
        ResumeIfPausedHere(pausedHere);
    }
    FocusVideoPanel();
}

void TFormMain::ButtonSoundClick() {
    if (ImageIndex(ButtonSound) == kImageSoundOn) {
        SetButtonImage(ButtonSound, kImageMuted);
        config_.Preferences.Mute = true;
    } else {
        SetButtonImage(ButtonSound, kImageSoundOn);
        config_.Preferences.Mute = false;
    }
    if (player_ok) {
        MyPlayer_->Mute = config_.Preferences.Mute;
    }
    FocusVideoPanel();
}

void TFormMain::ButtonAboutClick() {
    const bool pausedHere = PauseIfPlaying();
    RunIgnoringFailure("TFormMain::ButtonAboutClick", [&] {
        if (ShowAboutDialog) {
            ShowAboutDialog();
        }
    });
    ResumeIfPausedHere(pausedHere);
    FocusVideoPanel();
}

void TFormMain::ButtonSetupClick() {
    const bool pausedHere = PauseIfPlaying();
    RunIgnoringFailure("TFormMain::ButtonSetupClick", [&] {
        if (ShowSettingsDialog) {
            ShowSettingsDialog();
        }
    });
    ResumeIfPausedHere(pausedHere);
    if (!playing) {
        UpdateMonitorLimits();
    }
    FocusVideoPanel();
}

void TFormMain::TrackBarVolumeChange() {
    if (player_ok) {
        MyPlayer_->AudioVolume = static_cast<TAudioVolume>(TrackBarVolume->value());
        config_.Preferences.Volume = TrackBarVolume->value();
    }
}

bool TFormMain::IsPrimaryMouseButtonDown() const {
    // Qt reports the buttons as the user sees them, so swapped buttons need no extra care.
    return (QGuiApplication::mouseButtons() & Qt::LeftButton) != 0;
}

void TFormMain::TrackBarProgressChange() {
    if (progress_from_code || IsPrimaryMouseButtonDown()) {
        return;
    }
    const int maximum = TrackBarProgress->maximum();
    if (maximum <= 0 || !MyPlayer_) {
        return;
    }
    RunIgnoringFailure("TFormMain::TrackBarProgressChange", [&] {
        const int64_t target = duration * TrackBarProgress->value() / maximum;
        MyPlayer_->Seek(target, TSeekFlags{}, false);
    });
}

void TFormMain::TrackBarProgressMouseDown() {
    progress_held = true;
}

void TFormMain::TrackBarProgressMouseUp() {
    progress_held = false;
}

void TFormMain::TrackBarProgressEnter() {
    progress_held = true;
}

void TFormMain::TrackBarProgressExit() {
    progress_held = false;
}

void TFormMain::NewInstanceStartedHandler() {
    DebugLog(DEBUG_GENERAL, "TFormMain::NewInstanceStartedHandler: BEGIN");
    DebugLog(DEBUG_GENERAL, "TFormMain::NewInstanceStartedHandler: cmdline_args->Count=%d",
             static_cast<int>(cmdline_args.size()));
    if (!cmdline_args.isEmpty()) {
        current_video = cmdline_args.first().toStdString();
        DebugLog(DEBUG_GENERAL, "TFormMain::NewInstanceStartedHandler: current_video [%s]",
                 current_video.c_str());
        PlayCurrentVideo();
    }
    cmdline_args.clear();
    DebugLog(DEBUG_GENERAL, "TFormMain::NewInstanceStartedHandler: END");
}

void TFormMain::OneInstance1InstanceStarted(const QStringList& params) {
    DebugLog(DEBUG_GENERAL, "TFormMain::OneInstance1InstanceStarted BEGIN");
    DebugLog(DEBUG_GENERAL, "TFormMain::OneInstance1InstanceStarted: params->Count=%d",
             static_cast<int>(params.size()));
    for (qsizetype i = 0; i < params.size(); ++i) {
        DebugLog(DEBUG_GENERAL, "TFormMain::OneInstance1InstanceStarted: params[%d]=[%s]",
                 static_cast<int>(i), params[i].toUtf8().constData());
    }
    if (!params.isEmpty()) {
        cmdline_args = params;
        platform::PostMessage(this, WM_NEW_INSTANCE_ARGS);
    }
    DebugLog(DEBUG_GENERAL, "TFormMain::OneInstance1InstanceStarted END");
}

void TFormMain::EndSessionHandler() {
    DebugLog(DEBUG_GENERAL, "TFormMain::EndSessionHandler");
    close();
    // A modal dialog runs an event loop of its own that would keep the program: close each one that is
    // open, innermost first (hiding a dialog ends its loop), then end the program's loop.
    while (QWidget* modal = QApplication::activeModalWidget()) {
        modal->close();
        if (QApplication::activeModalWidget() == modal) {
            modal->hide();
        }
        if (QApplication::activeModalWidget() == modal) {
            break;
        }
    }
    QCoreApplication::quit();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    if (!closed_) {
        closed_ = true;
        config_.SavePreferences();
        config_.SavePersonalConfigFile();
        // A file still playing is ended here, so its threads are joined before the program exits.
        if (MyPlayer_) {
            RunIgnoringFailure("TFormMain::closeEvent", [&] { MyPlayer_->Stop(true); });
        }
    }
    event->accept();
}

int TFormMain::ImageIndex(const QToolButton* button) {
    return button->property(kImageProperty).toInt();
}

void TFormMain::SetButtonImage(QToolButton* button, int index) {
    button->setProperty(kImageProperty, index);
    button->setIcon(WithDimmedDisabledImage(SkinImage(index)));
}

void TFormMain::SetPanelPlaying(bool playingLook) {
    SetSkinSection(Panel1, playingLook ? "ICOLINE" : "BAR");
    Panel1->SetEngineDrawing(playingLook);
    Panel1->repaint();
}

void TFormMain::FocusVideoPanel() {
    RunIgnoringFailure("TFormMain::FocusVideoPanel", [&] { Panel1->setFocus(Qt::OtherFocusReason); });
}

void TFormMain::SetFullScreen(bool on) {
    // Only window states change here, never the window's flags: new flags would recreate the top-level
    // X window and with it the video panel's native window that the engine draws into.
    if (on) {
        if (!IsMaximisedOrFullScreen() && windowHandle() != nullptr) {
            normal_geometry_ = windowHandle()->geometry();
        }
        true_full_screen = true;
        PanelControls->hide();
        full_screen_entered = true;
        setWindowState((windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized)) | Qt::WindowFullScreen);
        SetStayOnTop(true);
        // A window manager covers the screen for the full-screen state and later gives the old place back;
        // without one the window does both itself. Set on the native window: a widget's own geometry
        // change would clear the state again.
        manage_full_screen_ = !WindowManagerPresent();
        if (const QScreen* shownOn = screen(); manage_full_screen_ && shownOn != nullptr && windowHandle()) {
            windowHandle()->setGeometry(shownOn->geometry());
        }
    } else {
        const bool wasFullScreen = isFullScreen();
        setWindowState(windowState() & ~(Qt::WindowMaximized | Qt::WindowFullScreen));
        SetStayOnTop(false);
        // Asked of the native window as full screen was: the widget may not have seen that change yet.
        if (wasFullScreen && manage_full_screen_ && normal_geometry_.isValid() && windowHandle() != nullptr) {
            windowHandle()->setGeometry(normal_geometry_);
        }
        true_full_screen = false;
        if (MyPlayer_) {
            MyPlayer_->VideoHook = false;
        }
        FullscreenTimer->stop();
        PanelControls->show();
        ArrangeControls();
    }
}

void TFormMain::SetStayOnTop(bool onTop) {
    // Set on the native window itself, which keeps it (a widget's flag change would recreate it).
    if (QWindow* window = windowHandle()) {
        window->setFlag(Qt::WindowStaysOnTopHint, onTop);
    }
}

bool TFormMain::IsMaximisedOrFullScreen() const {
    return (windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen)) != 0;
}

void TFormMain::InvalidateScreen() {
    RunIgnoringFailure("TFormMain::InvalidateScreen", [&] {
        if (MyPlayer_ && MyPlayer_->ScreenHandle() != nullptr) {
            Panel1->repaint();
        }
    });
}

void TFormMain::FormResize() {
    if (player_ok) {
        if (maximized_hint) {
            MyPlayer_->VideoHook = false;
            FullscreenTimer->stop();
        }
        if (isMaximized() && !true_full_screen) {
            MyPlayer_->VideoHook = true;
            FullscreenTimer->start();
            maximized_hint = true;
        } else {
            maximized_hint = false;
        }
        if (full_screen_entered) {
            InvalidateScreen();
            MyPlayer_->UpdateScreenPosition();
            last_width = frameGeometry().width();
            last_height = frameGeometry().height();
            MyPlayer_->VideoHook = true;
            FullscreenTimer->start(2000);
            full_screen_entered = false;
        }
        RunIgnoringFailure("TFormMain::FormResize", [&] {
            const QRect frame = frameGeometry();
            if (IsNormalState() && keep_inside_primary) {
                const QPoint inside = KeepInsidePrimary(frame.topLeft(), frame.size(), PrimaryRect());
                if (inside != frame.topLeft()) {
                    move(inside);
                }
            }
            if (frame.width() != last_width || frame.height() != last_height) {
                InvalidateScreen();
                MyPlayer_->UpdateScreenPosition();
                last_width = frame.width();
                last_height = frame.height();
            }
        });
    }
    ArrangeControls();
}

void TFormMain::FullscreenTimerTimer() {
    if (MyPlayer_) {
        MyPlayer_->VideoHook = false;
    }
}

void TFormMain::ArrangeControls() {
    if (PanelControls->isHidden()) {
        return;
    }
    BarWidths bar;
    bar.client = width();
    bar.stop = ButtonStop->width();
    bar.playOrPause = ButtonPlayOrPause->width();
    bar.open = ButtonOpen->width();
    bar.setup = ButtonSetup->width();
    bar.about = ButtonAbout->width();
    bar.sound = ButtonSound->width();
    bar.volume = PanelVolume->width();
    const BarArrangement arranged = ArrangeBar(bar);
    const int top = (PanelControls->height() - kBitmapButtonSize) / 2;
    ButtonStop->move(arranged.stopLeft, top);
    ButtonPlayOrPause->move(arranged.playOrPauseLeft, top);
    PanelDuration->setGeometry(arranged.durationLeft, top, arranged.duration, kBitmapButtonSize);
    ButtonOpen->move(arranged.openLeft, top);
    ButtonSetup->move(arranged.setupLeft, top);
    ButtonAbout->move(arranged.aboutLeft, top);
    ButtonSound->move(arranged.soundLeft, top);
    PanelVolume->move(arranged.volumeLeft, top);
    ButtonSetup->setVisible(arranged.setupAndAboutVisible);
    ButtonAbout->setVisible(arranged.setupAndAboutVisible);
    TrackBarProgress->setVisible(arranged.progressVisible);
    LabelTotalDuration->setVisible(arranged.totalVisible);
}

void TFormMain::FFPlayerVideoHook(TObject* /*Sender*/, TObject* ABitmap, const int64_t& /*APTS*/,
                                  bool& /*AUpdate*/) {
    if (auto* bitmap = dynamic_cast<TBitmap*>(ABitmap)) {
        DrawFullScreenHint(*bitmap, true_full_screen.load(std::memory_order_relaxed));
    }
}

QRect TFormMain::PrimaryRect() const {
    return {primary_left, primary_top, primary_width, primary_height};
}

bool TFormMain::IsNormalState() const {
    return (windowState() & (Qt::WindowMinimized | Qt::WindowMaximized | Qt::WindowFullScreen)) == 0;
}

void TFormMain::WindowMoved() {
    const QRect frame = frameGeometry();
    if (IsNormalState()) {
        QPoint wanted = frame.topLeft();
        if (const QScreen* shownOn = screen()) {
            wanted = SnapToEdges(frame, shownOn->availableGeometry(), kSnapBuffer);
        }
        if (keep_inside_primary) {
            wanted = KeepInsidePrimary(wanted, frame.size(), PrimaryRect());
        }
        if (wanted != frame.topLeft()) {
            move(wanted);
            return;  // the move comes back here
        }
    }
    if (player_ok && (frame.top() != last_top || frame.left() != last_left)) {
        last_top = frame.top();
        last_left = frame.left();
        RunIgnoringFailure("TFormMain::WindowMoved", [&] { MyPlayer_->UpdateScreenPosition(); });
    }
}

void TFormMain::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TFormMain::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    WindowMoved();
}

void TFormMain::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Maximising or restoring without a window manager changes no size, yet the hint must follow.
    if (event->type() == QEvent::WindowStateChange) {
        Panel1->UpdateOnScreen();
        FormResize();
    }
}

}  // namespace player
