// Bringing a window to the front.
#pragma once

class QWidget;

namespace winutils {

// Restores the control's window when it is minimised, raises it and asks for the input focus. True when
// the window is the active window afterwards.
bool ForceForegroundWindow(QWidget* control);

}  // namespace winutils
