#include "winutils/Winutils_foreground.h"

#include <QWidget>

namespace winutils {

bool ForceForegroundWindow(QWidget* control) {
    if (control == nullptr) {
        return false;
    }
    QWidget* window = control->window();
    if (window->isMinimized()) {
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
        window->show();
    }
    if (window->isActiveWindow()) {
        return true;
    }
    window->raise();
    window->activateWindow();
    return window->isActiveWindow();
}

}  // namespace winutils
