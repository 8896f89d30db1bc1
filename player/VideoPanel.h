// The black video surface of the main window: a native child window that the engine's SDL output draws
// into while a file plays. It forwards its paint, resize, mouse-down and close messages to the sink the
// engine attaches.
#pragma once

#include <QWidget>

#include <atomic>
#include <mutex>

#include "engine/play/HostWindow.h"

namespace player {

class VideoPanel : public QWidget, public HostWindow {
    Q_OBJECT
public:
    explicit VideoPanel(QWidget* parent = nullptr);
    ~VideoPanel() override;

    // HostWindow. NativeWindow is 0 until EnsureNativeWindow or showing the panel made the window.
    unsigned long NativeWindow() const override;
    HostSize ClientSize() const override;
    bool OnScreen() const override;
    void SetSink(HostWindowSink* ASink) override;
    void SetFocus() override;

    // Creates the native window when it does not exist yet; GUI thread only. Its id.
    unsigned long EnsureNativeWindow();

    // The engine draws here while true; otherwise the panel paints itself (black).
    void SetEngineDrawing(bool drawing);
    bool EngineDrawing() const { return engineDrawing_; }

    // Follows whether the panel can be seen: shown, and its window neither hidden nor minimised. The
    // panel follows its own show and hide; the owner calls this when its window's state changes.
    void UpdateOnScreen();

    // Forwards the owner's invalidate request to the sink; true when the owner should repaint.
    bool Invalidate();

    QPaintEngine* paintEngine() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    std::atomic<unsigned long> nativeWindow_{0};
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
    std::atomic<bool> onScreen_{false};
    // Held while a sink call runs, so SetSink from another thread waits until none is running.
    mutable std::recursive_mutex sinkLock_;
    HostWindowSink* sink_ = nullptr;  // under sinkLock_
    bool engineDrawing_ = false;
};

}  // namespace player
