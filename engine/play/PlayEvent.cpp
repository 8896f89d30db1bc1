// The event ring, the event thread and the position rules.
#include "engine/play/PlayEvent.h"

#include <cmath>
#include <cstdlib>
#include <exception>
#include <string>

#include "engine/base/FFLog.h"
#include "engine/base/Myutils.h"
#include "engine/play/VideoState.h"

namespace {

int NextSlot(int ASlot) {
    return (ASlot + 1) % TPlayEvent::kSlots;
}

int PrevSlot(int ASlot) {
    return (ASlot + TPlayEvent::kSlots - 1) % TPlayEvent::kSlots;
}

// Event thread: how long one wait for the ring lasts before it looks at its terminate flag again.
constexpr unsigned kEventWaitStepMs = 100;

}  // namespace

// The ring.

void TPlayEvent::PushEvent(const TEventItem& AItem) {
    std::lock_guard lock(FLock);
    if (FHeader == tailer_ || events_[PrevSlot(tailer_)].EventType != AItem.EventType) {
        tailer_ = NextSlot(tailer_);
        if (tailer_ == FHeader) {
            FHeader = NextSlot(FHeader);
        }
    }
    events_[PrevSlot(tailer_)] = AItem;
    event_.SetEvent();
}

void TPlayEvent::PushPosition(int64_t APosition) {
    TEventItem item;
    item.EventType = etPosition;
    item.Position = APosition;
    PushEvent(item);
}

void TPlayEvent::PushState(TPlayState AState, bool AHasStateHandler) {
    TEventItem item;
    if (AHasStateHandler) {
        item.EventType = etState;
        item.State = AState;
    } else if (AState == psStop) {
        item.EventType = etStop;
    } else {
        return;
    }
    PushEvent(item);
}

TEventItem TPlayEvent::PopupEvent() {
    std::lock_guard lock(FLock);
    TEventItem item;
    if (FHeader != tailer_) {
        item = events_[FHeader];
        events_[FHeader] = TEventItem();
        FHeader = NextSlot(FHeader);
    }
    if (FHeader == tailer_) {
        event_.ResetEvent();
    }
    return item;
}

void TPlayEvent::ClearEvents() {
    std::lock_guard lock(FLock);
    FHeader = 0;
    tailer_ = 0;
    for (TEventItem& item : events_) {
        item = TEventItem();
    }
    event_.SetEvent();
}

// The event thread.

TEventThread::TEventThread(TPlayEvent& ARing, TEventDelivery ADelivery)
    : platform::TThread("event"), ring_(ARing), delivery_(std::move(ADelivery)) {}

TEventThread::~TEventThread() {
    TerminateAndWait();
}

void TEventThread::Execute() {
    bool finalState = false;
    while (!Terminated()) {
        if (DeliverNext(finalState) == TNextItem::Last) {
            break;
        }
        WaitForItem();
    }
    // A retired thread leaves the last report to the thread that retired it.
    if (!finalState && !retired_ && delivery_.State) {
        finishing_ = true;
        Deliver([this] { delivery_.State(psStop); }, "OnState");
    }
}

TEventThread::TNextItem TEventThread::DeliverNext(bool& AFinalState) {
    const TEventItem item = ring_.PopupEvent();
    if (item.EventType == etPosition) {
        const int64_t pts = item.Position;
        if (delivery_.Position) {
            Deliver([this, pts] { delivery_.Position(pts); }, "OnPosition");
        }
    } else if (item.EventType == etState) {
        const TPlayState state = item.State;
        if (state == psStop) {
            finishing_ = true;
        }
        if (delivery_.State) {
            Deliver([this, state] { delivery_.State(state); }, "OnState");
        }
        if (state == psStop) {
            AFinalState = true;
            return TNextItem::Last;
        }
    } else if (item.EventType == etStop) {
        return TNextItem::Last;
    } else {
        return TNextItem::Empty;
    }
    return TNextItem::Delivered;
}

bool TEventThread::DeliveringOnThisStack() const {
    return deliveringOn_.load() == std::this_thread::get_id();
}

void TEventThread::RetireAndFinish() {
    retired_ = true;
    Terminate();
    // The handler on the stack may itself be the file's last report.
    if (finishing_.exchange(true)) {
        return;
    }
    bool finalState = false;
    for (;;) {
        const TNextItem next = DeliverNext(finalState);
        if (next != TNextItem::Delivered) {
            break;
        }
    }
    if (!finalState && delivery_.State) {
        Deliver([this] { delivery_.State(psStop); }, "OnState");
    }
}

void TEventThread::WaitForItem() {
    while (!Terminated() && ring_.Event().WaitFor(kEventWaitStepMs) != platform::wrSignaled) {
    }
}

// A handler's exception (or a main thread that no longer serves synchronised calls) is logged; the
// thread goes on delivering.
void TEventThread::Deliver(const std::function<void()>& ACall, const char* AWhat) {
    const bool inMainThread = !delivery_.TriggerEventInMainThread || delivery_.TriggerEventInMainThread();
    // Marks the thread that runs the handler for as long as it runs (nested calls restore the mark).
    const std::function<void()> marked = [this, &ACall] {
        const std::thread::id previous = deliveringOn_.exchange(std::this_thread::get_id());
        struct TRestore {
            std::atomic<std::thread::id>& Mark;
            std::thread::id Previous;
            ~TRestore() { Mark.store(Previous); }
        } restore{deliveringOn_, previous};
        ACall();
    };
    try {
        if (inMainThread) {
            MySynchronize(marked);
        } else {
            marked();
        }
    } catch (const std::exception& e) {
        FFLogger().Log(delivery_.Sender, llError, std::string("Error occurs ") + AWhat + ": " + e.what());
    }
}

// The position rules.

namespace {

bool UseVideoClock(const TPositionFacts& f) {
    if (!f.HasVideo) {
        return false;
    }
    if (!f.HasAudio) {
        return true;
    }
    return f.PictqTotalSize >= 2 && (!f.UseAudioPosition || (f.MasterIsExternal && f.ExternalSpeed != 1.0));
}

}  // namespace

TPositionStep ComputePosition(const TPositionFacts& f, int64_t ALastReported) {
    TPositionStep step;
    step.LastReported = ALastReported;
    if (!f.HasFile || f.IsImage2) {
        return step;
    }
    const bool endDue = !f.IsDevice && f.ReachEOF && !f.EndEventDone && f.AudioPlayedOut;
    double value = 0.0;
    const bool useVideo = UseVideoClock(f);
    if (useVideo) {
        value = f.VideoClock;
    } else {
        if (!f.HasAudio || !f.AudioFrameAvailable) {
            // A sound stream that has yielded nothing by its end holds nothing back: no position, but
            // the end.
            if (f.HasAudio && endDue) {
                step.Checked = true;
                step.CurrentPTS = step.Position = ALastReported == AV_NOPTS_VALUE ? 0 : ALastReported;
                step.SetEndEventDone = f.HasVideo;
                step.End = true;
            }
            return step;
        }
        value = f.AudioClock;
    }
    step.Checked = true;
    int64_t p = std::isnan(value) ? 0 : std::llround(value * 1000000.0) - f.StartTime;
    // An audio track that ends before the file reports the file's end.
    if (!useVideo && f.AudioDuration > 0 && p >= f.AudioDuration && f.FileDuration > p) {
        p = f.FileDuration;
    }
    step.CurrentPTS = p;
    bool force = ALastReported == AV_NOPTS_VALUE;
    if (f.FileDuration > 0 && p >= f.FileDuration) {
        p = f.FileDuration;
        // The end is reported once, however close the last report was.
        force = force || p != ALastReported;
    }
    step.Position = p;
    if (force || std::llabs(p - ALastReported) > kPositionReportStep) {
        step.Report = true;
        step.LastReported = p;
    }
    if (endDue) {
        step.SetEndEventDone = f.HasVideo;
        step.End = true;
    }
    return step;
}

TPlayTimeAction PlayTimeAction(int64_t APosition, int64_t AStartTime, int64_t APlayTime,
                               TRepeatType ARepeat) {
    TPlayTimeAction action;
    if (APlayTime == AV_NOPTS_VALUE) {
        return action;
    }
    const bool hasStart = AStartTime != AV_NOPTS_VALUE;
    const int64_t limit = hasStart ? AStartTime + APlayTime : APlayTime;
    if (APosition < limit) {
        return action;
    }
    const auto seekBack = [&] {
        action.Seek = true;
        action.SeekTo = hasStart ? AStartTime : 0;
        action.SeekFlags = hasStart ? TSeekFlags{} : TSeekFlags{sfAny};
    };
    switch (ARepeat) {
        case rtNone:
            break;
        case rtStop:
            action.Stop = true;
            break;
        case rtLoop:
            seekBack();
            break;
        case rtPause:
            action.Pause = true;
            break;
        case rtRewind:
            action.Pause = true;
            seekBack();
            break;
    }
    return action;
}

namespace {

double ClockWithoutSerialCheck(TClock* c) {
    bool previous = true;
    {
        std::lock_guard lock(c->lock);
        previous = c->check_serial;
    }
    clock_set_check_serial(c, false);
    const double value = clock_value(c);
    clock_set_check_serial(c, previous);
    return value;
}

}  // namespace

TPositionFacts GatherPositionFacts(TVideoState* is, bool AUseAudioPosition) {
    TPositionFacts f;
    if (!is) {
        return f;
    }
    f.HasFile = true;
    f.IsImage2 = is->IsImage2 != 0;
    f.IsDevice = is->IsDevice != 0;
    f.HasVideo = is->video_st != nullptr;
    f.HasAudio = is->audio_st != nullptr;
    f.PictqTotalSize = is->pictq_total_size;
    f.UseAudioPosition = AUseAudioPosition;
    f.MasterIsExternal = master_sync_kind(is) == AV_SYNC_EXTERNAL_CLOCK;
    f.ExternalSpeed = clock_speed(&is->extclk);
    f.AudioFrameAvailable = is->audio_frame_available == 1;
    f.VideoClock = ClockWithoutSerialCheck(&is->vidclk);
    f.AudioClock = ClockWithoutSerialCheck(&is->audclk);
    f.StartTime = is->StartTime;
    f.FileDuration = is->FileDuration;
    f.AudioDuration = is->AudioDuration;
    f.ReachEOF = is->ReachEOF != 0;
    f.EndEventDone = is->EndEventDone != 0;
    f.AudioPlayedOut = !is->audio_st || is->audio_finished == is->audioq.serial;
    return f;
}

// The hooks.

int64_t HookTime(double APTS, int64_t AStartTime) {
    // A picture or block without a time stamp has no position.
    if (!std::isfinite(APTS)) {
        return AV_NOPTS_VALUE;
    }
    return std::llround(APTS * 1000000.0) - AStartTime;
}

bool DoVideoHook(TFormatConverter& AConverter, TObject* ASender, const TVideoHookEvent& AHandler,
                 const TAVPicture& ASource, const TAVPicture& ADest, double APTS, int64_t AStartTime,
                 int AWidth, int AHeight, AVPixelFormat ADestFormat, AVPixelFormat ASourceFormat) {
    if (!AHandler) {
        return false;
    }
    if (!AConverter.PictureToRGB(ASource, ASourceFormat, AWidth, AHeight)) {
        FFLogger().Log(ASender, llError, AConverter.LastErrMsg());
        return false;
    }
    bool update = true;
    {
        TBitmap& bitmap = AConverter.Bitmap();
        std::lock_guard canvas(bitmap);
        try {
            AHandler(ASender, &bitmap, HookTime(APTS, AStartTime), update);
        } catch (const std::exception& e) {
            FFLogger().Log(ASender, llError, std::string("Error occurs OnVideoHook: ") + e.what());
            return false;
        }
    }
    if (!update) {
        return false;
    }
    AConverter.BitmapToRGB();
    if (!AConverter.RGBToPicture(ADest, ADestFormat, AWidth, AHeight)) {
        FFLogger().Log(ASender, llError, AConverter.LastErrMsg());
        return false;
    }
    return true;
}

void DoFrameHook(TObject* ASender, const TFrameHookEvent& AHandler, const TAVPicture& APicture,
                 AVPixelFormat AFormat, int AWidth, int AHeight, double APTS, int64_t AStartTime) {
    if (!AHandler) {
        return;
    }
    try {
        AHandler(ASender, APicture.data, APicture.linesize, AFormat, AWidth, AHeight,
                 HookTime(APTS, AStartTime));
    } catch (const std::exception& e) {
        FFLogger().Log(ASender, llError, std::string("Error occurs OnFrameHook: ") + e.what());
    }
}
