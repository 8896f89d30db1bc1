// Private window messages: a window's own numbered messages with two integer parameters, posted from any
// thread and handled on the window's thread in the order they were posted.
//
// A window that takes messages owns a WindowMessageReceiver as a member. PostMessage delivers only to a
// window whose receiver is alive; a message to a window that is gone (or never had a receiver) is dropped
// and PostMessage returns false. Messages still queued when the window is destroyed are discarded with it.
#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>

namespace platform {

struct WindowMessage {
    unsigned msg = 0;
    std::intptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

class WindowMessageEvent : public QEvent {
public:
    explicit WindowMessageEvent(const WindowMessage& message);
    static QEvent::Type EventType();
    const WindowMessage& Message() const { return message_; }

private:
    WindowMessage message_;
};

// The message carried by e, or null when e is not a window message.
const WindowMessage* AsWindowMessage(const QEvent* e);

// Queues the message to target on target's thread. False (and nothing queued) when target has no live
// receiver.
bool PostMessage(QObject* target, unsigned msg, std::intptr_t wParam = 0, std::intptr_t lParam = 0);

class WindowMessageReceiver {
public:
    using Handler = std::function<void(const WindowMessage&)>;
    // Registers window for PostMessage. With a handler, the messages go to the handler; without one they
    // reach the window's own event() override (see AsWindowMessage).
    explicit WindowMessageReceiver(QObject* window, Handler handler = {});
    ~WindowMessageReceiver();
    WindowMessageReceiver(const WindowMessageReceiver&) = delete;
    WindowMessageReceiver& operator=(const WindowMessageReceiver&) = delete;

private:
    class Filter;
    QObject* window_;
    std::unique_ptr<Filter> filter_;
};

}  // namespace platform
