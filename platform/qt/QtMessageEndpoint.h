// A message endpoint served by the Qt event loop: messages posted by other processes arrive as a signal
// on the GUI thread.
#pragma once

#include "platform/MessageEndpoint.h"

#include <QObject>
#include <QSocketNotifier>

#include <memory>
#include <optional>
#include <string>
#include <system_error>

namespace platform {

class QtMessageEndpoint : public QObject {
    Q_OBJECT

public:
    // Makes the endpoint of a hidden window of `className`; nullptr (with error set) when that fails.
    static std::unique_ptr<QtMessageEndpoint> Create(const std::string& className, std::error_code& error);
    ~QtMessageEndpoint() override;

    WindowHandle Handle() const { return endpoint_.Handle(); }
    const std::string& ClassName() const { return endpoint_.ClassName(); }

signals:
    // One posted message, in the order the messages were posted.
    void messageReceived(quint32 message, quint64 wParam, qint64 lParam);

private:
    explicit QtMessageEndpoint(MessageEndpoint endpoint);
    void DeliverPending();

    MessageEndpoint endpoint_;
    QSocketNotifier notifier_;  // declared after the endpoint: it is gone before the socket closes
};

}  // namespace platform
