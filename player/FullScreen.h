// The player window's full screen and geometry rules: the application-wide keys F11 and ESC, the hint
// drawn into the video frames, keeping the window inside the primary monitor and laying out the bar.
#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <vector>

class QObject;
class QWidget;
class TBitmap;

namespace player {

// Installs, once per application, the filter that turns a press of ESC into message 2028 and of F11
// into message 2029 to mainWindow, whatever window or control has the focus (also in modal dialogs).
// Auto-repeats are ignored and the keys are not swallowed. The filter is never removed.
void InstallKeyboardHook(QWidget* mainWindow);
// True once the filter is installed.
bool KeyboardHookInstalled();

// True when a window manager runs on the X server (and so acts on a window's full-screen state).
bool WindowManagerPresent();

// The hint's text.
QString FullScreenHintText(bool trueFullScreen);
// Draws the hint at 10, height - 20 in white bold underlined "Tahoma" 12 pt onto a 24- or 32-bit bitmap.
// The caller holds the bitmap's drawing lock (the engine's video hook does). Safe on any thread: it
// touches no widget.
void DrawFullScreenHint(TBitmap& bitmap, bool trueFullScreen);

struct MonitorInfo {
    QRect rect;
    bool primary = false;
};

struct PrimaryLimit {
    bool keepInside = false;
    QRect primary;  // kept as it was when no monitor is primary
};

// Whether the window must stay inside the primary monitor, and that monitor's rectangle.
PrimaryLimit RecomputePrimaryLimit(const std::vector<MonitorInfo>& monitors, bool useDirectDraw,
                                   QRect previous);

// A window at `position` of `size` pushed inside `primary`: first off the left and top edges, then back
// from the right and bottom ones.
QPoint KeepInsidePrimary(QPoint position, QSize size, const QRect& primary);

// The client size for a video of `frame` pixels (none when not positive): the picture's size scaled down,
// aspect kept, until the window (its border and the bar included) fits `workArea`, and never below
// `minimum`.
QSize VideoClientSize(QSize frame, int barHeight, QSize border, QSize workArea, QSize minimum);

// The top-left corner that puts `window` inside `area`; a window larger than the area keeps its top-left
// corner on the area's.
QPoint PlaceInside(const QRect& window, const QRect& area);

// Screen snapping: a window that comes within `buffer` pixels of an edge of `area` (from either side)
// is put onto that edge. The left and top edges win over the right and bottom ones.
inline constexpr int kSnapBuffer = 10;
QPoint SnapToEdges(const QRect& window, const QRect& area, int buffer);

// The widths of the bar's fixed controls and the client width the bar spans.
struct BarWidths {
    int client = 0;
    int stop = 0;
    int playOrPause = 0;
    int open = 0;
    int setup = 0;
    int about = 0;
    int sound = 0;
    int volume = 0;
};

// Where the bar's controls go: each control's left edge in the bar (PanelDuration takes what the others
// leave), and which of them show.
struct BarArrangement {
    bool setupAndAboutVisible = true;
    int duration = 0;
    bool progressVisible = true;
    bool totalVisible = true;
    int stopLeft = 0;
    int playOrPauseLeft = 0;
    int durationLeft = 0;
    int openLeft = 0;
    int setupLeft = 0;
    int aboutLeft = 0;
    int soundLeft = 0;
    int volumeLeft = 0;
};

inline constexpr int kBarSlack = 160;
inline constexpr int kProgressShownFrom = 150;
inline constexpr int kTotalShownAbove = 107;

// The bar's layout for a client width, the same for a width however it was reached: Setup and About
// show when the width leaves PanelDuration at least the slack beside them, and PanelDuration takes the
// rest.
BarArrangement ArrangeBar(const BarWidths& bar);

}  // namespace player
