// A host window for engine tests without any GUI toolkit: a plain X11 window on the test display that
// forwards its expose, size, button and close messages to the engine's sink and reads its own pixels
// back.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/play/HostWindow.h"

struct _XDisplay;

namespace enginetest {

// Opens the display, retrying for a while: an X server resets when its last client leaves, and refuses
// connections meanwhile. Null when it stays unreachable.
_XDisplay* OpenTestDisplay();
// Keeps one connection open for the rest of the process, so that the server does not reset between
// the windows and SDL starts of one test.
void KeepXServer();

class XTestHost : public HostWindow {
public:
    // A window of AWidth x AHeight at the top left of the screen. A side of 0 makes a window that
    // reports an empty client area (X itself needs at least one pixel).
    XTestHost(int AWidth, int AHeight);
    ~XTestHost() override;
    XTestHost(const XTestHost&) = delete;
    XTestHost& operator=(const XTestHost&) = delete;

    unsigned long NativeWindow() const override;
    HostSize ClientSize() const override;
    bool OnScreen() const override { return FOnScreen; }
    void SetSink(HostWindowSink* ASink) override;
    void SetFocus() override;

    // Hands the window's pending X events to the sink; call it on the test (GUI) thread.
    void Pump();
    void Resize(int AWidth, int AHeight);
    // Sends a button press or a close request to the window, as a user or window manager would.
    void SendButtonPress(int AX, int AY);
    void SendClose();
    // Whether the window counts as seen (as a minimised or hidden one does not). Turning it on tells the
    // sink to paint, as a host shown again does.
    void SetOnScreen(bool AOnScreen);
    // Makes the X server expose the whole window again.
    void ExposeAll();
    // Tells the sink the window goes away (unless ANotify is false), then destroys the X window.
    void Destroy(bool ANotify = true);
    // The colour at (AX, AY) as 0xRRGGBB.
    uint32_t Pixel(int AX, int AY);
    // Every pixel of the window, row by row, as 0xRRGGBB; empty when the window cannot be read.
    std::vector<uint32_t> Pixels();

    int FocusCount() const { return FFocusCount; }
    int OwnMouseDowns() const { return FOwnMouseDowns; }
    int OwnCloses() const { return FOwnCloses; }
    int CloseRequests() const { return FCloseRequests; }
    int Paints() const { return FPaints; }

private:
    _XDisplay* FDisplay = nullptr;
    unsigned long FWindow = 0;
    unsigned long FDeleteAtom = 0;
    mutable std::mutex FSizeLock;  // guards FSize
    HostSize FSize;
    bool FEmptyArea = false;
    std::atomic<bool> FOnScreen{true};
    std::recursive_mutex FSinkLock;  // guards FSink; held for every call into it
    HostWindowSink* FSink = nullptr;
    int FFocusCount = 0;
    int FOwnMouseDowns = 0;
    int FOwnCloses = 0;
    int FCloseRequests = 0;
    int FPaints = 0;
};

}  // namespace enginetest
