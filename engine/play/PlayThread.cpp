// The play thread and its event loop.
#include "engine/play/PlayThread.h"

#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/Myutils.h"
#include "engine/load/libsdl.h"
#include "engine/play/SDLHost.h"

namespace {

constexpr int kSDLQuit = 12;
constexpr int kSDLVideoResize = 16;
constexpr int kSDLVideoExpose = 17;
// The data lock is tried in slices; a long wait is logged and the loop keeps trying.
constexpr unsigned kDataLockSliceMs = 100;
constexpr int kDataLockLogSlices = 50;

// Releases the data lock on every way out of a block.
class TDataLockRelease {
public:
    explicit TDataLockRelease(TPlayLoopOwner& AOwner) : FOwner(AOwner) {}
    ~TDataLockRelease() { FOwner.UnlockData(); }
    TDataLockRelease(const TDataLockRelease&) = delete;
    TDataLockRelease& operator=(const TDataLockRelease&) = delete;

private:
    TPlayLoopOwner& FOwner;
};

}  // namespace

TPlayThread::TPlayThread(TPlayLoopOwner& AOwner, TSDLHost& AHost, TSDLLoader& ALoader,
                         platform::TEvent& AStopEvent)
    : platform::TThread("play"), FOwner(AOwner), host_(AHost), loader_(ALoader), FStopEvent(AStopEvent) {}

TPlayThread::~TPlayThread() {
    TerminateAndWait();
}

void TPlayThread::Execute() {
    FStopEvent.ResetEvent();
    try {
        FOwner.DoState(psPlay);
        try {
            event_loop();
        } catch (const std::exception& e) {
            FFLogger().Log(FOwner.Sender(), llFatal, std::string("PlayThread Exception: ") + e.what());
            FOwner.do_exit();
        }
        FOwner.DoState(psStop);
    } catch (...) {
        FStopEvent.SetEvent();
        throw;
    }
    FStopEvent.SetEvent();
}

void TPlayThread::LockDataBounded() {
    for (int slices = 1; !FOwner.LockData(kDataLockSliceMs); ++slices) {
        if (slices % kDataLockLogSlices == 0) {
            FFLogger().Log(FOwner.Sender(), llWarning,
                           Format("PlayThread: the data lock is still held after %d ms", slices * 100));
        }
    }
}

void TPlayThread::event_loop() {
    FOwner.SetLooping();
    for (;;) {
        SDL_Event event{};
        refresh_loop_wait_event(event);
        LockDataBounded();
        TDataLockRelease release(FOwner);
        if (!HandleEvent(event)) {
            return;
        }
    }
}

bool TPlayThread::WindowLostEnds() {
    return host_.WindowLost();
}

void TPlayThread::refresh_loop_wait_event(SDL_Event& AEvent) {
    loader_.SDL_PumpEvents();
    double remaining = 0.0;
    while (loader_.SDL_PeepEvents(&AEvent, 1, SDL_GETEVENT, SDL_ALLEVENTS) <= 0) {
        // A host window that went away, or an owner that is freeing the thread, ends the file as a
        // quit event would.
        if (WindowLostEnds() || Terminated()) {
            AEvent = SDL_Event{};
            AEvent.type = kQuitEvent;
            return;
        }
        if (remaining > 0.0) {
            std::this_thread::sleep_for(std::chrono::microseconds(std::llround(remaining * 1000000.0)));
        }
        remaining = kRefreshRate;
        if (FOwner.RefreshDue()) {
            LockDataBounded();
            TDataLockRelease release(FOwner);
            remaining = FOwner.RefreshInterval();
            FOwner.video_refresh(remaining);
        }
        loader_.SDL_PumpEvents();
    }
}

bool TPlayThread::HandleEvent(const SDL_Event& AEvent) {
    if (!FOwner.HasFile()) {
        FOwner.do_exit();
        return false;
    }
    switch (AEvent.type) {
        case kSDLQuit:
        case kQuitEvent:
            if (WindowLostEnds()) {
                FFLogger().Log(FOwner.Sender(), llError,
                               Format("The host window 0x%lx is gone: the file ends", host_.WindowId()));
            }
            FOwner.do_exit();
            return false;
        case kSDLVideoResize: {
            if (!host_.SetVideoMode(AEvent.resize.w, AEvent.resize.h)) {
                FFLogger().Log(FOwner.Sender(), llFatal, "Failed to set video mode");
                FOwner.do_exit();
                return false;
            }
            if (SDL_Surface* screen = host_.Screen()) {
                FOwner.ScreenResized(screen->w, screen->h);
            }
            break;
        }
        case kSDLVideoExpose:
        case kAspectEvent:
            FOwner.ForceRefresh();
            break;
        case kAllocEvent:
            FOwner.alloc_picture();
            break;
        default:
            break;
    }
    return true;
}
