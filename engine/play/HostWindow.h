// The window that the engine draws into, as its owner hands it over: the engine stays free of any GUI
// toolkit and sees only a native X11 window, its client size, and the messages that the owner forwards.
//
// SDL draws into the native window from the engine's play thread. The owner's GUI thread forwards the
// window's messages to the sink that the engine attaches; the sink decides per message whether the
// owner's own handling still runs.
#pragma once

// A client size in window pixels.
struct HostSize {
    int Width = 0;
    int Height = 0;
};

enum class HostMouseButton { Left, Middle, Right };

// What the engine does with the host window's messages. Every call comes on the owner's GUI thread,
// and none of them waits for an engine thread, so the owner may call them from its event handlers.
class HostWindowSink {
public:
    virtual ~HostWindowSink() = default;

    // The window needs its content again (an expose or paint): the engine redraws the last picture.
    virtual void Paint() = 0;
    // The client area has the new size: the engine lays its output out again.
    virtual void Resized(int AWidth, int AHeight) = 0;
    // A mouse button went down at (AX, AY) in window pixels. The engine may ask the host to take the
    // keyboard focus (SetFocus) from inside this call. True: the owner goes on with its own handling.
    virtual bool MouseDown(HostMouseButton AButton, int AX, int AY) = 0;
    // Someone asked the window to close. False: the close is swallowed and the owner ignores it.
    virtual bool Close() = 0;
    // The owner's CM_INVALIDATE (0xB034), posted when its window was resized or entered full screen.
    // True: the owner goes on with its own handling (repaint), which reaches Paint.
    virtual bool Invalidate() = 0;
    // The native window (or the host object) is about to be destroyed. The engine stops drawing into it
    // and ends the file without waiting for its threads here. Once this returns the engine makes no
    // more calls to the host, and the host forgets the sink.
    virtual void Destroying() = 0;
};

// The owner's side: implemented by the player's native video widget and by the tests' X11 host.
class HostWindow {
public:
    virtual ~HostWindow() = default;

    // The native X11 window id (an XID) that SDL draws into; 0 when the window has none (yet).
    virtual unsigned long NativeWindow() const = 0;
    // The current client size; callable from any thread.
    virtual HostSize ClientSize() const = 0;
    // Whether the window can be seen now: false while it or its top-level window is hidden or minimised,
    // when the engine draws nothing into it (a Paint brings the picture back). Callable from any thread.
    virtual bool OnScreen() const { return true; }
    // Attaches the engine's sink (null detaches it). Callable from any thread: when it returns, no call
    // into the previous sink is running and none will start.
    virtual void SetSink(HostWindowSink* ASink) = 0;
    // Gives the window the keyboard focus; called on the GUI thread from inside a sink call.
    virtual void SetFocus() = 0;
};

// The owner's private message that makes the engine's window repaint after a resize or full screen.
inline constexpr unsigned CM_INVALIDATE = 0xB034;
