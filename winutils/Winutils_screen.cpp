#include "winutils/Winutils_screen.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <string>

#include "platform/qt/MessageBox.h"
#include "winutils/ConfigurationBase.h"
#include "winutils/Winutils_debug.h"

namespace winutils {
namespace {

#ifdef WINUTILS_POLLWICK
constexpr const char* kProgramWord = "KorvantaPollwick";
#else
constexpr const char* kProgramWord = "Strevio";
#endif

constexpr size_t kMessageBufferSize = 8192;

// Drops a UTF-8 sequence that the cut left incomplete at the end.
void TrimPartialCharacter(std::string& text) {
    size_t start = text.size();
    while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) {
        --start;
    }
    if (start == 0) {
        return;
    }
    const auto lead = static_cast<unsigned char>(text[start - 1]);
    const size_t have = text.size() - (start - 1);
    size_t need = 1;
    if ((lead & 0xE0) == 0xC0) {
        need = 2;
    } else if ((lead & 0xF0) == 0xE0) {
        need = 3;
    } else if ((lead & 0xF8) == 0xF0) {
        need = 4;
    }
    if (have < need) {
        text.resize(start - 1);
    }
}

std::string FormatMessage(const char* fmt, va_list args) {
    char buffer[kMessageBufferSize];
    const int length = std::vsnprintf(buffer, sizeof buffer, fmt, args);
    if (length < 0) {
        return "";
    }
    std::string text(buffer);
    if (static_cast<size_t>(length) >= sizeof buffer) {
        TrimPartialCharacter(text);
    }
    return text;
}

void ShowBox(const std::string& key, const std::string& defaultWord, const std::string& text) {
    const std::string caption =
        std::string(kProgramWord) + " " + ConfigurationBase::GetText(key, defaultWord);
    platform::ShowMessageBox(platform::TMessageKind::Warning, caption, text, platform::TMessageButtons::Ok);
}

}  // namespace

void ShowWarningMessage(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = FormatMessage(fmt, args);
    va_end(args);
    ShowBox("MSG_WARNING", "Warning", text);
}

void ShowErrorMessage(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const std::string text = FormatMessage(fmt, args);
    va_end(args);
    ShowBox("MSG_ERROR", "Error", text);
}

}  // namespace winutils

namespace winutils {
namespace {

constexpr int kEdgeMargin = 20;

void LogRect(const char* what, const ScreenRect& r) {
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: %s: Left=%d, Top=%d, Width=%d, Height=%d", what, r.Left,
             r.Top, r.Width, r.Height);
}

void LogMonitor(size_t index, const ScreenRect& m) {
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: Monitor %d: Left=%d, Top=%d, Width=%d, Height=%d",
             static_cast<int>(index), m.Left, m.Top, m.Width, m.Height);
}

bool StrictlyInside(const ScreenRect& m, int x, int y) {
    return m.Top < y && y < m.Top + m.Height && m.Left < x && x < m.Left + m.Width;
}

// The monitor under the mouse, else the first whose top is above the form's top, else the first.
size_t ActiveMonitor(const ScreenRect& form, const std::vector<ScreenRect>& monitors, int mouseX,
                     int mouseY) {
    for (size_t i = 0; i < monitors.size(); ++i) {
        LogMonitor(i, monitors[i]);
        if (StrictlyInside(monitors[i], mouseX, mouseY)) {
            DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: This is our active monitor");
            return i;
        }
    }
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: Didn't find monitor matching mouse position");
    for (size_t i = 0; i < monitors.size(); ++i) {
        LogMonitor(i, monitors[i]);
        if (monitors[i].Top < form.Top) {
            DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: This is our active monitor");
            return i;
        }
    }
    return 0;
}

void LogActive(size_t index, const ScreenRect& m) {
    DebugLog(DEBUG_GENERAL,
             "PositionOnActiveMonitor: Active Monitor %d: Left=%d, Top=%d, Width=%d, Height=%d",
             static_cast<int>(index), m.Left, m.Top, m.Width, m.Height);
}

// Brings a form that lies a whole monitor away back onto it.
void FirstAdjustments(ScreenRect& f, const ScreenRect& m) {
    if (f.Top < m.Top) {
        f.Top += m.Height;
    }
    if (m.Top + m.Height < f.Top) {
        f.Top -= m.Height;
    }
    if (f.Left < m.Left) {
        f.Left += m.Width;
    }
    if (m.Left + m.Width < f.Left) {
        f.Left -= m.Width;
    }
    LogRect("After first adjustments: Form", f);
}

void SecondAdjustments(ScreenRect& f, const ScreenRect& m) {
    if (f.Top + f.Height > m.Top + m.Height || f.Top < m.Top) {
        DebugLog(DEBUG_GENERAL,
                 "PositionOnActiveMonitor: Form is outside screen at bottom or top. Adjust so top is OK");
        f.Top = m.Top + kEdgeMargin;
    }
    if (f.Left + f.Width >= m.Left + m.Width || f.Left < m.Left) {
        DebugLog(
            DEBUG_GENERAL,
            "PositionOnActiveMonitor: Form is outside screen at left or right. Adjust so left side is OK");
        f.Left = m.Left + kEdgeMargin;
    }
    LogRect("After second adjustments: Form", f);
}

void Centre(ScreenRect& f, const ScreenRect& m) {
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: Must center window");
    f.Top = m.Top + (m.Height - f.Height) / 2;
    f.Left = m.Left + (m.Width - f.Width) / 2;
    LogRect("After centering: Form", f);
}

void CutToMonitor(ScreenRect& f, const ScreenRect& m) {
    if (f.Top + f.Height > m.Top + m.Height) {
        DebugLog(DEBUG_GENERAL,
                 "PositionOnActiveMonitor: Form height+form top is higher than screen. Adjusting.");
        f.Height = m.Top + m.Height - f.Top - kEdgeMargin;
    }
    if (f.Left + f.Width > m.Left + m.Width) {
        DebugLog(DEBUG_GENERAL,
                 "PositionOnActiveMonitor: Form left+form width is wider than screen. Adjusting.");
        f.Width = m.Left + m.Width - f.Left - kEdgeMargin;
    }
    LogRect("After last adjustments: Form", f);
}

}  // namespace

ScreenRect PlaceOnActiveMonitor(ScreenRect form, const std::vector<ScreenRect>& monitors, int mouseX,
                                int mouseY, bool centre) {
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: BEGIN");
    LogRect("Form", form);
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: MonitorCount: %d", static_cast<int>(monitors.size()));
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: Mouse: x=%d, y=%d", mouseX, mouseY);
    const size_t active = ActiveMonitor(form, monitors, mouseX, mouseY);
    if (active >= monitors.size()) {
        // No monitor to place on: the fixed fall-back position.
        form.Top = kEdgeMargin;
        form.Left = kEdgeMargin;
    } else {
        const ScreenRect& m = monitors[active];
        LogActive(active, m);
        FirstAdjustments(form, m);
        SecondAdjustments(form, m);
        if (centre) {
            Centre(form, m);
        }
        CutToMonitor(form, m);
        LogActive(active, m);
    }
    LogRect("FINAL Form", form);
    DebugLog(DEBUG_GENERAL, "PositionOnActiveMonitor: END");
    return form;
}

std::vector<ScreenRect> MonitorRects() {
    std::vector<ScreenRect> rects;
    if (QGuiApplication::instance() == nullptr) {
        return rects;
    }
    for (const QScreen* screen : QGuiApplication::screens()) {
        const QRect g = screen->geometry();
        ScreenRect r{g.x(), g.y(), g.width(), g.height()};
        if (screen == QGuiApplication::primaryScreen()) {
            rects.insert(rects.begin(), r);
        } else {
            rects.push_back(r);
        }
    }
    return rects;
}

void PositionOnActiveMonitor(QWidget* form, bool centre) {
    if (form == nullptr) {
        return;
    }
    const QRect frame = form->frameGeometry();
    const QPoint mouse = QCursor::pos();
    const ScreenRect placed = PlaceOnActiveMonitor({frame.x(), frame.y(), frame.width(), frame.height()},
                                                   MonitorRects(), mouse.x(), mouse.y(), centre);
    // The size is the frame's; the client area shrinks by the frame's borders.
    const int borderWidth = frame.width() - form->width();
    const int borderHeight = frame.height() - form->height();
    form->move(placed.Left, placed.Top);
    if (placed.Width != frame.width() || placed.Height != frame.height()) {
        form->resize(std::max(0, placed.Width - borderWidth), std::max(0, placed.Height - borderHeight));
    }
}

int GetColorDepth() {
    if (QGuiApplication::instance() == nullptr) {
        return -1;
    }
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen != nullptr ? screen->depth() : -1;
}

}  // namespace winutils
