#include "zeb/KillWindow.h"

#include <system_error>

#include "platform/WindowsMessages.h"

namespace zeb {

KillWindow::KillWindow(std::unique_ptr<platform::QtMessageEndpoint> endpoint)
    : endpoint_(std::move(endpoint)) {
    connect(endpoint_.get(), &platform::QtMessageEndpoint::messageReceived, this, &KillWindow::KillWndProc);
}

void KillWindow::KillWndProc(quint32 message, quint64, qint64) {
    // Only a close ends the window; every other message is left to the default handling, which ignores it.
    if (message == platform::WM_CLOSE && !closed_) {
        closed_ = true;
        emit Closed();
    }
}

std::unique_ptr<KillWindow> CreateKillWindow() {
    std::error_code error;
    auto endpoint = platform::QtMessageEndpoint::Create(kKillWindowClass, error);
    if (!endpoint) {
        return nullptr;
    }
    return std::make_unique<KillWindow>(std::move(endpoint));
}

}  // namespace zeb
