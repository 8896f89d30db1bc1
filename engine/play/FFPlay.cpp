// The player component: its state, the library operations, and the open and stop protocols.
#include "engine/play/FFPlay.h"

#include <chrono>
#include <limits>
#include <stdexcept>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/load/libsdl.h"

namespace {

constexpr const char* kSDLLibraryFile = "libSDL-1.2.so.0";
// Bound on the last wait of a stop: the play thread ends right after the per-file exit.
constexpr unsigned kStopEventBoundMs = 30000;
// An owner's call waits this long for the data lock (held for a refresh pass, an event or a file's
// close) before it gives up; the file's close logs at this interval while it waits.
constexpr unsigned kOwnerLockBoundMs = 10000;
constexpr unsigned kDataLockSliceMs = 10;

}  // namespace

TCustomPlayer::TCustomPlayer()
    : FSDLLoader(std::make_unique<TSDLLoader>()),
      sdlHost_(std::make_unique<TSDLHost>(this, *FSDLLoader)),
      FOptions(std::make_unique<TFFOptions>()),
      FDecoder(std::make_unique<TCustomDecoder>()) {
    // A host window that goes away ends the file; its threads are joined by the next stop or open.
    sdlHost_->OnHostLost = [this] { PushQuitEvent(nullptr); };
    ResetFlags();
}

TCustomPlayer::~TCustomPlayer() {
    OnPosition = nullptr;
    OnState = nullptr;
    OnVideoHook = nullptr;
    OnFrameHook = nullptr;
    OnAudioHook = nullptr;
    Stop(true);
    // An asynchronous open still in progress is cancelled by the stop above; wait until it has
    // finished one way or the other, then close whatever it left.
    for (int i = 0; i < 3000 && FTryOpen; ++i) {
        Stop(true);
        SleepPumping(10);
    }
    Stop(true);
    do_exit();
    JoinPlayThread();
    FDecoder.reset();
}

// Library operations.

bool TCustomPlayer::AVLibLoaded() {
    return FFLoader().Loaded(CPlayerLibraries) && (!FAutoLoadSDL || FSDLLoader->Loaded());
}

bool TCustomPlayer::LoadAVLib(const TPathFileName& APath, bool AAutoLoadSDL) {
    FFLoader().SetLibraryPath(APath);
    if (!FFLoader().Load(CPlayerLibraries)) {
        SetLastErrMsg(FFLoader().LastErrMsg());
        return false;
    }
    InitOptions();
    FAutoLoadSDL = AAutoLoadSDL;
    bool result = true;
    if (AAutoLoadSDL) {
        result = LoadSDLLib(APath, kSDLLibraryFile);
    }
    // Tempo change needs SoundTouch; playback goes on without it.
    FFLoader().Load(libSoundTouch);
    return result;
}

void TCustomPlayer::UnloadAVLib() {
    Stop(true);
    SetEarlyOpen(nullptr);
    FFLoader().Unload(CPlayerLibraries);
    if (FAutoLoadSDL) {
        FSDLLoader->Unload();
    }
    FFLoader().Unload(libSoundTouch);
}

bool TCustomPlayer::SDLLibLoaded() {
    return FSDLLoader->Loaded();
}

bool TCustomPlayer::LoadSDLLib(const TPathFileName& APath, const TPathFileName& AFile) {
    if (FSDLLoader->Load(APath, AFile)) {
        return true;
    }
    SetLastErrMsg(FSDLLoader->LastErrMsg());
    return false;
}

void TCustomPlayer::UnloadSDLLib() {
    // The file's threads and the audio device call SDL until the file is stopped.
    Stop(true);
    FSDLLoader->Unload();
}

// Errors and states.

std::string TCustomPlayer::LastErrMsg() const {
    std::lock_guard lock(errLock_);
    return FLastErrMsg;
}

void TCustomPlayer::SetLastErrMsg(const std::string& AMsg) {
    std::lock_guard lock(errLock_);
    FLastErrMsg = AMsg;
}

void TCustomPlayer::DoErrLog(const std::string& AMsg, bool ASetLastError) {
    FFLogger().Log(this, llError, AMsg);
    if (ASetLastError) {
        SetLastErrMsg(AMsg);
    }
}

// Until the event thread and its ring exist, a state goes to OnState at once, on the main thread when
// TriggerEventInMainThread. Every wait of Open and Stop pumps synchronised calls, so this cannot block
// them.
void TCustomPlayer::DoState(TPlayState AState) {
    FState = AState;
    // While a file plays, the engine's threads report through the event ring, so that they never wait
    // for the owner and the owner gets the reports in order, psStop last.
    // (psPlay comes before the loop runs and is handed over at once, so that Open returns after it.)
    if (eventsRunning_ && FLooping && !IsMainThread()) {
        FPlayEvent.PushState(AState, OnState != nullptr);
        return;
    }
    TPlayStateEvent handler = OnState;
    if (!handler) {
        return;
    }
    // While the handler runs for an engine thread that waits for it, a stop inside the handler must not
    // wait for that thread: it is marked here, and the thread ends the file once the handler returns.
    const std::thread::id reporter = std::this_thread::get_id();
    // An engine thread that runs the handler itself cannot wait for its own end either.
    auto call = [this, handler, AState, reporter] {
        const bool marked = std::this_thread::get_id() != reporter || !IsMainThread();
        if (marked) {
            stateReportOn_ = std::this_thread::get_id();
        }
        try {
            handler(this, AState);
        } catch (...) {
            if (marked) {
                stateReportOn_ = std::thread::id();
            }
            throw;
        }
        if (marked) {
            stateReportOn_ = std::thread::id();
        }
    };
    try {
        if (TriggerEventInMainThread) {
            MySynchronize(call);
        } else {
            call();
        }
    } catch (const std::exception& e) {
        FFLogger().Log(this, llError, std::string("Error occurs OnState: ") + e.what());
    }
    if (stopDeferred_.exchange(false) && FSDLLoader->SDL_PushEvent) {
        SDL_Event event{};
        event.type = kQuitEvent;
        FSDLLoader->SDL_PushEvent(&event);
    }
}

void TCustomPlayer::ResetFlags() {
    FState = psStop;
    FLastPTS = AV_NOPTS_VALUE;
    FCurrentPTS = -1;
    wanted_audio_stream = -1;
    wanted_video_stream = -1;
    wanted_subtitle_stream = -1;
    seek_by_bytes = -1;
    FFrameWidth = 0;
    FFrameHeight = 0;
    if (!FLoading) {
        FForceFormat = nullptr;
        startTime_ = AV_NOPTS_VALUE;
        PlayTime = AV_NOPTS_VALUE;
        RepeatType = rtRewind;
        VerticalFlip = false;
        audio_codec_name.clear();
        video_codec_name.clear();
        subtitle_codec_name.clear();
        InitOptions();
    }
    FSeekEvent.SetEvent();
    FSeeking = false;
}

void TCustomPlayer::InitOptions() {
    if (FFLoader().Loaded(CPlayerLibraries)) {
        std::lock_guard lock(optionsLock_);
        FOptions->init_opts();
    }
}

void TCustomPlayer::SleepPumping(unsigned AMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
    if (IsMainThread()) {
        MyProcessMessages();
    }
}

// Opening.

void TCustomPlayer::SetEarlyOpen(std::unique_ptr<TEarlyOpen> AEarlyOpen) {
    std::unique_ptr<TEarlyOpen> dropped;
    std::lock_guard lock(FEarlyOpenLock);
    dropped = std::move(FEarlyOpen);
    FEarlyOpen = std::move(AEarlyOpen);
}

bool TCustomPlayer::Open(const TPathFileName& AFileName, void* AScreenHandle, bool APaused) {
    return DoOpen(AFileName, AScreenHandle, APaused, true);
}

void TCustomPlayer::TryOpen(const TPathFileName& AFileName, void* AScreenHandle, bool APaused) {
    DoOpen(AFileName, AScreenHandle, APaused, false);
}

bool TCustomPlayer::DoOpen(const TPathFileName& AFileName, void* AScreenHandle, bool APaused, bool AWait) {
    if (FTryOpen) {
        DoErrLog("Current trying open is not completed.");
        return false;
    }
    if (!FFLoader().Loaded(CPlayerLibraries)) {
        DoErrLog("FFmpeg libraries not loaded.");
        return false;
    }
    if (!SDLLibLoaded()) {
        DoErrLog("SDL not loaded.");
        return false;
    }
    // The previous file is stopped before the options are read: its exit may renew them.
    FLoading = true;
    Stop(true);
    ReleaseFailedOpen();
    FLoading = false;
    {
        std::lock_guard lock(optionsLock_);
        int64_t flags = 0;
        if (FOptions->sws_opts() && ff::av_opt_get_int(FOptions->sws_opts(), "sws_flags", 0, &flags) >= 0) {
            Fsws_flags = static_cast<int>(flags);
        }
    }
    JoinPlayThread();
    FLastPTS = AV_NOPTS_VALUE;
    // Messages and calls that the previous file's end left are handled before SDL starts again; no
    // sleep is needed for that, as every thread of that file has been joined.
    if (IsMainThread()) {
        MyProcessMessages();
    }
    {
        std::lock_guard lock(SDLLock());
        if (!DoSDLInit(AScreenHandle)) {
            return false;
        }
    }
    if (DisableDisplay) {
        DisableVideo = true;
    } else {
        const HostSize desktop = sdlHost_->DesktopSize();
        Ffs_screen_width = desktop.Width;
        Ffs_screen_height = desktop.Height;
    }
    FTryOpen = true;
    FScreenHandle = AScreenHandle;
    const bool opened = stream_open(AFileName, FForceFormat, APaused, AWait);
    if (opened) {
        fileName_ = AFileName;
        if (AWait) {
            DoStreamOpened();
        }
    } else {
        FTryOpen = false;
        FScreenHandle = nullptr;
        do_exit();
        DoSDLQuit();
    }
    // Options given before an open apply to that open only.
    InitOptions();
    return opened;
}

void TCustomPlayer::DoStreamOpened() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    try {
        FDecoder->SetFileHandle(is ? is->ic : nullptr);
    } catch (const std::exception& e) {
        DoErrLog(e.what(), false);
    }
    if (TriggerEventInMainThread) {
        MySynchronize([this] { DoFileOpen(); });
    } else {
        DoFileOpen();
    }
    StartPlayThread();
    FTryOpen = false;
}

void TCustomPlayer::DoFileOpen() {
    const std::shared_ptr<TVideoState> file = HeldFile();
    TVideoState* is = file.get();
    if (is && OnFileOpen) {
        int width = -1;
        int height = -1;
        if (is->video_avctx && is->video_avctx->width > 0) {
            width = is->video_avctx->width;
            height = is->video_avctx->height;
        }
        const int64_t duration = is->IsImage2 ? 0 : is->FileDuration;
        try {
            OnFileOpen(this, duration, width, height, ScreenWidth, ScreenHeight);
        } catch (const std::exception& e) {
            FFLogger().Log(this, llError, std::string("Error occurs OnFileOpen: ") + e.what());
        } catch (...) {
            FFLogger().Log(this, llError, "Error occurs OnFileOpen");
        }
    }
    // Without a size from the owner the output takes the host window's client area.
    if ((ScreenWidth < 1 || ScreenHeight < 1) && sdlHost_->Embedded()) {
        const HostSize size = sdlHost_->ClientSize();
        ScreenWidth = size.Width;
        ScreenHeight = size.Height;
    }
}

void TCustomPlayer::DoOpenFailed() {
    if (OnOpenFailed) {
        try {
            OnOpenFailed(this);
        } catch (const std::exception& e) {
            FFLogger().Log(this, llError, std::string("Error occurs OnOpenFailed: ") + e.what());
        }
    }
    FTryOpen = false;
}

// The screen handle is the owner's host window (null: SDL's own window).
bool TCustomPlayer::DoSDLInit(void* AScreenHandle) {
    TSDLStartSettings settings;
    settings.AudioDriver = AudioDriver;
    settings.VideoDriver = VideoDriver;
    settings.DisableAudio = DisableAudio;
    settings.DisableDisplay = DisableDisplay;
    settings.HijackWndProc = HijackWndProc;
    if (!sdlHost_->DoSDLInit(static_cast<HostWindow*>(AScreenHandle), settings)) {
        SetLastErrMsg(sdlHost_->LastErrMsg());
        return false;
    }
    return true;
}

void TCustomPlayer::DoSDLQuit() {
    sdlHost_->DoSDLQuit();
}

// The play thread runs the play loop; the event thread hands its reports to the owner.

void TCustomPlayer::StartPlayThread() {
    // A quit asked for before the loop runs (a stop inside OnFileOpen) is kept: the loop handles it.
    FLooping = false;
    FStopEvent.ResetEvent();
    FPlayEvent.ClearEvents();
    FPlayEvent.PopupEvent();
    {
        TEventDelivery delivery;
        delivery.Sender = this;
        delivery.Position = [this](int64_t APosition) {
            if (TPositionEvent handler = OnPosition) {
                handler(this, APosition);
            }
        };
        delivery.State = [this](TPlayState AState) {
            if (TPlayStateEvent handler = OnState) {
                handler(this, AState);
            }
        };
        delivery.TriggerEventInMainThread = [this] { return TriggerEventInMainThread; };
        std::lock_guard lock(eventThreadLock_);
        FEventThread = std::make_unique<TEventThread>(FPlayEvent, std::move(delivery));
        FEventThread->Start();
        eventsRunning_ = true;
    }
    auto thread = std::make_unique<TPlayThread>(*this, *sdlHost_, *FSDLLoader, FStopEvent);
    platform::TThread* started = thread.get();
    {
        std::lock_guard lock(playThreadLock_);
        playThread_ = std::move(thread);
        started->Start();
    }
    while (!FLooping && !started->Finished()) {
        SleepPumping(10);
    }
}

void TCustomPlayer::JoinPlayThread() {
    ReapRetiredEventThreads();
    std::unique_ptr<platform::TThread> thread;
    {
        std::lock_guard lock(playThreadLock_);
        thread = std::move(playThread_);
    }
    if (thread) {
        thread->WaitFor();
    }
    // The play thread's last report is psStop; the event thread ends once it has handed it over.
    std::unique_ptr<TEventThread> events;
    {
        std::lock_guard lock(eventThreadLock_);
        events = std::move(FEventThread);
        eventsRunning_ = false;
    }
    if (!events) {
        return;
    }
    FPlayEvent.PushState(psStop, OnState != nullptr);
    if (!events->DeliveringOnThisStack()) {
        events->WaitFor();
        return;
    }
    // A handler of this event thread is stopping the file: the thread cannot end before that handler
    // returns. It is kept until then; the reports left in the ring, psStop last, are handed over here.
    TEventThread* retired = events.get();
    {
        std::lock_guard lock(eventThreadLock_);
        retiredEventThreads_.push_back(std::move(events));
    }
    retired->RetireAndFinish();
}

// Joins the retired event threads whose handler has returned (they end right after it).
void TCustomPlayer::ReapRetiredEventThreads() {
    std::vector<std::unique_ptr<TEventThread>> ending;
    {
        std::lock_guard lock(eventThreadLock_);
        std::erase_if(retiredEventThreads_, [&](std::unique_ptr<TEventThread>& AThread) {
            if (AThread->DeliveringOnThisStack()) {
                return false;
            }
            ending.push_back(std::move(AThread));
            return true;
        });
    }
    for (std::unique_ptr<TEventThread>& thread : ending) {
        if (!thread->WaitFor(kStopEventBoundMs)) {
            FFLogger().Log(this, llError, "Stop: a retired event thread did not end in time; kept for later");
            std::lock_guard lock(eventThreadLock_);
            retiredEventThreads_.push_back(std::move(thread));
        }
    }
}

void TCustomPlayer::PushQuitEvent(void* data) {
    (void)data;  // never read: the record may be gone by the time the quit is handled
    quitRequested_ = true;
    quitEvent_.SetEvent();
    if (FLooping && FSDLLoader->SDL_PushEvent) {
        SDL_Event event{};
        event.type = kQuitEvent;
        FSDLLoader->SDL_PushEvent(&event);
    }
}

void TCustomPlayer::PushAspectEvent(void* data) {
    // The picture's rectangle is recomputed by the video output on its next display.
    (void)data;
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        is->force_refresh = 1;
    }
}

// Stopping.

void TCustomPlayer::Stop(bool AWaitForStop) {
    if (const std::shared_ptr<TVideoState> file = HeldFile()) {
        TVideoState* is = file.get();
        if (is->paused) {
            stream_toggle_pause(is);
        }
        is->step = 0;
        PushQuitEvent(is);
        if (AWaitForStop && stateReportOn_.load() == std::this_thread::get_id()) {
            // Inside a state report that the play thread waits for: waiting here would never end. The
            // play thread ends the file as soon as the report returns; psStop follows as usual.
            stopDeferred_ = true;
        } else if (AWaitForStop) {
            WaitForStop();
        }
        return;
    }
    ReapRetiredEventThreads();
    FLastRead = 0;
    std::lock_guard lock(exitLock_);
    if (TVideoState* opening = FVideoStateCB) {
        opening->abort_request = 1;
    }
    if (ownedFile_ && ownedFile_->FileOpened == 0) {
        ownedFile_->abort_request = 1;
    }
}

void TCustomPlayer::WaitForStop() {
    int tries = 1;
    for (;;) {
        if (WaitStopEvent(100)) {
            break;
        }
        if (!FVideoState) {
            break;
        }
        if (FDataLock.WaitFor(100) != platform::wrSignaled) {
            continue;
        }
        ++tries;
        TVideoState* is = FVideoState;
        const bool finish = !is || (tries > 10 && is->Reading) || tries > 20;
        if (finish) {
            if (is) {
                do_exit();
            }
            FDataLock.Release();
            break;
        }
        PushQuitEvent(is);
        FDataLock.Release();
    }
    if (!WaitStopEvent(kStopEventBoundMs)) {
        FFLogger().Log(this, llError, "Stop: the play thread did not end in time; waiting for it");
    }
    JoinPlayThread();
}

// Waits for the play thread's end in short slices, so that a synchronised call it makes on its way out
// (its last state report) runs at once on the main thread.
bool TCustomPlayer::WaitStopEvent(unsigned ATimeoutMs) {
    for (unsigned waited = 0; waited < ATimeoutMs; waited += 10) {
        if (FStopEvent.WaitFor(10) == platform::wrSignaled) {
            return true;
        }
        if (IsMainThread()) {
            MyProcessMessages();
        }
    }
    return false;
}

void TCustomPlayer::ReleaseFailedOpen() {
    bool failed = false;
    {
        std::lock_guard lock(exitLock_);
        failed = ownedFile_ && FVideoState == nullptr && ownedFile_->FileOpened == -2;
    }
    if (failed) {
        do_exit();
    }
}

bool TCustomPlayer::ReleaseState() {
    // Under the data lock no owner's call is using the file's input, streams or graphs; one that holds
    // the record only keeps it alive until it returns.
    while (!LockDataPumping("The file's close")) {
    }
    std::shared_ptr<TVideoState> state;
    {
        std::lock_guard lock(exitLock_);
        state = std::move(ownedFile_);
        if (state) {
            PublishFile(nullptr);
            stream_close(state.get());
            FVideoStateCB = nullptr;
        }
    }
    FDataLock.Release();
    return state != nullptr;
}

std::shared_ptr<TVideoState> TCustomPlayer::HeldFile() const {
    std::lock_guard lock(publishLock_);
    return published_;
}

void TCustomPlayer::PublishFile(TVideoState* is) {
    std::lock_guard lock(publishLock_);
    published_ = is && ownedFile_.get() == is ? ownedFile_ : nullptr;
    FVideoState = published_.get();
}

bool TCustomPlayer::LockDataPumping(const char* AWhat) {
    for (unsigned waited = 0; waited < kOwnerLockBoundMs; waited += kDataLockSliceMs) {
        if (FDataLock.WaitFor(kDataLockSliceMs) == platform::wrSignaled) {
            return true;
        }
        // The holder may be waiting for a call that only the main thread runs.
        if (IsMainThread()) {
            MyProcessMessages();
        }
    }
    FFLogger().Log(this, llWarning, Format("%s: the data lock is still held after %u ms", AWhat, kOwnerLockBoundMs));
    return false;
}

TCustomPlayer::TFileCall::TFileCall(TCustomPlayer& APlayer, const char* AWhat) : player_(APlayer) {
    if (!player_.HeldFile()) {
        return;
    }
    locked_ = player_.LockDataPumping(AWhat);
    if (locked_) {
        // Looked up again under the lock: a close that ran meanwhile has unpublished the file.
        file_ = player_.HeldFile();
    }
}

TCustomPlayer::TFileCall::~TFileCall() {
    if (locked_) {
        player_.FDataLock.Release();
    }
}

// The per-file exit.

void TCustomPlayer::stream_close(TVideoState* is) {
    is->abort_request = 1;
    is->continue_read_thread.Notify();
    if (is->read_tid) {
        // Every wait of the read thread is interruptible (its blocking opens are made without
        // blocking), so it ends; nothing it uses may go before it has, so a late end is logged and
        // waited for.
        while (!is->read_tid->WaitFor(kStopEventBoundMs)) {
            FFLogger().Log(this, llError, "Stop: the read thread did not end in time; waiting for it");
        }
        is->read_tid.reset();
    }
    packet_queue_destroy(&is->videoq);
    packet_queue_destroy(&is->audioq);
    packet_queue_destroy(&is->subtitleq);
    free_video_output(is);
}

void TCustomPlayer::do_exit() {
    if (ReleaseState()) {
        DoSDLQuit();
    }
    ResetFlags();
}

void TCustomPlayer::DoReleaseResourceOnFailed(TVideoState* is) {
    std::shared_ptr<TVideoState> state;
    {
        std::lock_guard lock(exitLock_);
        if (ownedFile_.get() != is) {
            return;
        }
        state = std::move(ownedFile_);
        PublishFile(nullptr);
    }
    stream_close(is);
    FVideoStateCB = nullptr;
}

// Properties with behaviour.

bool TCustomPlayer::Paused() const {
    const std::shared_ptr<TVideoState> is = HeldFile();
    return !is || is->paused;
}

int TCustomPlayer::QueueSize() const {
    const std::shared_ptr<TVideoState> is = HeldFile();
    return is ? is->audioq.size + is->videoq.size : -1;
}

void TCustomPlayer::SetAspectRatio(float AValue) {
    if (AValue != aspectRatio_) {
        aspectRatio_ = AValue;
        PushAspectEvent(nullptr);
    }
}

std::string TCustomPlayer::ForceFormat() const {
    return FForceFormat && FForceFormat->name ? FForceFormat->name : "";
}

void TCustomPlayer::SetForceFormat(const std::string& AValue) {
    if (AValue.empty()) {
        FForceFormat = nullptr;
        return;
    }
    if (!FFLoader().Loaded(CPlayerLibraries)) {
        DoErrLog("FFmpeg libraries not loaded.");
        return;
    }
    const AVInputFormat* format = ff::av_find_input_format(AValue.c_str());
    if (!format) {
        throw std::invalid_argument(Format("Unknown input format: %s", AValue.c_str()));
    }
    FForceFormat = format;
}

void TCustomPlayer::SetBackColor(uint32_t AValue) {
    backColor_ = AValue & 0xFFFFFF;
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        is->no_background = 0;
        is->force_refresh = 1;
    }
}

void TCustomPlayer::SetPlaybackSpeed(double AValue) {
    playbackSpeed_ = AValue;
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        std::lock_guard lock(is->extclk.lock);
        is->extclk.speed = AValue;
    }
}

void TCustomPlayer::SetSyncType(Tav_sync_type AValue) {
    avSyncType_ = AValue;
    if (const std::shared_ptr<TVideoState> is = HeldFile()) {
        is->av_sync_type = AValue;
        is->av_sync_type_ok = 0;
    }
}

void TCustomPlayer::SetStartTime(int64_t AValue) {
    if (AValue != startTime_) {
        startTime_ = AValue;
        if (AValue != AV_NOPTS_VALUE) {
            Seek(AValue);
        }
    }
}

int TCustomPlayer::AudioStreamIndex() const {
    const std::shared_ptr<TVideoState> is = HeldFile();
    return is ? is->audio_stream.load() : -1;
}

int TCustomPlayer::VideoStreamIndex() const {
    const std::shared_ptr<TVideoState> is = HeldFile();
    return is ? is->video_stream.load() : -1;
}

int TCustomPlayer::SubtitleStreamIndex() const {
    const std::shared_ptr<TVideoState> is = HeldFile();
    return is ? is->subtitle_stream.load() : -1;
}

void TCustomPlayer::SetAudioStreamIndex(int AValue) {
    if (TFileCall is(*this, "SetAudioStreamIndex"); is && AValue != is->audio_stream) {
        stream_change_channel(is.get(), AVMEDIA_TYPE_AUDIO, AValue);
    }
}

void TCustomPlayer::SetVideoStreamIndex(int AValue) {
    if (TFileCall is(*this, "SetVideoStreamIndex"); is && AValue != is->video_stream) {
        stream_change_channel(is.get(), AVMEDIA_TYPE_VIDEO, AValue);
    }
}

void TCustomPlayer::SetSubtitleStreamIndex(int AValue) {
    if (TFileCall is(*this, "SetSubtitleStreamIndex"); is && AValue != is->subtitle_stream) {
        stream_change_channel(is.get(), AVMEDIA_TYPE_SUBTITLE, AValue);
    }
}
