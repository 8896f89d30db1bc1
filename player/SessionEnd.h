// Ending the program from outside: SIGTERM, and the desktop session manager's end of the session, both
// reach the GUI thread as one call, so the main window closes and saves as if the user had closed it.
#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace player {

class SessionEnd : public QObject {
    Q_OBJECT
public:
    // onEnd runs on the GUI thread, at most once.
    explicit SessionEnd(std::function<void()> onEnd, QObject* parent = nullptr);
    ~SessionEnd() override;
    SessionEnd(const SessionEnd&) = delete;
    SessionEnd& operator=(const SessionEnd&) = delete;

    // False when the signal could not be caught.
    bool installed() const { return installed_; }

private:
    void Fire();

    std::function<void()> onEnd_;
    std::unique_ptr<QSocketNotifier> notifier_;
    bool installed_ = false;
    bool fired_ = false;
};

}  // namespace player
