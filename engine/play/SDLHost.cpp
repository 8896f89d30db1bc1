// SDL start inside the host window, message routing and the display rectangle.
#include "engine/play/SDLHost.h"

#include <dlfcn.h>

#include <X11/Xlib.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>

#include "engine/base/FFLog.h"
#include "engine/base/Myutils.h"
#include "engine/load/libsdl.h"

namespace {

// The driver variables as the user set them before the engine first touched them: with the default
// drivers a user's choice is kept (this is how a headless run picks "dummy").
struct TUserEnvironment {
    std::optional<std::string> AudioDriver;
    std::optional<std::string> VideoDriver;
    std::optional<std::string> YUVHWAccel;
};

std::optional<std::string> ReadEnv(const char* AName) {
    const char* value = SDLGetEnv(AName);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

// Read under SDLLock, the first time SDL is started.
const TUserEnvironment& UserEnvironment() {
    static const TUserEnvironment env{ReadEnv("SDL_AUDIODRIVER"), ReadEnv("SDL_VIDEODRIVER"),
                                      ReadEnv("SDL_VIDEO_YUV_HWACCEL")};
    return env;
}

void SetEnv(const std::string& AName, const std::optional<std::string>& AValue) {
    const std::string text = AValue ? AName + "=" + *AValue : AName;
    SDLPutEnv(text.c_str());
}

const char* AudioDriverName(TAudioDriver ADriver) {
    switch (ADriver) {
        case adDirectSound:
            return "pulse";
        case adWaveOut:
            return "alsa";
        default:
            return nullptr;
    }
}

// SDL's event types that the host's messages become.
constexpr int kSDLVideoResize = 16;
constexpr int kSDLVideoExpose = 17;

// X errors, recorded for the windows they were about.
constexpr int kFailedWindowSlots = 16;
std::atomic<unsigned long> GFailedWindows[kFailedWindowSlots];
std::atomic<unsigned> GFailedWindowNext{0};

int LogXError(Display*, XErrorEvent* AEvent) {
    if (AEvent->error_code == BadWindow || AEvent->error_code == BadDrawable) {
        GFailedWindows[GFailedWindowNext.fetch_add(1) % kFailedWindowSlots] = AEvent->resourceid;
    }
    FFLogger().Log(nullptr, llError,
                   Format("X error %d on request %d.%d for resource 0x%lx",
                          static_cast<int>(AEvent->error_code), static_cast<int>(AEvent->request_code),
                          static_cast<int>(AEvent->minor_code), AEvent->resourceid));
    return 0;
}

}  // namespace

void InstallXErrorLogger() {
    static const bool installed = [] {
        // The X library is SDL's dependency; it stays loaded for the life of the process.
        void* x11 = dlopen("libX11.so.6", RTLD_NOW | RTLD_GLOBAL);
        if (!x11) {
            return false;
        }
        using TSetErrorHandler = decltype(&XSetErrorHandler);
        auto setHandler = reinterpret_cast<TSetErrorHandler>(dlsym(x11, "XSetErrorHandler"));
        if (!setHandler) {
            return false;
        }
        setHandler(LogXError);
        return true;
    }();
    (void)installed;
}

// A window id that the X server hands out again is a new window.
void ForgetXWindowFailures(unsigned long AWindow) {
    for (auto& slot : GFailedWindows) {
        unsigned long expected = AWindow;
        slot.compare_exchange_strong(expected, 0);
    }
}

bool XWindowFailed(unsigned long AWindow) {
    if (AWindow == 0) {
        return false;
    }
    for (const auto& slot : GFailedWindows) {
        if (slot.load() == AWindow) {
            return true;
        }
    }
    return false;
}

TSDLHost::TSDLHost(TObject* ASender, TSDLLoader& ALoader) : sender_(ASender), loader_(ALoader) {}

TSDLHost::~TSDLHost() {
    DetachHost();
}

// The host is told to drop the sink unless it is going away, in which case it has already dropped it.
void TSDLHost::DetachHost() {
    std::lock_guard lock(hostLock_);
    if (attached_.exchange(false) && host_ && !windowLost_) {
        host_->SetSink(nullptr);
    }
    host_ = nullptr;
}

void TSDLHost::SetDriverEnvironment(const TSDLStartSettings& ASettings) {
    const TUserEnvironment& user = UserEnvironment();
    const char* audio = AudioDriverName(ASettings.AudioDriver);
    SetEnv("SDL_AUDIODRIVER", audio ? std::optional<std::string>(audio) : user.AudioDriver);
    std::optional<std::string> video = user.VideoDriver;
    std::optional<std::string> hwaccel = user.YUVHWAccel;
    if (ASettings.DisableDisplay) {
        video = "dummy";
    } else if (ASettings.VideoDriver == vdDirectDraw) {
        video = "x11";
    } else if (ASettings.VideoDriver == vdGDI) {
        video = "x11";
        hwaccel = "0";
    }
    SetEnv("SDL_VIDEODRIVER", video);
    SetEnv("SDL_VIDEO_YUV_HWACCEL", hwaccel);
}

bool TSDLHost::DoSDLInit(HostWindow* AHost, const TSDLStartSettings& ASettings) {
    std::lock_guard sdl(SDLLock());
    DoSDLQuit();
    FLastErrMsg.clear();
    windowLost_ = false;
    SetDriverEnvironment(ASettings);
    const unsigned long window = AHost && !ASettings.DisableDisplay ? AHost->NativeWindow() : 0;
    const bool withWindow = window != 0;
    {
        std::lock_guard lock(hostLock_);
        host_ = withWindow ? AHost : nullptr;
    }
    windowId_ = window;
    if (withWindow) {
        InstallXErrorLogger();
        ForgetXWindowFailures(window);
        SetEnv("SDL_WINDOWID", std::to_string(window));
    }
    const bool started = StartSDL(ASettings.DisableAudio ? kSDLInitFlagsNoAudio : kSDLInitFlags, withWindow);
    if (withWindow) {
        SetEnv("SDL_WINDOWID", std::nullopt);
    }
    if (!started) {
        Fail();
        return false;
    }
    AfterStart(withWindow, ASettings.HijackWndProc);
    return true;
}

// The window id is tried as unsigned, then as 32-bit unsigned and as signed decimal; a text that is the
// same as one already tried is not tried again.
bool TSDLHost::StartSDL(unsigned AFlags, bool AWithWindow) {
    if (loader_.SDL_Init(AFlags) >= 0) {
        return true;
    }
    if (!AWithWindow) {
        return false;
    }
    const unsigned long window = windowId_;
    std::string tried = std::to_string(window);
    for (const std::string& text :
         {std::to_string(static_cast<unsigned>(window)), std::to_string(static_cast<long>(window))}) {
        if (text == tried) {
            continue;
        }
        tried = text;
        SetEnv("SDL_WINDOWID", text);
        if (loader_.SDL_Init(AFlags) >= 0) {
            return true;
        }
    }
    return false;
}

void TSDLHost::AfterStart(bool AWithWindow, bool AHijack) {
    sdlUp_ = true;
    char name[256] = {};
    if (loader_.SDL_AudioDriverName && loader_.SDL_AudioDriverName(name, sizeof(name))) {
        FFLogger().Log(sender_, llInfo, std::string("using audio driver: ") + name);
    }
    if (loader_.SDL_VideoDriverName && loader_.SDL_VideoDriverName(name, sizeof(name))) {
        FFLogger().Log(sender_, llInfo, std::string("using video driver: ") + name);
    }
    embedded_ = AWithWindow;
    if (AWithWindow && AHijack) {
        std::lock_guard lock(hostLock_);
        attached_ = true;
        host_->SetSink(this);
    }
    for (const int type : {1, 4, 13, 24}) {
        loader_.SDL_EventState(static_cast<Uint8>(type), SDL_IGNORE);
    }
}

void TSDLHost::Fail() {
    const char* error = loader_.SDL_GetError ? loader_.SDL_GetError() : "";
    FLastErrMsg =
        Format("Could not initialize SDL with ScreenHandle(%lu): %s", windowId_.load(), error ? error : "");
    FFLogger().Log(sender_, llError, FLastErrMsg);
    DetachHost();
    windowId_ = 0;
}

void TSDLHost::DoSDLQuit() {
    std::lock_guard sdl(SDLLock());
    DetachHost();
    const bool wasUp = sdlUp_.exchange(false);
    {
        std::lock_guard lock(FUpdateRectLock);
        screen_ = nullptr;
    }
    if (wasUp && loader_.SDL_Quit) {
        loader_.SDL_Quit();
    }
    embedded_ = false;
    windowId_ = 0;
    zeroAreaLogged_ = false;
    ClearDisplayRect();
}

HostSize TSDLHost::ClientSize() const {
    std::lock_guard lock(hostLock_);
    return host_ && !windowLost_ ? host_->ClientSize() : HostSize{};
}

bool TSDLHost::HostOnScreen() const {
    std::lock_guard lock(hostLock_);
    return !host_ || windowLost_ || host_->OnScreen();
}

HostSize TSDLHost::DesktopSize() const {
    // Before the first video mode is set SDL reports the desktop's own mode here.
    const SDL_VideoInfo* info = sdlUp_ && loader_.SDL_GetVideoInfo ? loader_.SDL_GetVideoInfo() : nullptr;
    if (!info || info->current_w < 1 || info->current_h < 1) {
        return HostSize{};
    }
    return HostSize{info->current_w, info->current_h};
}

bool TSDLHost::SetVideoMode(int AWidth, int AHeight) {
    std::lock_guard lock(FUpdateRectLock);
    AWidth = std::min(AWidth, kMaxVideoModeSide);
    if (AWidth <= 0 || AHeight <= 0) {
        screen_ = nullptr;
        if (!zeroAreaLogged_) {
            zeroAreaLogged_ = true;
            FFLogger().Log(sender_, llWarning,
                           Format("The host window has no area (%dx%d): nothing is drawn until it has one",
                                  AWidth, AHeight));
        }
        return true;
    }
    zeroAreaLogged_ = false;
    screen_ = loader_.SDL_SetVideoMode(AWidth, AHeight, 0, kSDLVideoModeFlags);
    return screen_ != nullptr;
}

bool TSDLHost::WindowLost() const {
    return windowLost_ || XWindowFailed(windowId_);
}

void TSDLHost::UpdateScreenPosition() {
    if (embedded_ && attached_) {
        const HostSize size = ClientSize();
        PushSDLEvent(kSDLVideoResize, size.Width, size.Height);
    }
}

void TSDLHost::UpdateDisplayRect(int AX, int AY, int AWidth, int AHeight) {
    const TRect rect{AX, AY, AX + AWidth, AY + AHeight};
    std::lock_guard lock(FDisplayRectLock);
    if (rect != FDisplayRect) {
        FDisplayRect = rect;
    }
}

TRect TSDLHost::DisplayRect() {
    std::lock_guard lock(FDisplayRectLock);
    return FDisplayRect;
}

void TSDLHost::ClearDisplayRect() {
    std::lock_guard lock(FDisplayRectLock);
    FDisplayRect = TRect{};
}

TRect TSDLHost::DisplayToActualRect(TRect R, bool AFileOpen, int AFrameWidth, int AFrameHeight) {
    if (!AFileOpen) {
        return TRect{};
    }
    if (R.left > R.right) {
        std::swap(R.left, R.right);
    }
    if (R.top > R.bottom) {
        std::swap(R.top, R.bottom);
    }
    std::lock_guard lock(FDisplayRectLock);
    const TRect& d = FDisplayRect;
    R.left = std::max(R.left, d.left) - d.left;
    R.right = std::min(R.right, d.right) - d.left;
    R.top = std::max(R.top, d.top) - d.top;
    R.bottom = std::min(R.bottom, d.bottom) - d.top;
    const int width = d.right - d.left;
    const int height = d.bottom - d.top;
    if (width > 0 && AFrameWidth > 0) {
        R.left = static_cast<int>(static_cast<int64_t>(R.left) * AFrameWidth / width);
        R.right = static_cast<int>(static_cast<int64_t>(R.right) * AFrameWidth / width);
    }
    if (height > 0 && AFrameHeight > 0) {
        R.top = static_cast<int>(static_cast<int64_t>(R.top) * AFrameHeight / height);
        R.bottom = static_cast<int>(static_cast<int64_t>(R.bottom) * AFrameHeight / height);
    }
    return R;
}

// The host's messages. None waits for an engine thread: each becomes an SDL event that the play
// thread takes on its next pass.

void TSDLHost::PushSDLEvent(int AType, int AWidth, int AHeight) {
    if (!sdlUp_ || !loader_.SDL_PushEvent) {
        return;
    }
    SDL_Event event{};
    event.type = static_cast<Uint8>(AType);
    if (AType == kSDLVideoResize) {
        event.resize.w = AWidth;
        event.resize.h = AHeight;
    }
    loader_.SDL_PushEvent(&event);
}

void TSDLHost::Paint() {
    PushSDLEvent(kSDLVideoExpose, 0, 0);
}

void TSDLHost::Resized(int AWidth, int AHeight) {
    PushSDLEvent(kSDLVideoResize, AWidth, AHeight);
}

bool TSDLHost::MouseDown(HostMouseButton, int, int) {
    std::lock_guard lock(hostLock_);
    if (host_ && !windowLost_) {
        host_->SetFocus();
    }
    return true;
}

// A close of the video area during playback is swallowed.
bool TSDLHost::Close() {
    return false;
}

bool TSDLHost::Invalidate() {
    return true;
}

void TSDLHost::Destroying() {
    {
        std::lock_guard lock(hostLock_);
        host_ = nullptr;
        attached_ = false;
    }
    if (windowLost_.exchange(true)) {
        return;
    }
    FFLogger().Log(sender_, llError,
                   Format("The host window 0x%lx is being destroyed: the file ends", windowId_.load()));
    if (OnHostLost) {
        OnHostLost();
    }
}
