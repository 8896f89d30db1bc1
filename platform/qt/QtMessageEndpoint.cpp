#include "platform/qt/QtMessageEndpoint.h"

#include <QPointer>

namespace platform {

std::unique_ptr<QtMessageEndpoint> QtMessageEndpoint::Create(const std::string& className,
                                                             std::error_code& error) {
    auto endpoint = MessageEndpoint::Create(className, error);
    if (!endpoint) {
        return nullptr;
    }
    return std::unique_ptr<QtMessageEndpoint>(new QtMessageEndpoint(std::move(*endpoint)));
}

QtMessageEndpoint::QtMessageEndpoint(MessageEndpoint endpoint)
    : endpoint_(std::move(endpoint)), notifier_(endpoint_.Fd(), QSocketNotifier::Read) {
    connect(&notifier_, &QSocketNotifier::activated, this, &QtMessageEndpoint::DeliverPending);
}

QtMessageEndpoint::~QtMessageEndpoint() {
    notifier_.setEnabled(false);
}

void QtMessageEndpoint::DeliverPending() {
    // A receiver may delete this object from its slot; the rest of the batch is then dropped with it.
    QPointer<QtMessageEndpoint> alive(this);
    for (const WindowMessage& message : endpoint_.ReadPending()) {
        emit messageReceived(message.message, message.wParam, message.lParam);
        if (!alive) {
            return;
        }
    }
}

}  // namespace platform
