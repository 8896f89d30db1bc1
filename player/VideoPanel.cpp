#include "player/VideoPanel.h"

#include <QMouseEvent>
#include <QPainter>
#include <QResizeEvent>

namespace player {

VideoPanel::VideoPanel(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_NativeWindow);
    setAttribute(Qt::WA_DontCreateNativeAncestors);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::StrongFocus);
}

unsigned long VideoPanel::EnsureNativeWindow() {
    // Made on first use rather than in the constructor: a native window made before the form has its
    // size would bring the toolkit's default size back later.
    nativeWindow_ = static_cast<unsigned long>(winId());
    return nativeWindow_;
}

VideoPanel::~VideoPanel() {
    std::lock_guard guard(sinkLock_);
    if (sink_ != nullptr) {
        sink_->Destroying();
        sink_ = nullptr;
    }
}

unsigned long VideoPanel::NativeWindow() const {
    return nativeWindow_.load();
}

HostSize VideoPanel::ClientSize() const {
    return HostSize{width_.load(), height_.load()};
}

bool VideoPanel::OnScreen() const {
    return onScreen_;
}

void VideoPanel::UpdateOnScreen() {
    const bool onScreen = isVisible() && !window()->isMinimized();
    if (onScreen_.exchange(onScreen) || !onScreen || !engineDrawing_) {
        return;
    }
    // Seen again: the engine drew nothing meanwhile, so its last picture is wanted now.
    std::lock_guard guard(sinkLock_);
    if (sink_ != nullptr) {
        sink_->Paint();
    }
}

void VideoPanel::SetSink(HostWindowSink* ASink) {
    std::lock_guard guard(sinkLock_);
    sink_ = ASink;
}

void VideoPanel::SetFocus() {
    setFocus(Qt::OtherFocusReason);
}

void VideoPanel::SetEngineDrawing(bool drawing) {
    engineDrawing_ = drawing;
    // While the engine draws, Qt must neither paint over the picture nor keep a backing store for it.
    setAttribute(Qt::WA_PaintOnScreen, drawing);
    update();
}

bool VideoPanel::Invalidate() {
    std::lock_guard guard(sinkLock_);
    return sink_ == nullptr || sink_->Invalidate();
}

QPaintEngine* VideoPanel::paintEngine() const {
    return engineDrawing_ ? nullptr : QWidget::paintEngine();
}

void VideoPanel::paintEvent(QPaintEvent* /*event*/) {
    if (engineDrawing_) {
        std::lock_guard guard(sinkLock_);
        if (sink_ != nullptr) {
            sink_->Paint();
        }
        return;
    }
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
}

void VideoPanel::resizeEvent(QResizeEvent* event) {
    width_ = event->size().width();
    height_ = event->size().height();
    QWidget::resizeEvent(event);
    std::lock_guard guard(sinkLock_);
    if (sink_ != nullptr) {
        sink_->Resized(width_, height_);
    }
}

void VideoPanel::mousePressEvent(QMouseEvent* event) {
    HostMouseButton button = HostMouseButton::Left;
    if (event->button() == Qt::RightButton) {
        button = HostMouseButton::Right;
    } else if (event->button() == Qt::MiddleButton) {
        button = HostMouseButton::Middle;
    }
    bool ownHandling = true;
    {
        std::lock_guard guard(sinkLock_);
        if (sink_ != nullptr) {
            const QPoint at = event->position().toPoint();
            ownHandling = sink_->MouseDown(button, at.x(), at.y());
        }
    }
    if (ownHandling) {
        setFocus(Qt::MouseFocusReason);
        QWidget::mousePressEvent(event);
    }
}

bool VideoPanel::event(QEvent* event) {
    if (event->type() == QEvent::Close) {
        std::lock_guard guard(sinkLock_);
        if (sink_ != nullptr && !sink_->Close()) {
            event->ignore();
            return true;
        }
    }
    if (event->type() == QEvent::Show || event->type() == QEvent::Hide) {
        // Before a Show's paint reaches the engine, so that it draws again.
        const bool result = QWidget::event(event);
        UpdateOnScreen();
        return result;
    }
    if (event->type() == QEvent::WinIdChange) {
        nativeWindow_ = static_cast<unsigned long>(internalWinId());
    }
    return QWidget::event(event);
}

}  // namespace player
