// The warning and error boxes of the maker's programs, placing a form on the monitor under the mouse, and
// the screen's colour depth.
#pragma once

#include <vector>

class QWidget;

namespace winutils {

// printf-style; the text is cut to 8191 bytes (at a character boundary). The caption is the program's
// word followed by "Warning" or "Error". Both boxes carry the warning icon and wait until closed.
void ShowWarningMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void ShowErrorMessage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// A rectangle in virtual-desktop pixels: a form's frame or a monitor.
struct ScreenRect {
    int Left = 0;
    int Top = 0;
    int Width = 0;
    int Height = 0;
    bool operator==(const ScreenRect&) const = default;
};

// Where a form goes: on the monitor under the mouse (edges do not count), else the first monitor above
// the form's top, else the first monitor; moved onto it, optionally centred, and cut to fit. With no
// monitor at all the form keeps its size at 20, 20. Every step is logged.
ScreenRect PlaceOnActiveMonitor(ScreenRect form, const std::vector<ScreenRect>& monitors, int mouseX,
                                int mouseY, bool centre);

// The screen's monitors in the screen's order (the primary first); empty without a GUI.
std::vector<ScreenRect> MonitorRects();

// Places the form with PlaceOnActiveMonitor on the screen's monitors and the mouse position.
void PositionOnActiveMonitor(QWidget* form, bool centre);

// Bits per pixel of the primary screen; -1 when there is none.
int GetColorDepth();

}  // namespace winutils
