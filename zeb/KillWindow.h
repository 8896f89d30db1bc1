// The prompt's hidden owner window, of class "ZURAROVOVE": another process that finds it by its class
// and sends it WM_CLOSE ends a waiting prompt, which then does nothing.
#pragma once

#include <QObject>
#include <cstdint>
#include <memory>

#include "platform/qt/QtMessageEndpoint.h"

namespace zeb {

inline constexpr const char* kKillWindowClass = "ZURAROVOVE";

class KillWindow : public QObject {
    Q_OBJECT

public:
    explicit KillWindow(std::unique_ptr<platform::QtMessageEndpoint> endpoint);

    platform::WindowHandle Handle() const { return endpoint_->Handle(); }

signals:
    // WM_CLOSE arrived: the window is gone, and so must be the prompt it owns. Emitted once.
    void Closed();

private:
    void KillWndProc(quint32 message, quint64 wParam, qint64 lParam);

    std::unique_ptr<platform::QtMessageEndpoint> endpoint_;
    bool closed_ = false;
};

// The hidden window, or nullptr when it cannot be made (the prompt then simply has no owner).
std::unique_ptr<KillWindow> CreateKillWindow();

}  // namespace zeb
