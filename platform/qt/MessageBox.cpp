#include "platform/qt/MessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QString>

#include <cstdio>
#include <mutex>

#include "platform/Dispatcher.h"

namespace platform {
namespace {

std::mutex gHookLock;  // guards gHook
MessageBoxHook gHook;

QMessageBox::Icon IconFor(TMessageKind kind) {
    switch (kind) {
        case TMessageKind::Information:
            return QMessageBox::Information;
        case TMessageKind::Warning:
            return QMessageBox::Warning;
        case TMessageKind::Error:
            return QMessageBox::Critical;
        case TMessageKind::Question:
            return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButtons ButtonsFor(TMessageButtons buttons) {
    switch (buttons) {
        case TMessageButtons::Ok:
            return QMessageBox::Ok;
        case TMessageButtons::OkCancel:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case TMessageButtons::YesNo:
            return QMessageBox::Yes | QMessageBox::No;
        case TMessageButtons::YesNoCancel:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

TMessageResult ResultFor(int button) {
    switch (button) {
        case QMessageBox::Ok:
            return TMessageResult::Ok;
        case QMessageBox::Cancel:
            return TMessageResult::Cancel;
        case QMessageBox::Yes:
            return TMessageResult::Yes;
        case QMessageBox::No:
            return TMessageResult::No;
        default:
            return TMessageResult::None;
    }
}

TMessageResult ShowDefaultBox(const MessageBoxRequest& request) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr) {
        // No widgets without a GUI application: at least leave the text where a user can find it.
        std::fprintf(stderr, "%s: %s\n", request.caption.c_str(), request.text.c_str());
        return TMessageResult::None;
    }
    QMessageBox box(IconFor(request.kind), QString::fromStdString(request.caption),
                    QString::fromStdString(request.text), ButtonsFor(request.buttons),
                    QApplication::activeWindow());
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(Qt::ApplicationModal);
    return ResultFor(box.exec());
}

MessageBoxHook CurrentHook() {
    std::lock_guard guard(gHookLock);
    return gHook;
}

}  // namespace

TMessageResult ShowMessageBox(TMessageKind kind, const std::string& caption, const std::string& text,
                              TMessageButtons buttons) {
    const MessageBoxRequest request{kind, caption, text, buttons};
    return Synchronize([&] {
        MessageBoxHook hook = CurrentHook();
        return hook ? hook(request) : ShowDefaultBox(request);
    });
}

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard guard(gHookLock);
    MessageBoxHook previous = std::move(gHook);
    gHook = std::move(hook);
    return previous;
}

ScopedMessageBoxHook::ScopedMessageBoxHook(MessageBoxHook hook)
    : previous_(SetMessageBoxHook(std::move(hook))) {}

ScopedMessageBoxHook::~ScopedMessageBoxHook() {
    SetMessageBoxHook(std::move(previous_));
}

}  // namespace platform
