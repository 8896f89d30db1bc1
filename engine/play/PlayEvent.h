// Reports from the engine to its owner: the ring of pending position and state reports, the thread that
// delivers them, the rules that turn the clocks into position and end-of-file reports, and the hooks
// that hand pictures to the owner.
//
// Engine threads put reports into the ring; one event thread hands them to the owner (on the main
// thread when asked), so that a slow handler never holds up playback. A newer report replaces an older
// one of the same kind that is still waiting.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "engine/base/FFBaseComponent.h"
#include "engine/tools/FormatConverter.h"
#include "platform/Event.h"
#include "platform/Thread.h"

struct TVideoState;

// Ten slots; one always stays empty, so at most nine reports wait.
class TPlayEvent {
public:
    static constexpr int kSlots = 10;

    // Any thread. Replaces the newest waiting item when it is of the same kind, else appends, dropping
    // the oldest when the ring is full.
    void PushEvent(const TEventItem& AItem);
    void PushPosition(int64_t APosition);
    // A state report: the state itself when the owner has a state handler; without one only psStop
    // goes in, as the mark that ends the reports (etStop).
    void PushState(TPlayState AState, bool AHasStateHandler);
    // The oldest waiting item, taken out; etNone when none waits.
    TEventItem PopupEvent();
    // Drops every waiting item.
    void ClearEvents();
    // Set while an item waits (and by ClearEvents).
    platform::TEvent& Event() { return event_; }

private:
    std::mutex FLock;  // guards FHeader, tailer_, events_
    platform::TEvent event_{true, false};
    int FHeader = 0;
    int tailer_ = 0;
    TEventItem events_[kSlots];
};

// How the event thread reaches the owner.
struct TEventDelivery {
    TObject* Sender = nullptr;                       // the player, for the log
    std::function<void(int64_t)> Position;           // the position handler; may be empty
    std::function<void(TPlayState)> State;           // the state handler; may be empty
    std::function<bool()> TriggerEventInMainThread;  // read at each delivery; empty means true
};

// Delivers the ring's reports until it hands over psStop (or meets etStop, or is terminated); the owner
// always gets psStop last.
class TEventThread : public platform::TThread {
public:
    TEventThread(TPlayEvent& ARing, TEventDelivery ADelivery);
    ~TEventThread() override;

    // True when the calling thread is running one of this thread's handler calls: a handler that stops
    // the file. Waiting for this thread there would wait for the caller's own stack to unwind.
    bool DeliveringOnThisStack() const;
    // For a stop made inside a handler: the thread takes nothing more from the ring and ends as soon as
    // the handler call returns, without a final report; the calling thread hands the reports still
    // waiting in the ring to the owner itself, up to and including psStop, so that psStop is still the
    // file's last report and comes before anything of a next file.
    void RetireAndFinish();

protected:
    void Execute() override;

private:
    enum class TNextItem { Delivered, Empty, Last };
    // Takes one item from the ring and hands it over; Last for psStop (AFinalState set) and etStop.
    TNextItem DeliverNext(bool& AFinalState);
    void Deliver(const std::function<void()>& ACall, const char* AWhat);
    void WaitForItem();

    TPlayEvent& ring_;
    TEventDelivery delivery_;
    // The thread that runs a handler call of this thread right now; none between calls.
    std::atomic<std::thread::id> deliveringOn_{};
    std::atomic<bool> retired_{false};
    // The file's last report is being handed over (or has been).
    std::atomic<bool> finishing_{false};
};

// What one position check sees of the file.
struct TPositionFacts {
    bool HasFile = false;
    bool IsImage2 = false;
    bool IsDevice = false;
    bool HasVideo = false;
    bool HasAudio = false;
    int PictqTotalSize = 0;  // pictures queued since the open or the last seek
    bool UseAudioPosition = false;
    bool MasterIsExternal = false;  // the effective master clock is the external clock
    double ExternalSpeed = 1.0;
    bool AudioFrameAvailable = false;
    double VideoClock = 0.0;  // seconds, NaN when none
    double AudioClock = 0.0;
    int64_t StartTime = 0;       // the file's, microseconds
    int64_t FileDuration = -1;   // microseconds; not above 0 when unknown
    int64_t AudioDuration = -1;  // microseconds
    bool ReachEOF = false;
    bool EndEventDone = false;
    // No audio stream, or its decoder has reached its end and every decoded block has gone to the
    // device: the reading's end is the file's end only then (a short file is read long before it plays).
    bool AudioPlayedOut = true;
};

// What one position check decides.
struct TPositionStep {
    bool Checked = false;                   // false: no file, an image sequence, or no clock to read yet
    int64_t CurrentPTS = 0;                 // the position before the clamp to the duration
    int64_t Position = 0;                   // the position after the clamp
    bool Report = false;                    // report Position
    int64_t LastReported = AV_NOPTS_VALUE;  // the last reported position afterwards
    bool End = false;                       // report psEnd
    bool SetEndEventDone = false;           // mark the end as reported (files with video only)
};

// Positions within 20 ms of the last report are not reported again.
inline constexpr int64_t kPositionReportStep = 20000;

// The position rules. ALastReported is AV_NOPTS_VALUE before the first report of a file.
TPositionStep ComputePosition(const TPositionFacts& AFacts, int64_t ALastReported);

// What the play-time limit asks for at a position.
struct TPlayTimeAction {
    bool Stop = false;
    bool Pause = false;
    bool Seek = false;
    int64_t SeekTo = 0;
    TSeekFlags SeekFlags;
};

// APlayTime and AStartTime are the player's settings (AV_NOPTS_VALUE when unset).
TPlayTimeAction PlayTimeAction(int64_t APosition, int64_t AStartTime, int64_t APlayTime, TRepeatType ARepeat);

// Reads the file's record for a position check (the clocks without their serial check).
TPositionFacts GatherPositionFacts(TVideoState* is, bool AUseAudioPosition);

// The owner's hooks, run unsynchronised on the thread that has the picture. Times given to the owner
// are round(pts x 1000000) minus the file's start time, in microseconds; AV_NOPTS_VALUE without a time.
int64_t HookTime(double APTS, int64_t AStartTime);

// Hands ASource to the video hook as the converter's bitmap (its drawing lock held for the call) and,
// unless the handler clears AUpdate, converts the drawn bitmap into ADest. True when ADest was filled;
// a conversion failure or a handler's exception is logged and gives false.
bool DoVideoHook(TFormatConverter& AConverter, TObject* ASender, const TVideoHookEvent& AHandler,
                 const TAVPicture& ASource, const TAVPicture& ADest, double APTS, int64_t AStartTime,
                 int AWidth, int AHeight, AVPixelFormat ADestFormat, AVPixelFormat ASourceFormat);

// Hands a picture's planes to the frame hook; a handler's exception is logged.
void DoFrameHook(TObject* ASender, const TFrameHookEvent& AHandler, const TAVPicture& APicture,
                 AVPixelFormat AFormat, int AWidth, int AHeight, double APTS, int64_t AStartTime);
