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
#include <cstdlib>

#include "engine/base/Bitmap.h"
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

    void Rebind(QWidget* mainWindow) {
        if (!main_window_) {
            main_window_ = mainWindow;
        }
    }

private:
    QPointer<QWidget> main_window_;
};

// The hook handle: owned by the application object, so it ends with it.
QPointer<KeyboardHookProc> g_hook;

}  // namespace

void InstallKeyboardHook(QWidget* mainWindow) {
    if (qApp == nullptr) {
        return;
    }
    if (g_hook) {
        // Installed once; a main window made after the first one was gone takes the keys over.
        g_hook->Rebind(mainWindow);
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

QSize VideoClientSize(QSize frame, int barHeight, QSize border, QSize workArea, QSize minimum) {
    QSize video(0, 0);
    if (frame.width() > 0 && frame.height() > 0) {
        const double roomWidth = workArea.width() - border.width();
        const double roomHeight = workArea.height() - border.height() - barHeight;
        const double scale = std::min({1.0, roomWidth / frame.width(), roomHeight / frame.height()});
        video = QSize(std::max(0, static_cast<int>(frame.width() * scale)),
                      std::max(0, static_cast<int>(frame.height() * scale)));
    }
    return {std::max(minimum.width(), video.width()), std::max(minimum.height(), video.height() + barHeight)};
}

QPoint PlaceInside(const QRect& window, const QRect& area) {
    const int x = std::max(area.left(), std::min(window.left(), area.left() + area.width() - window.width()));
    const int y = std::max(area.top(), std::min(window.top(), area.top() + area.height() - window.height()));
    return {x, y};
}

QPoint SnapToEdges(const QRect& window, const QRect& area, int buffer) {
    auto snap = [buffer](int start, int length, int areaStart, int areaLength) {
        if (std::abs(start - areaStart) <= buffer) {
            return areaStart;
        }
        if (std::abs(start + length - (areaStart + areaLength)) <= buffer) {
            return areaStart + areaLength - length;
        }
        return start;
    };
    return {snap(window.left(), window.width(), area.left(), area.width()),
            snap(window.top(), window.height(), area.top(), area.height())};
}

BarArrangement ArrangeBar(const BarWidths& bar) {
    BarArrangement result;
    const int withoutSetupAndAbout = bar.stop + bar.playOrPause + bar.open + bar.sound + bar.volume;
    result.setupAndAboutVisible = bar.client >= withoutSetupAndAbout + bar.setup + bar.about + kBarSlack;
    const int others = withoutSetupAndAbout + (result.setupAndAboutVisible ? bar.setup + bar.about : 0);
    result.duration = std::max(0, bar.client - others);
    result.progressVisible = result.duration >= kProgressShownFrom;
    result.totalVisible = result.duration > kTotalShownAbove;

    // Left to right in the bar's order; hidden buttons take no room.
    int x = 0;
    auto place = [&x](int width) {
        const int left = x;
        x += width;
        return left;
    };
    result.stopLeft = place(bar.stop);
    result.playOrPauseLeft = place(bar.playOrPause);
    result.durationLeft = place(result.duration);
    result.openLeft = place(bar.open);
    result.setupLeft = place(result.setupAndAboutVisible ? bar.setup : 0);
    result.aboutLeft = place(result.setupAndAboutVisible ? bar.about : 0);
    result.soundLeft = place(bar.sound);
    result.volumeLeft = place(bar.volume);
    return result;
}

}  // namespace player

// Xlib comes last in this file: its macros would break the Qt headers and code above.
#include <QtGui/qguiapplication_platform.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace player {

bool WindowManagerPresent() {
    auto* guiApp = qobject_cast<QGuiApplication*>(QCoreApplication::instance());
    auto* x11 = guiApp != nullptr ? guiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    Display* display = x11 != nullptr ? x11->display() : nullptr;
    if (display == nullptr) {
        return false;
    }
    // A window manager that follows the desktop conventions names its check window on the root window.
    // Only the root window and its list of children are asked, so no X error can come of a stale name.
    const Atom check = XInternAtom(display, "_NET_SUPPORTING_WM_CHECK", True);
    if (check == None) {
        return false;
    }
    const Window root = DefaultRootWindow(display);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    Window checkWindow = None;
    if (XGetWindowProperty(display, root, check, 0, 1, False, XA_WINDOW, &type, &format, &items, &after, &data) ==
            Success &&
        data != nullptr) {
        if (type == XA_WINDOW && format == 32 && items == 1) {
            checkWindow = *reinterpret_cast<Window*>(data);
        }
        XFree(data);
    }
    if (checkWindow == None) {
        return false;
    }
    Window rootReturn = None;
    Window parent = None;
    Window* children = nullptr;
    unsigned count = 0;
    bool alive = false;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) != 0) {
        alive = std::find(children, children + count, checkWindow) != children + count;
        XFree(children);
    }
    return alive;
}

}  // namespace player
