// SDL started inside the owner's window, and the engine's side of that window: the sink that routes the
// window's messages to the play thread, and the rectangle in which the picture was last drawn.
//
// SDL 1.2 draws into an existing X11 window when "SDL_WINDOWID" names it while SDL starts. SDL starts
// and stops on the owner's thread (before the file's threads exist and after they were joined); every
// other SDL video call runs on the play thread. The owner's messages therefore reach the play thread as
// SDL events: paint as an expose, a size change as a resize.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>

#include "engine/base/FFBaseComponent.h"
#include "engine/play/HostWindow.h"

struct SDL_Surface;
class TSDLLoader;

// A rectangle in window or picture pixels.
struct TRect {
    int left = 0;
    int top = 0;
    int right = 0;
    int bottom = 0;
    bool operator==(const TRect&) const = default;
};

// The player's settings that decide how SDL starts.
struct TSDLStartSettings {
    TAudioDriver AudioDriver = adDefault;
    TVideoDriver VideoDriver = vdDefault;
    bool DisableAudio = false;
    bool DisableDisplay = false;
    bool HijackWndProc = true;  // attach the engine's sink to the host window
};

// SDL's init flags: audio and video; without audio when it is disabled. The timer subsystem is left out:
// the engine sets no SDL timers (SDL_Delay and SDL_GetTicks work without it), and on Linux SDL runs it
// as a thread that wakes every millisecond for as long as SDL is up.
inline constexpr unsigned kSDLInitFlags = 0x30;
inline constexpr unsigned kSDLInitFlagsNoAudio = 0x20;
// The video mode flags of a resize: hardware surface, asynchronous blit, resizable, hardware acceleration.
inline constexpr unsigned kSDLVideoModeFlags = 0x115;
// The widest or tallest video mode asked for.
inline constexpr int kMaxVideoModeSide = 16383;

class TSDLHost : public HostWindowSink {
public:
    // ASender is the player (the sender of log lines); ALoader is its SDL library.
    TSDLHost(TObject* ASender, TSDLLoader& ALoader);
    ~TSDLHost() override;
    TSDLHost(const TSDLHost&) = delete;
    TSDLHost& operator=(const TSDLHost&) = delete;

    // On the owner's thread: shuts down any earlier SDL, sets the driver variables and starts SDL inside
    // AHost's window (none when AHost is null, has no window, or the display is disabled). False
    // with LastErrMsg (also logged) when SDL does not start.
    bool DoSDLInit(HostWindow* AHost, const TSDLStartSettings& ASettings);
    // Detaches from the host window and shuts SDL down, on the owner's thread, after every thread of
    // the file was joined.
    void DoSDLQuit();
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    // SDL is up inside a host window.
    bool Embedded() const { return embedded_; }
    unsigned long WindowId() const { return windowId_; }
    // The host's client size; 0 x 0 without a host.
    HostSize ClientSize() const;
    // The host window can be seen (true without a host: SDL's own window is not followed).
    bool HostOnScreen() const;
    // The desktop's size as SDL reports it once started; 0 x 0 when SDL gives none.
    HostSize DesktopSize() const;

    // Play thread: sets the output surface to AWidth x AHeight (the width held to kMaxVideoModeSide)
    // under the update lock. A window without area gets no surface, which is logged and is no failure:
    // drawing waits for a size. False when SDL refuses the mode.
    bool SetVideoMode(int AWidth, int AHeight);
    SDL_Surface* Screen() const { return screen_; }
    // Held around every push of pixels to the window.
    std::recursive_mutex& UpdateRectLock() { return FUpdateRectLock; }
    // The host window is gone or going: nothing more is drawn and the file ends.
    bool WindowLost() const;

    // Owner: tells SDL that the host window moved or changed size.
    void UpdateScreenPosition();
    // Play thread: where the picture was drawn.
    void UpdateDisplayRect(int AX, int AY, int AWidth, int AHeight);
    TRect DisplayRect();
    void ClearDisplayRect();
    // Owner: maps a rectangle in window pixels to picture pixels; all zero without a file.
    TRect DisplayToActualRect(TRect ARect, bool AFileOpen, int AFrameWidth, int AFrameHeight);

    // Called (on the owner's thread) when the host window goes away during playback; the owner ends
    // the file without waiting.
    std::function<void()> OnHostLost;

    // The host window's messages.
    void Paint() override;
    void Resized(int AWidth, int AHeight) override;
    bool MouseDown(HostMouseButton AButton, int AX, int AY) override;
    bool Close() override;
    bool Invalidate() override;
    void Destroying() override;

private:
    void SetDriverEnvironment(const TSDLStartSettings& ASettings);
    bool StartSDL(unsigned AFlags, bool AWithWindow);
    void AfterStart(bool AWithWindow, bool AHijack);
    void PushSDLEvent(int AType, int AWidth, int AHeight);
    void Fail();
    void DetachHost();

    TObject* sender_;
    TSDLLoader& loader_;
    std::string FLastErrMsg;
    mutable std::mutex hostLock_;  // guards host_: the host may go away while the play thread asks it
    HostWindow* host_ = nullptr;
    std::atomic<unsigned long> windowId_{0};
    std::atomic<bool> embedded_{false};
    std::atomic<bool> sdlUp_{false};
    std::atomic<bool> windowLost_{false};
    std::atomic<bool> attached_{false};
    std::recursive_mutex FUpdateRectLock;  // guards screen_ and the pushes of pixels
    SDL_Surface* screen_ = nullptr;
    std::mutex FDisplayRectLock;  // guards FDisplayRect
    TRect FDisplayRect;
    bool zeroAreaLogged_ = false;  // play thread
};

// Makes X errors non-fatal for the process: SDL's calls on a host window that is gone are logged instead
// of ending the program. Installed once, before SDL first starts inside a window.
void InstallXErrorLogger();
// True when an X request on AWindow failed because the window (or drawable) no longer exists.
bool XWindowFailed(unsigned long AWindow);
void ForgetXWindowFailures(unsigned long AWindow);
