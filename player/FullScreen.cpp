#include "player/FullScreen.h"

#include <QApplication>
#include <QEvent>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QKeyEvent>
#include <QPainter>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <algorithm>

#include "engine/Bitmap.h"
#include "platform/qt/WindowMessages.h"

namespace player {

namespace {

constexpr unsigned kLeaveFullScreen = 2028;
constexpr unsigned kToggleFullScreen = 2029;

// Sees every key press of the application once: on its way into the window it was typed in, before any
// widget (and any dialog's own handling) gets it.
class KeyboardHookProc : public QObject {
public:
    explicit KeyboardHookProc(QWidget* mainWindow) : main_window_(mainWindow) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !watched->isWindowType()) {
            return false;
        }
        const auto* key = static_cast<const QKeyEvent*>(event);
        if (key->isAutoRepeat() || !main_window_) {
            return false;
        }
        if (key->key() == Qt::Key_Escape) {
            platform::PostMessage(main_window_, kLeaveFullScreen);
        } else if (key->key() == Qt::Key_F11) {
            platform::PostMessage(main_window_, kToggleFullScreen);
        }
        return false;
    }

private:
    QPointer<QWidget> main_window_;
};

// The hook handle: owned by the application object, so it ends with it.
QPointer<KeyboardHookProc> g_hook;

}  // namespace

void InstallKeyboardHook(QWidget* mainWindow) {
    if (g_hook || qApp == nullptr) {
        return;
    }
    g_hook = new KeyboardHookProc(mainWindow);
    g_hook->setParent(qApp);
    qApp->installEventFilter(g_hook);
}

bool KeyboardHookInstalled() {
    return !g_hook.isNull();
}

QString FullScreenHintText(bool trueFullScreen) {
    return trueFullScreen ? QStringLiteral("Press ESC to exit full screen mode")
                          : QStringLiteral("Press F11 for true full screen mode");
}

void DrawFullScreenHint(TBitmap& bitmap, bool trueFullScreen) {
    QImage::Format format = QImage::Format_Invalid;
    if (bitmap.PixelFormat() == pf32bit) {
        format = QImage::Format_RGB32;
    } else if (bitmap.PixelFormat() == pf24bit) {
        format = QImage::Format_BGR888;
    }
    if (format == QImage::Format_Invalid || bitmap.Bits() == nullptr) {
        return;
    }
    QImage image(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.BytesPerLine(), format);
    QPainter painter(&image);
    QFont font(QStringLiteral("Tahoma"));
    font.setPixelSize(16);  // 12 pt on a 96 dpi screen
    font.setBold(true);
    font.setUnderline(true);
    painter.setFont(font);
    painter.setPen(QColor(255, 255, 255));
    const QFontMetrics metrics(font);
    // The text's top edge stands at the given point.
    painter.drawText(QPoint(10, bitmap.Height() - 20 + metrics.ascent()), FullScreenHintText(trueFullScreen));
}

PrimaryLimit RecomputePrimaryLimit(const std::vector<MonitorInfo>& monitors, bool useDirectDraw,
                                   QRect previous) {
    PrimaryLimit limit{monitors.size() > 1 && useDirectDraw, previous};
    if (limit.keepInside) {
        const auto primary =
            std::find_if(monitors.begin(), monitors.end(), [](const MonitorInfo& m) { return m.primary; });
        if (primary != monitors.end()) {
            limit.primary = primary->rect;
        }
    }
    return limit;
}

QPoint KeepInsidePrimary(QPoint position, QSize size, const QRect& primary) {
    QPoint p = position;
    if (p.x() < primary.left()) {
        p.setX(primary.left());
    }
    if (p.x() + size.width() > primary.left() + primary.width()) {
        p.setX(primary.left() + primary.width() - size.width());
    }
    if (p.y() < primary.top()) {
        p.setY(primary.top());
    }
    if (p.y() + size.height() > primary.top() + primary.height()) {
        p.setY(primary.top() + primary.height() - size.height());
    }
    return p;
}

BarArrangement ArrangeBar(const BarWidths& bar) {
    BarArrangement result;
    result.setupAndAboutVisible = bar.setupAndAboutVisible;
    const int fixed = bar.stop + bar.playOrPause + bar.open + bar.setup + bar.about + bar.sound + bar.volume;
    if (bar.setupAndAboutVisible && bar.client < fixed + bar.duration) {
        result.setupAndAboutVisible = false;
    } else if (!bar.setupAndAboutVisible && bar.client >= fixed + kBarSlack) {
        result.setupAndAboutVisible = true;
    }
    int others = bar.stop + bar.playOrPause + bar.open + bar.sound + bar.volume;
    if (result.setupAndAboutVisible) {
        others += bar.setup + bar.about;
    }
    result.duration = bar.client - others;
    result.progressVisible = result.duration >= kProgressShownFrom;
    result.totalVisible = result.duration > kTotalShownAbove;
    return result;
}

}  // namespace player
