#include "tests/engine/XTestHost.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace enginetest {

_XDisplay* OpenTestDisplay() {
    XInitThreads();
    for (int attempt = 0; attempt < 100; ++attempt) {
        if (Display* display = XOpenDisplay(nullptr)) {
            return display;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return nullptr;
}

void KeepXServer() {
    static Display* const keeper = OpenTestDisplay();
    (void)keeper;
}

XTestHost::XTestHost(int AWidth, int AHeight) {
    KeepXServer();
    FDisplay = OpenTestDisplay();
    if (!FDisplay) {
        throw std::runtime_error("no X display");
    }
    FEmptyArea = AWidth <= 0 || AHeight <= 0;
    FSize = FEmptyArea ? HostSize{} : HostSize{AWidth, AHeight};
    const int width = AWidth > 0 ? AWidth : 1;
    const int height = AHeight > 0 ? AHeight : 1;
    FWindow = XCreateSimpleWindow(FDisplay, DefaultRootWindow(FDisplay), 0, 0, static_cast<unsigned>(width),
                                  static_cast<unsigned>(height), 0, 0, 0x808080);
    // Tests run side by side on one X server and their windows overlap. With backing store (the server
    // runs with +bs) the server keeps this window's own contents, so reading its pixels never returns
    // another test's window that lies on top.
    XSetWindowAttributes keep{};
    keep.backing_store = Always;
    XChangeWindowAttributes(FDisplay, FWindow, CWBackingStore, &keep);
    XSelectInput(FDisplay, FWindow, ExposureMask | StructureNotifyMask | ButtonPressMask);
    FDeleteAtom = XInternAtom(FDisplay, "WM_DELETE_WINDOW", False);
    Atom protocols[] = {FDeleteAtom};
    XSetWMProtocols(FDisplay, FWindow, protocols, 1);
    XMapWindow(FDisplay, FWindow);
    XSync(FDisplay, False);
}

XTestHost::~XTestHost() {
    if (FWindow) {
        Destroy(true);
    }
    XCloseDisplay(FDisplay);
}

unsigned long XTestHost::NativeWindow() const {
    return FWindow;
}

void XTestHost::SetOnScreen(bool AOnScreen) {
    if (FOnScreen.exchange(AOnScreen) || !AOnScreen) {
        return;
    }
    std::lock_guard lock(FSinkLock);
    if (FSink) {
        FSink->Paint();
    }
}

HostSize XTestHost::ClientSize() const {
    std::lock_guard lock(FSizeLock);
    return FSize;
}

void XTestHost::SetSink(HostWindowSink* ASink) {
    std::lock_guard lock(FSinkLock);
    FSink = ASink;
}

void XTestHost::SetFocus() {
    ++FFocusCount;
    XSetInputFocus(FDisplay, FWindow, RevertToParent, CurrentTime);
}

void XTestHost::Pump() {
    while (FWindow && XPending(FDisplay) > 0) {
        XEvent event;
        XNextEvent(FDisplay, &event);
        std::lock_guard lock(FSinkLock);
        switch (event.type) {
            case Expose:
                if (event.xexpose.count == 0) {
                    ++FPaints;
                    if (FSink) {
                        FSink->Paint();
                    }
                }
                break;
            case ConfigureNotify: {
                const HostSize size{event.xconfigure.width, event.xconfigure.height};
                bool changed = false;
                {
                    std::lock_guard sizeLock(FSizeLock);
                    changed = !FEmptyArea && (size.Width != FSize.Width || size.Height != FSize.Height);
                    if (changed) {
                        FSize = size;
                    }
                }
                if (changed && FSink) {
                    FSink->Resized(size.Width, size.Height);
                }
                break;
            }
            case ButtonPress:
                if (!FSink || FSink->MouseDown(HostMouseButton::Left, event.xbutton.x, event.xbutton.y)) {
                    ++FOwnMouseDowns;
                }
                break;
            case ClientMessage:
                if (static_cast<unsigned long>(event.xclient.data.l[0]) == FDeleteAtom) {
                    ++FCloseRequests;
                    if (!FSink || FSink->Close()) {
                        ++FOwnCloses;
                    }
                }
                break;
            default:
                break;
        }
    }
}

void XTestHost::Resize(int AWidth, int AHeight) {
    XResizeWindow(FDisplay, FWindow, static_cast<unsigned>(AWidth), static_cast<unsigned>(AHeight));
    XSync(FDisplay, False);
}

void XTestHost::SendButtonPress(int AX, int AY) {
    XEvent event{};
    event.xbutton.type = ButtonPress;
    event.xbutton.display = FDisplay;
    event.xbutton.window = FWindow;
    event.xbutton.x = AX;
    event.xbutton.y = AY;
    event.xbutton.button = Button1;
    event.xbutton.same_screen = True;
    XSendEvent(FDisplay, FWindow, True, ButtonPressMask, &event);
    XSync(FDisplay, False);
}

void XTestHost::SendClose() {
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = FWindow;
    event.xclient.message_type = XInternAtom(FDisplay, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(FDeleteAtom);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(FDisplay, FWindow, False, NoEventMask, &event);
    XSync(FDisplay, False);
}

void XTestHost::ExposeAll() {
    XClearArea(FDisplay, FWindow, 0, 0, 0, 0, True);
    XSync(FDisplay, False);
}

void XTestHost::Destroy(bool ANotify) {
    {
        std::lock_guard lock(FSinkLock);
        if (ANotify && FSink) {
            FSink->Destroying();
        }
        FSink = nullptr;
    }
    XDestroyWindow(FDisplay, FWindow);
    XSync(FDisplay, False);
    FWindow = 0;
}

uint32_t XTestHost::Pixel(int AX, int AY) {
    XImage* image = XGetImage(FDisplay, FWindow, AX, AY, 1, 1, AllPlanes, ZPixmap);
    if (!image) {
        return 0xFFFFFFFFu;
    }
    const uint32_t pixel = static_cast<uint32_t>(XGetPixel(image, 0, 0)) & 0xFFFFFFu;
    XDestroyImage(image);
    return pixel;
}

std::vector<uint32_t> XTestHost::Pixels() {
    const HostSize size = ClientSize();
    if (size.Width <= 0 || size.Height <= 0) {
        return {};
    }
    XImage* image = XGetImage(FDisplay, FWindow, 0, 0, static_cast<unsigned>(size.Width),
                              static_cast<unsigned>(size.Height), AllPlanes, ZPixmap);
    if (!image) {
        return {};
    }
    std::vector<uint32_t> pixels;
    pixels.reserve(static_cast<size_t>(size.Width) * static_cast<size_t>(size.Height));
    for (int y = 0; y < size.Height; ++y) {
        for (int x = 0; x < size.Width; ++x) {
            pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x, y)) & 0xFFFFFFu);
        }
    }
    XDestroyImage(image);
    return pixels;
}

}  // namespace enginetest

// SDL's X11 driver keeps a graphics context and a few strings of Xlib's until the process ends; they
// are Xlib's allocations, not this project's.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libX11.so.6\n";
}
