#include "platform/qt/WindowMessages.h"

#include <QCoreApplication>

#include <mutex>
#include <unordered_map>

namespace platform {
namespace {

// Windows with a live receiver, with the number of their receivers. A post holds the lock while it hands
// the event to Qt, so a window cannot unregister (and go on to be destroyed) in the middle of a post.
std::mutex gWindowsLock;
std::unordered_map<const QObject*, int> gWindows;

void RegisterWindow(const QObject* window) {
    std::lock_guard guard(gWindowsLock);
    ++gWindows[window];
}

void UnregisterWindow(const QObject* window) {
    std::lock_guard guard(gWindowsLock);
    auto it = gWindows.find(window);
    if (it != gWindows.end() && --it->second == 0) {
        gWindows.erase(it);
    }
}

}  // namespace

WindowMessageEvent::WindowMessageEvent(const WindowMessage& message)
    : QEvent(EventType()), message_(message) {}

QEvent::Type WindowMessageEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

const WindowMessage* AsWindowMessage(const QEvent* e) {
    if (e == nullptr || e->type() != WindowMessageEvent::EventType()) {
        return nullptr;
    }
    return &static_cast<const WindowMessageEvent*>(e)->Message();
}

bool PostMessage(QObject* target, unsigned msg, std::intptr_t wParam, std::intptr_t lParam) {
    std::lock_guard guard(gWindowsLock);
    if (target == nullptr || !gWindows.contains(target)) {
        return false;
    }
    QCoreApplication::postEvent(target, new WindowMessageEvent({msg, wParam, lParam}));
    return true;
}

// Sits in front of the window's event() and hands window messages to the handler.
class WindowMessageReceiver::Filter : public QObject {
public:
    explicit Filter(Handler handler) : handler_(std::move(handler)) {}

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (const WindowMessage* message = AsWindowMessage(event)) {
            handler_(*message);
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    Handler handler_;
};

WindowMessageReceiver::WindowMessageReceiver(QObject* window, Handler handler) : window_(window) {
    if (handler) {
        filter_ = std::make_unique<Filter>(std::move(handler));
        filter_->moveToThread(window->thread());
        window->installEventFilter(filter_.get());
    }
    RegisterWindow(window_);
}

WindowMessageReceiver::~WindowMessageReceiver() {
    UnregisterWindow(window_);
    // Nothing posted before this point may reach a window that is on its way out.
    QCoreApplication::removePostedEvents(window_, WindowMessageEvent::EventType());
    if (filter_) {
        window_->removeEventFilter(filter_.get());
    }
}

}  // namespace platform
