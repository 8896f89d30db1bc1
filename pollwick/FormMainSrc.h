// The offer window: shows the offer the server described and either opens the offered page or downloads
// the installer through the download queue and runs it.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/qt/WindowMessages.h"
#include "pollwick/CheckForUpdates.h"
#include "pollwick/DownloadQueue.h"

namespace pollwick {

class TFormMain : public QWidget {
    Q_OBJECT

public:
    static constexpr int kIconCount = 7;
    static constexpr int kDesignDescriptionHeight = 82;

    // data must outlive the window; the window keeps its UI state there.
    explicit TFormMain(DisplayData& data, QWidget* parent = nullptr);
    ~TFormMain() override;

    void InitHandler();
    void applyDisplayData();
    void ButtonActionClick();
    void ButtonDismissClick();
    void TaskbarBlinkTimerTimer();
    void addDownload(const std::string& url, bool quiet);
    void LockGrid(const char* file, int line);
    void UnlockGrid(const char* file, int line);
    // Stops the queue, waits briefly for the workers and ends the application.
    void shutDown();

    // True for text that starts with "http://", "https://" or "www." in any letter case.
    static bool isValidLink(const std::string& text);
    // True only for http and https addresses: the only ones the window ever opens.
    static bool IsWebAddress(const std::string& text);
    // True for a file the system can start itself: an ELF executable or a script with a "#!" line. Any
    // other downloaded file is handed to the desktop's opener instead.
    static bool IsDirectlyRunnable(const std::string& path);
    // One of the product icons, drawn for this program; a null pixmap for an index out of range.
    static QPixmap ProductIcon(int index);

    bool Initialised() const { return initialised_; }
    DownloadQueue* Queue() { return queue_.get(); }
    int ClientWidth() const { return clientWidth_; }
    int ClientHeight() const { return clientHeight_; }

    // The controls, named as in the design.
    QLabel* ImageProductIcon;
    QLabel* LabelTopMessage;
    QLabel* LabelProductName;
    QLabel* LabelProductVersion;
    QListWidget* MemoDescription;
    QLabel* LabelProgress;
    QProgressBar* ProgressBar;
    QLabel* LabelBottomMessage;
    QCheckBox* CheckNotAgain;
    QPushButton* ButtonDismiss;
    QPushButton* ButtonAction;
    QTimer* TaskbarBlinkTimer;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    struct Anchors {
        QWidget* widget;
        bool left, top, right, bottom;
    };

    void CreateControls();
    QLabel* CreateHtmlLabel(const QRect& rect);
    void Anchor(QWidget* widget, bool left, bool top, bool right, bool bottom);
    // Resizes the client area and moves or stretches the anchored controls with it.
    void SetClientSize(int width, int height);
    void SetDescriptionItems(const std::string& content);
    void OpenLink(const QString& link);
    // Opens an address from the server, only when it is http or https.
    bool OpenWebAddress(const std::string& url);
    // Runs the downloaded installer; false when it could not be started.
    bool RunInstaller(const std::string& path);
    void CloseWindow();

    void Dispatch(const platform::WindowMessage& message);
    void DownloadQueueUpdateStatusHandler(int slot);
    void DownloadQueueDoneHandler(int slot);
    void MessageHandler_UpdateProgress(int slot, int percent);
    void MessageHandler_RunDownloadedFile(int slot);
    void MessageHandler_Stop();

    DisplayData& data_;
    std::vector<Anchors> anchors_;
    int clientWidth_ = kDesignClientWidth;
    int clientHeight_ = kDesignClientHeight;
    bool initialised_ = false;
    bool closeAllowed_ = false;
    std::mutex gridViewLock;
    std::string gridLockOwner_ = "No-one";
    platform::WindowMessageReceiver receiver_;
    // Declared after the receiver: the workers are joined before messages stop being delivered.
    std::unique_ptr<DownloadQueue> queue_;
};

}  // namespace pollwick
