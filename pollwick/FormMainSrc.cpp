#include "pollwick/FormMainSrc.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QPainter>
#include <QPainterPath>
#include <QThread>
#include <QUrl>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/Processes.h"
#include "pollwick/Configuration.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_screen.h"
#include "winutils/Winutils_string.h"

namespace pollwick {

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DEBUG_GRID_LOCK;
using winutils::DebugLog;

constexpr int kAfterStartMs = 500;
constexpr int kBlinkDelayMs = 3000;
constexpr int kShutdownRounds = 15;
constexpr int kShutdownRoundMs = 100;
constexpr int kItemHeight = 16;

QString Q(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Colours of the product icons, one per index.
const QColor kIconColours[TFormMain::kIconCount] = {
    QColor(0x2e, 0x7d, 0x32), QColor(0x15, 0x65, 0xc0), QColor(0xc6, 0x28, 0x28), QColor(0xef, 0x6c, 0x00),
    QColor(0x6a, 0x1b, 0x9a), QColor(0x00, 0x83, 0x8f), QColor(0x45, 0x5a, 0x64)};

}  // namespace

TFormMain::TFormMain(DisplayData& data, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint),
      data_(data),
      receiver_(this, [this](const platform::WindowMessage& message) { Dispatch(message); }) {
    setWindowTitle("Plumbrook Update Available!");
    QFont font = this->font();
    font.setPointSize(8);
    setFont(font);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    resize(kDesignClientWidth, kDesignClientHeight);
    CreateControls();
    LabelProgress->hide();
    ProgressBar->hide();
    platform::PostMessage(this, kMsgInit, 0, 0);
}

TFormMain::~TFormMain() = default;

QLabel* TFormMain::CreateHtmlLabel(const QRect& rect) {
    auto* label = new QLabel(this);
    label->setGeometry(rect);
    label->setTextFormat(Qt::RichText);
    label->setOpenExternalLinks(false);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    connect(label, &QLabel::linkActivated, this, &TFormMain::OpenLink);
    return label;
}

void TFormMain::Anchor(QWidget* widget, bool left, bool top, bool right, bool bottom) {
    anchors_.push_back({widget, left, top, right, bottom});
}

void TFormMain::CreateControls() {
    ImageProductIcon = new QLabel(this);
    ImageProductIcon->setGeometry(16, 52, 32, 32);
    Anchor(ImageProductIcon, true, true, false, false);

    LabelTopMessage = CreateHtmlLabel(QRect(16, 16, 561, 13));
    Anchor(LabelTopMessage, true, true, true, false);
    LabelProductName = CreateHtmlLabel(QRect(64, 52, 513, 13));
    Anchor(LabelProductName, true, true, true, false);
    LabelProductVersion = CreateHtmlLabel(QRect(64, 71, 513, 13));
    Anchor(LabelProductVersion, true, true, true, false);

    MemoDescription = new QListWidget(this);
    MemoDescription->setGeometry(64, 96, 513, kDesignDescriptionHeight);
    MemoDescription->setSelectionMode(QAbstractItemView::NoSelection);
    MemoDescription->setFocusPolicy(Qt::NoFocus);
    MemoDescription->setSortingEnabled(false);
    Anchor(MemoDescription, true, true, true, true);

    LabelProgress = new QLabel(this);
    LabelProgress->setGeometry(64, 187, 513, 13);
    LabelProgress->setTextFormat(Qt::PlainText);
    Anchor(LabelProgress, true, false, true, true);

    ProgressBar = new QProgressBar(this);
    ProgressBar->setGeometry(64, 204, 513, 17);
    ProgressBar->setRange(0, 100);
    ProgressBar->setValue(0);
    ProgressBar->setTextVisible(false);
    Anchor(ProgressBar, true, false, true, true);

    LabelBottomMessage = CreateHtmlLabel(QRect(64, 236, 513, 13));
    Anchor(LabelBottomMessage, true, false, true, true);

    CheckNotAgain = new QCheckBox("Don't remind me of this update again", this);
    CheckNotAgain->setGeometry(16, 267, 229, 17);
    CheckNotAgain->hide();
    Anchor(CheckNotAgain, true, false, false, true);

    ButtonDismiss = new QPushButton("Remind me later", this);
    ButtonDismiss->setGeometry(324, 263, 120, 25);
    ButtonDismiss->setFocusPolicy(Qt::NoFocus);
    QPalette grey = ButtonDismiss->palette();
    grey.setColor(QPalette::ButtonText, Qt::gray);
    ButtonDismiss->setPalette(grey);
    connect(ButtonDismiss, &QPushButton::clicked, this, &TFormMain::ButtonDismissClick);
    Anchor(ButtonDismiss, false, false, true, true);

    ButtonAction = new QPushButton("Update Now", this);
    ButtonAction->setGeometry(457, 263, 120, 25);
    QFont bold = ButtonAction->font();
    bold.setBold(true);
    ButtonAction->setFont(bold);
    connect(ButtonAction, &QPushButton::clicked, this, &TFormMain::ButtonActionClick);
    Anchor(ButtonAction, false, false, true, true);

    TaskbarBlinkTimer = new QTimer(this);
    TaskbarBlinkTimer->setInterval(kBlinkDelayMs);
    connect(TaskbarBlinkTimer, &QTimer::timeout, this, &TFormMain::TaskbarBlinkTimerTimer);
    TaskbarBlinkTimer->start();
}

void TFormMain::SetClientSize(int width, int height) {
    const int dw = width - clientWidth_;
    const int dh = height - clientHeight_;
    for (const Anchors& a : anchors_) {
        QRect r = a.widget->geometry();
        if (a.right && a.left) {
            r.setWidth(r.width() + dw);
        } else if (a.right) {
            r.moveLeft(r.left() + dw);
        }
        if (a.bottom && a.top) {
            r.setHeight(r.height() + dh);
        } else if (a.bottom) {
            r.moveTop(r.top() + dh);
        }
        a.widget->setGeometry(r);
    }
    clientWidth_ = width;
    clientHeight_ = height;
    setFixedSize(width, height);
}

void TFormMain::InitHandler() {
    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: BEGIN");
    winutils::StartDebugLog();
    try {
        // A cancelled download keeps its bar at 0, whatever the worker reports at its end.
        queue_ = std::make_unique<DownloadQueue>(this, [this] {
            if (data_.uiState != DisplayData::kCancelled) {
                ProgressBar->setValue(100);
            }
        });
    } catch (const std::exception&) {
        winutils::ShowWarningMessage(
            "%s",
            "Could not initialize DownloadQueue object - OUT OF MEMORY. Please free some resources by "
            "stopping other applications and then try again");
        shutDown();
        return;
    }
    applyDisplayData();
    initialised_ = true;
    DebugLog(DEBUG_GENERAL, "TFormMain::InitHandler: END");
}

void TFormMain::SetDescriptionItems(const std::string& content) {
    MemoDescription->clear();
    std::istringstream lines(content);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        auto* item = new QListWidgetItem(MemoDescription);
        auto* label = new QLabel;
        label->setTextFormat(Qt::RichText);
        label->setOpenExternalLinks(false);
        label->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
        label->setText(Q(line));
        connect(label, &QLabel::linkActivated, this, &TFormMain::OpenLink);
        item->setSizeHint(QSize(0, std::max(kItemHeight, label->sizeHint().height())));
        MemoDescription->setItemWidget(item, label);
    }
}

void TFormMain::applyDisplayData() {
    const auto setIfGiven = [](const std::string& text, auto&& apply) {
        if (!text.empty()) {
            apply(Q(text));
        }
    };
    setIfGiven(data_.caption, [this](const QString& t) { setWindowTitle(t); });
    setIfGiven(data_.topMessage, [this](const QString& t) { LabelTopMessage->setText(t); });
    setIfGiven(data_.productName, [this](const QString& t) { LabelProductName->setText(t); });
    setIfGiven(data_.versionText, [this](const QString& t) { LabelProductVersion->setText(t); });
    setIfGiven(data_.bottomMessage, [this](const QString& t) { LabelBottomMessage->setText(t); });
    setIfGiven(data_.checkBoxCaption, [this](const QString& t) { CheckNotAgain->setText(t); });
    setIfGiven(data_.actionCaption, [this](const QString& t) { ButtonAction->setText(t); });
    setIfGiven(data_.dismissCaption, [this](const QString& t) { ButtonDismiss->setText(t); });

    LabelBottomMessage->setVisible(data_.bottomMessageVisible);
    CheckNotAgain->setVisible(data_.checkBoxVisible);
    LabelProductName->setVisible(data_.productNameVisible);
    LabelProductVersion->setVisible(data_.versionTextVisible);

    SetDescriptionItems(data_.content);
    if (data_.iconIndex >= 0 && data_.iconIndex < kIconCount) {
        ImageProductIcon->setPixmap(ProductIcon(data_.iconIndex));
    }

    const auto given = [](int value, auto&& apply) {
        if (value != -1) {
            apply(value);
        }
    };
    QRect r = ButtonAction->geometry();
    given(data_.actionWidth, [&](int v) { r.setWidth(v); });
    given(data_.actionHeight, [&](int v) { r.setHeight(v); });
    given(data_.actionTop, [&](int v) { r.moveTop(v); });
    given(data_.actionLeft, [&](int v) { r.moveLeft(v); });
    ButtonAction->setGeometry(r);
    r = ButtonDismiss->geometry();
    given(data_.dismissWidth, [&](int v) { r.setWidth(v); });
    given(data_.dismissHeight, [&](int v) { r.setHeight(v); });
    given(data_.dismissTop, [&](int v) { r.moveTop(v); });
    given(data_.dismissLeft, [&](int v) { r.moveLeft(v); });
    ButtonDismiss->setGeometry(r);
    r = MemoDescription->geometry();
    given(data_.descriptionTop, [&](int v) { r.moveTop(v); });
    given(data_.descriptionLeft, [&](int v) { r.moveLeft(v); });
    given(data_.descriptionWidth, [&](int v) { r.setWidth(v); });
    if (data_.descriptionHeight != -1) {
        r.setHeight(data_.descriptionHeight);
    } else {
        const QRect bar = ProgressBar->geometry();
        r.setHeight(std::max(0, bar.top() + bar.height() - r.top()));
    }
    MemoDescription->setGeometry(r);

    // The window is never smaller than its design size.
    const int height =
        data_.clientHeight != -1 ? std::max(data_.clientHeight, kDesignClientHeight) : clientHeight_;
    const int width =
        data_.clientWidth != -1 ? std::max(data_.clientWidth, kDesignClientWidth) : clientWidth_;
    SetClientSize(clientWidth_, height);
    SetClientSize(width, height);
    winutils::PositionOnActiveMonitor(this, true);
}

bool TFormMain::isValidLink(const std::string& text) {
    const std::string lower = winutils::LowerCase(text);
    return lower.starts_with("http://") || lower.starts_with("https://") || lower.starts_with("www.");
}

bool TFormMain::IsWebAddress(const std::string& text) {
    const QUrl url(Q(text), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

QPixmap TFormMain::ProductIcon(int index) {
    if (index < 0 || index >= kIconCount) {
        return {};
    }
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::white);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kIconColours[index]);
    p.drawRoundedRect(QRectF(2, 2, 28, 28), 6, 6);
    // A downward arrow into a tray: "an update to fetch"; a dot per index tells the icons apart.
    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(13, 7);
    arrow.lineTo(19, 7);
    arrow.lineTo(19, 15);
    arrow.lineTo(23, 15);
    arrow.lineTo(16, 22);
    arrow.lineTo(9, 15);
    arrow.lineTo(13, 15);
    arrow.closeSubpath();
    p.drawPath(arrow);
    p.drawRect(QRectF(8, 24, 16, 2));
    for (int dot = 0; dot < index; ++dot) {
        p.drawEllipse(QRectF(4 + dot * 4, 4, 2.5, 2.5));
    }
    return pixmap;
}

void TFormMain::OpenLink(const QString& link) {
    OpenWebAddress(link.toStdString());
}

bool TFormMain::OpenWebAddress(const std::string& url) {
    if (!IsWebAddress(url)) {
        DebugLog(DEBUG_GENERAL, "TFormMain: refused to open a non-web address");
        return false;
    }
    return platform::ShellOpen(url);
}

bool TFormMain::IsDirectlyRunnable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    in.read(head, sizeof head);
    const std::string start(head, static_cast<size_t>(in.gcount()));
    return start == std::string("\x7f" "ELF", 4) || start.rfind("#!", 0) == 0;
}

bool TFormMain::RunInstaller(const std::string& path) {
    std::error_code ec;
    if (!fs::is_regular_file(fs::symlink_status(path, ec))) {
        return false;
    }
    if (!IsDirectlyRunnable(path)) {
        // A package, an archive or a document: opened the way the desktop opens that kind of file.
        DebugLog(DEBUG_GENERAL, "TFormMain::RunInstaller: opening [%s]", path.c_str());
        return platform::ShellOpen(path);
    }
    fs::permissions(path, fs::perms::owner_exec | fs::perms::owner_read, fs::perm_options::add, ec);
    if (ec) {
        return false;
    }
    DebugLog(DEBUG_GENERAL, "TFormMain::RunInstaller: starting [%s]", path.c_str());
    return platform::StartProgram({path});
}

void TFormMain::CloseWindow() {
    closeAllowed_ = true;
    close();
}

void TFormMain::closeEvent(QCloseEvent* event) {
    // The title bar's close is disabled: the offer ends through its buttons only.
    if (closeAllowed_) {
        // Nothing may keep downloading for a window that is gone; the workers are joined with the queue.
        if (queue_) {
            queue_->stopDownloads(true);
        }
        event->accept();
    } else {
        event->ignore();
    }
}

void TFormMain::ButtonActionClick() {
    switch (data_.uiState) {
        case DisplayData::kIdle:
            data_.uiState = DisplayData::kDownloading;
            if (data_.downloadInWindow) {
                QRect r = MemoDescription->geometry();
                r.setHeight(data_.descriptionHeightDownloading != -1 ? data_.descriptionHeightDownloading
                                                                     : kDesignDescriptionHeight);
                MemoDescription->setGeometry(r);
                ButtonDismiss->hide();
                LabelProgress->show();
                ProgressBar->show();
                addDownload(data_.targetUrl, false);
                ButtonAction->setText("Cancel");
            } else {
                OpenWebAddress(data_.targetUrl);
                SleepMs(kAfterStartMs);
                CloseWindow();
            }
            break;
        case DisplayData::kDownloading:
            data_.uiState = DisplayData::kCancelled;
            if (queue_) {
                queue_->stopDownloads(true);
            }
            ProgressBar->setValue(0);
            LabelProgress->setText("Cancelled");
            ButtonAction->setText("Close");
            break;
        default:
            CloseWindow();
            break;
    }
}

void TFormMain::ButtonDismissClick() {
    if (CheckNotAgain->isChecked() && config) {
        if (data_.adShown && data_.offeredVersion.empty()) {
            config->no_ads = true;
        } else {
            config->ignore_version = data_.offeredVersion;
        }
        config->savePersistentState();
    }
    CloseWindow();
}

void TFormMain::TaskbarBlinkTimerTimer() {
    QApplication::alert(this, 0);
    TaskbarBlinkTimer->stop();
}

void TFormMain::addDownload(const std::string& url, bool quiet) {
    if (!isValidLink(url)) {
        if (!quiet) {
            winutils::ShowErrorMessage("%s is not a valid link.", url.c_str());
        }
        return;
    }
    LockGrid(__FILE__, __LINE__);
    try {
        auto item = std::make_shared<MyVideo>();
        item->id = 1;
        item->url = url;
        item->saveAsFileName = data_.saveAsFileName;
        if (queue_) {
            queue_->addSite(item);
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "TFormMain::addDownload: EXCEPTION %s", e.what());
    }
    UnlockGrid(__FILE__, __LINE__);
}

void TFormMain::LockGrid(const char* file, int line) {
    gridViewLock.lock();
    std::ostringstream owner;
    owner << file << ":" << line << ", thread: " << std::this_thread::get_id();
    gridLockOwner_ = owner.str();
    DebugLog(DEBUG_GRID_LOCK, "TFormMain::LockGrid: %s", gridLockOwner_.c_str());
}

void TFormMain::UnlockGrid(const char* file, int line) {
    gridLockOwner_ = "No-one";
    gridViewLock.unlock();
    DebugLog(DEBUG_GRID_LOCK, "TFormMain::UnlockGrid: %s:%d", file, line);
}

void TFormMain::shutDown() {
    if (queue_) {
        queue_->stopDownloads(true);
        for (int round = 0; round < kShutdownRounds && !queue_->AllWorkersSuspended(); ++round) {
            DebugLog(DEBUG_GENERAL, "TFormMain::shutDown: Still running threads ...");
            SleepMs(kShutdownRoundMs);
        }
    }
    DebugLog(DEBUG_GENERAL, "TFormMain::shutDown: ===== TERMINATE APPLICATION =====");
    CloseWindow();
    QCoreApplication::quit();
}

void TFormMain::Dispatch(const platform::WindowMessage& m) {
    const int slot = static_cast<int>(m.wParam);
    switch (m.msg) {
        case kMsgInit:
            InitHandler();
            break;
        case kMsgStop:
            MessageHandler_Stop();
            break;
        case kMsgStatusChanged:
            DownloadQueueUpdateStatusHandler(slot);
            break;
        case kMsgJobFinished:
            DownloadQueueDoneHandler(slot);
            break;
        case kMsgWaitingCount:
            DebugLog(DEBUG_GENERAL, "TFormMain::MessageHandler_SetStopState: - NOT USED");
            break;
        case kMsgActiveDownloadCount:
            DebugLog(DEBUG_GENERAL, "TFormMain::MessageHandler_ShowActiveDownloadCount: Not used");
            break;
        case kMsgProgress:
            MessageHandler_UpdateProgress(slot, static_cast<int>(m.lParam));
            break;
        case kMsgRunDownloadedFile:
            MessageHandler_RunDownloadedFile(slot);
            break;
        default:
            break;
    }
}

void TFormMain::MessageHandler_Stop() {
    if (queue_) {
        queue_->stopDownloads(false);
    }
}

void TFormMain::DownloadQueueUpdateStatusHandler(int slot) {
    DownloadQueueThreadInfo* info = queue_ ? queue_->Info(slot) : nullptr;
    if (!info) {
        DebugLog(DEBUG_GENERAL, "TFormMain::DownloadQueueUpdateStatusHandler: no worker %d", slot);
        return;
    }
    if (data_.uiState != DisplayData::kCancelled) {
        LabelProgress->setText(Q(info->locked_getStatusMsg()));
    }
    SleepMs(kAfterStartMs);
}

void TFormMain::DownloadQueueDoneHandler(int slot) {
    if (data_.uiState == DisplayData::kCancelled) {
        DebugLog(DEBUG_GENERAL, "TFormMain::DownloadQueueDoneHandler: END - No further handling, cancelled.");
        return;
    }
    data_.uiState = DisplayData::kDone;
    ButtonAction->setText("Close");
    if (queue_ && queue_->Info(slot)) {
        platform::PostMessage(this, kMsgRunDownloadedFile, slot, 0);
    }
}

void TFormMain::MessageHandler_UpdateProgress(int slot, int percent) {
    if (!queue_ || !queue_->Info(slot)) {
        DebugLog(DEBUG_GENERAL, "TFormMain::MessageHandler_UpdateProgress: no worker %d", slot);
        return;
    }
    ProgressBar->setValue(data_.uiState == DisplayData::kCancelled ? 0 : std::clamp(percent, 0, 100));
}

void TFormMain::MessageHandler_RunDownloadedFile(int slot) {
    DownloadQueueThreadInfo* info = queue_ ? queue_->Info(slot) : nullptr;
    if (!info) {
        DebugLog(DEBUG_GENERAL, "TFormMain::MessageHandler_RunDownloadedFile: no worker %d", slot);
        return;
    }
    if (data_.uiState == DisplayData::kCancelled) {
        return;
    }
    const std::string file = info->locked_getSavedAsFilename();
    const bool ok = info->locked_getOK();
    info->locked_cleanupAllocatedData();
    std::error_code ec;
    // Only a download that passed every check of the worker and its downloader is ever run.
    if (!file.empty() && fs::exists(file, ec) && ok) {
        ButtonAction->setEnabled(false);
        if (RunInstaller(file)) {
            SleepMs(kAfterStartMs);
            CloseWindow();
            return;
        }
        ButtonAction->setEnabled(true);
        // The worker said "Done"; the window must not keep saying so.
        LabelProgress->setText("Error: Could not start the downloaded installer.");
    }
    data_.uiState = DisplayData::kFailed;
    DebugLog(DEBUG_GENERAL, "TFormMain::MessageHandler_RunDownloadedFile: Download not OK");
    if (!data_.fallbackUrl.empty()) {
        ButtonAction->setEnabled(false);
        OpenWebAddress(data_.fallbackUrl);
        SleepMs(kAfterStartMs);
        CloseWindow();
    }
}

}  // namespace pollwick
