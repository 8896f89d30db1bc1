// The play thread of one file: reports psPlay, runs the event loop (SDL events, among them the host
// window's messages, and the refresh passes in between) until the file is closed, then reports psStop.
//
// What a pass shows and when is the player's business: the loop calls it through TPlayLoopOwner.
#pragma once

#include <SDL.h>

#include "engine/base/FFBaseComponent.h"
#include "platform/Event.h"
#include "platform/Thread.h"

class TSDLHost;
class TSDLLoader;

// The engine's own SDL user events.
inline constexpr int kAllocEvent = 24;   // a picture's overlay is to be made on the play thread
inline constexpr int kQuitEvent = 26;    // close the file
inline constexpr int kAspectEvent = 27;  // the aspect ratio changed
// The longest sleep between two looks at the event queue, in seconds: with pictures to show, and for a
// file of sound alone, whose positions (reported in steps of 20 ms) and waves come no faster.
inline constexpr double kRefreshRate = 0.01;
inline constexpr double kSoundOnlyRefreshRate = 0.02;

// What the play loop asks of the player that owns it. Every call comes on the play thread.
class TPlayLoopOwner {
public:
    virtual ~TPlayLoopOwner() = default;

    virtual TObject* Sender() = 0;
    // Sets the play state and reports it.
    virtual void DoState(TPlayState AState) = 0;
    // The player's data lock, held for each refresh pass and each event.
    virtual bool LockData(unsigned ATimeoutMs) = 0;
    virtual void UnlockData() = 0;
    // The player still has the file's record.
    virtual bool HasFile() = 0;
    // A pass is due: the file is not paused, or a forced refresh, a paused seek or a paused open waits.
    virtual bool RefreshDue() = 0;
    // The longest sleep after a pass: kRefreshRate, or kSoundOnlyRefreshRate for sound alone. Asked under
    // the data lock.
    virtual double RefreshInterval() = 0;
    // One refresh pass; may lower ARemainingTime (seconds until the next pass is needed).
    virtual void video_refresh(double& ARemainingTime) = 0;
    // The next pass redraws the picture (expose, aspect change).
    virtual void ForceRefresh() = 0;
    // Makes the overlay the video decoder asked for.
    virtual void alloc_picture() = 0;
    // The output surface has the new size.
    virtual void ScreenResized(int AWidth, int AHeight) = 0;
    // The per-file exit.
    virtual void do_exit() = 0;
    // The loop has started (Open waits for this).
    virtual void SetLooping() = 0;
};

class TPlayThread : public platform::TThread {
public:
    // AStopEvent is reset when the thread starts and set when it ends.
    TPlayThread(TPlayLoopOwner& AOwner, TSDLHost& AHost, TSDLLoader& ALoader, platform::TEvent& AStopEvent);
    ~TPlayThread() override;

protected:
    void Execute() override;

private:
    void event_loop();
    void refresh_loop_wait_event(SDL_Event& AEvent);
    // Handles one event under the data lock; false when the loop ends.
    bool HandleEvent(const SDL_Event& AEvent);
    void LockDataBounded();
    bool WindowLostEnds();

    TPlayLoopOwner& FOwner;
    TSDLHost& host_;
    TSDLLoader& loader_;
    platform::TEvent& FStopEvent;
};
