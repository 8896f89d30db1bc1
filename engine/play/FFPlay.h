// The engine's player component: plays one file at a time into a window that its owner gives it, and
// reports to its owner through events.
//
// Open and Stop run on the owner's (main) thread and pump pending synchronised calls while they wait,
// so that handlers run nested inside them. Every thread of a file is joined before its state is freed.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/FFBaseComponent.h"
#include "engine/base/Myutils.h"
#include "engine/play/EarlyOpen.h"
#include "engine/play/PlayEvent.h"
#include "engine/play/PlayThread.h"
#include "engine/play/SDLHost.h"
#include "engine/play/VideoState.h"
#include "engine/tools/FFDecoder.h"
#include "engine/tools/FormatConverter.h"
#include "platform/Event.h"
#include "platform/Mutex.h"

struct AVFilterGraph;
struct AVFormatContext;
struct AVInputFormat;
struct AVPacket;
struct AVFrame;
struct TVideoDecoderState;
class TFFOptions;
class TSDLLoader;
struct TSDLEntries;

class TCustomPlayer : public TFFBaseComponent, public TPlayLoopOwner {
public:
    TCustomPlayer();
    ~TCustomPlayer() override;
    TCustomPlayer(const TCustomPlayer&) = delete;
    TCustomPlayer& operator=(const TCustomPlayer&) = delete;

    // Libraries.
    bool AVLibLoaded();
    bool LoadAVLib(const TPathFileName& APath, bool AAutoLoadSDL = true);
    void UnloadAVLib();
    bool SDLLibLoaded();
    bool LoadSDLLib(const TPathFileName& APath, const TPathFileName& AFile);
    void UnloadSDLLib();

    // Opening and stopping.
    bool Open(const TPathFileName& AFileName, void* AScreenHandle = nullptr, bool APaused = false);
    void TryOpen(const TPathFileName& AFileName, void* AScreenHandle = nullptr, bool APaused = false);
    void Stop(bool AWaitForStop = true);
    // An open of a file started before the player existed; the next open of that same file takes its
    // input when it asks for nothing more than a plain open, and drops it otherwise.
    void SetEarlyOpen(std::unique_ptr<TEarlyOpen> AEarlyOpen);

    // Control operations.
    void Pause();
    void Resume();
    void TogglePause();
    void ToggleAudioDisplay();
    void StepToNextFrame();
    void Seek(const int64_t& APTS, TSeekFlags ASeekFlags = {}, bool AWaitForSeekEnd = false);
    void Seek(const double& ADelta, TSeekFlags ASeekFlags = {}, bool AWaitForSeekEnd = false);
    void FlushQueue();
    bool SendVideoFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                                int flags);
    bool SendAudioFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                                int flags);
    bool QueueVideoFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                                 int flags, double pts);
    bool QueueAudioFilterCommand(const std::string& target, const std::string& cmd, const std::string& arg,
                                 int flags, double pts);
    bool opt_default(const std::string& opt, const std::string& arg);
    bool DefaultOptions(const std::string& AOptions);
    // The picture shown last, as a bitmap that the player owns (the next call overwrites it); APTS gets
    // its time in microseconds, -1 without a picture.
    TBitmap& CurrentFrame();
    TBitmap& CurrentFrame(int64_t& APTS);
    // Bits per pixel of the bitmaps of CurrentFrame and of the video hook.
    int VideoHookBitsPixel() const;
    void SetVideoHookBitsPixel(int AValue);

    // The host window.
    // The owner's window moved or changed size: the output follows it (while a file is open).
    void UpdateScreenPosition();
    // A rectangle in host-window pixels as picture pixels, through where the picture was drawn; all zero
    // without a file.
    TRect DisplayToActualRect(const TRect& ADisplayRect);

    // Properties the owner reads.
    std::string LastErrMsg() const;
    const TPathFileName& FileName() const { return fileName_; }
    void* ScreenHandle() const { return FScreenHandle; }
    AVFormatContext* GetAVFormatContext() const { return FAVFormatContext; }
    TCustomDecoder* Decoder() const { return FDecoder.get(); }
    TPlayState PlayState() const { return FState; }
    bool Paused() const;
    bool Seeking() const { return FSeeking; }
    int QueueSize() const;
    int64_t CurrentPTS() const { return FCurrentPTS; }
    int FrameWidth() const { return FFrameWidth; }
    int FrameHeight() const { return FFrameHeight; }
    // The output size that the open file's pictures ask for (640 x 480 until a file says otherwise).
    int DefaultWidth() const { return Fdefault_width; }
    int DefaultHeight() const { return Fdefault_height; }

    // Stream choice while a file plays.
    int AudioStreamIndex() const;
    int VideoStreamIndex() const;
    int SubtitleStreamIndex() const;
    void SetAudioStreamIndex(int AValue);
    void SetVideoStreamIndex(int AValue);
    void SetSubtitleStreamIndex(int AValue);

    // Properties with behaviour on write.
    float AspectRatio() const { return aspectRatio_; }
    void SetAspectRatio(float AValue);
    std::string ForceFormat() const;
    void SetForceFormat(const std::string& AValue);
    uint32_t BackColor() const { return backColor_; }
    void SetBackColor(uint32_t AValue);
    double PlaybackSpeed() const { return playbackSpeed_; }
    void SetPlaybackSpeed(double AValue);
    Tav_sync_type SyncType() const { return avSyncType_; }
    void SetSyncType(Tav_sync_type AValue);
    Tav_sync_type av_sync_type() const { return avSyncType_; }
    void set_av_sync_type(Tav_sync_type AValue) { SetSyncType(AValue); }
    TShowMode ShowMode() const { return showMode_; }
    void SetShowMode(TShowMode AValue);
    int64_t StartTime() const { return startTime_; }
    void SetStartTime(int64_t AValue);
    // The same storage as StartTime, written without the seek.
    int64_t& start_time() { return startTime_; }

    // Properties that only store their value (read by the engine code that uses them).
    TAudioDriver AudioDriver = adDefault;
    bool AudioHook = false;
    // Read by the audio callback at every device period.
    std::atomic<TAudioVolume> AudioVolume{kMaxAudioVolume};
    bool DisableAudio = false;
    bool DisableVideo = false;
    bool DisableDisplay = false;
    bool DisableSubtitle = false;
    std::atomic<bool> Mute{false};
    bool FrameHook = false;
    int ScreenWidth = 0;
    int ScreenHeight = 0;
    bool TriggerEventInMainThread = true;
    TVideoDriver VideoDriver = vdDefault;
    bool VideoHook = false;
    bool HijackWndProc = true;
    bool HijackCursor = true;
    uint32_t WaveColor = 0xFFFFFF;
    bool CheckIOEOF = true;
    bool CheckIOERR = true;
    bool CheckReadPause = false;
    bool NegativeOneAsEOF = true;
    bool Deinterlace = false;
    bool DisableAudioFilter = false;
    bool DisableVideoFilter = false;
    bool ResetFilterAfterSeeking = false;
    bool OpenInCallerThread = true;
    int64_t PlayTime = AV_NOPTS_VALUE;
    bool EnableAudioSpeed = true;
    TRepeatType RepeatType = rtRewind;
    bool UseAudioPosition = false;
    bool VerticalFlip = false;
    std::string VideoFilters;
    std::string AudioFilters;
    bool is_full_screen = false;
    int wanted_audio_stream = -1;
    int wanted_video_stream = -1;
    int wanted_subtitle_stream = -1;
    int workaround_bugs = 1;
    bool fast = false;
    bool genpts = false;
    int decoder_reorder_pts = -1;
    int framedrop = -1;
    double rdftspeed = 0.02;
    int lowres = 0;
    int error_concealment = 3;
    std::string audio_codec_name;
    std::string video_codec_name;
    std::string subtitle_codec_name;
    // Read settings that belong to the file being opened: reset at every stop.
    int seek_by_bytes = -1;
    int infinite_buffer = -1;

    // Events.
    TFileOpenEvent OnFileOpen;
    TNotifyEvent OnOpenFailed;
    TPositionEvent OnPosition;
    TPlayStateEvent OnState;
    TBeforeFindStreamInfoEvent OnBeforeFindStreamInfo;
    TVideoHookEvent OnVideoHook;
    TFrameHookEvent OnFrameHook;
    TAudioHookEvent OnAudioHook;

private:
    // The engine's own units that are not members (the audio pipeline's routines) and the engine's tests
    // reach the few internals they need through it (engine/play/FFPlayPipeline.h).
    friend class TPlayerPipeline;

    // The pipeline, grouped by the unit that defines each routine. Every routine that takes the file's
    // record (is) runs on a thread of that file or on the owner's thread under the data lock.

    // FFPlay.cpp: the open and stop protocols, the per-file exit, the error path.
    // The common error path: logs at error level and, with ASetLastError, keeps the text.
    void DoErrLog(const std::string& AMsg, bool ASetLastError = true);
    // Sets PlayState and reports it.
    void DoState(TPlayState AState) override;
    // Asks the play thread to close the file (data: the file's record or any pointer; never read).
    void PushQuitEvent(void* data);
    void PushAspectEvent(void* data);
    // The per-file exit: closes the file's threads and resources, then resets the per-playback settings.
    void do_exit() override;
    void ResetFlags();
    bool DoOpen(const TPathFileName& AFileName, void* AScreenHandle, bool APaused, bool AWait);
    void WaitForStop();
    bool WaitStopEvent(unsigned ATimeoutMs);
    void DoStreamOpened();
    void DoFileOpen();
    void DoOpenFailed();
    bool DoSDLInit(void* AScreenHandle);
    void DoSDLQuit();
    void StartPlayThread();
    void JoinPlayThread();
    void ReapRetiredEventThreads();
    void ReleaseFailedOpen();
    // Closes and frees the held record, if any; true when there was one.
    bool ReleaseState();
    // The open file's record for an owner's call, kept alive until the call lets it go; null without a
    // published file.
    std::shared_ptr<TVideoState> HeldFile() const;
    // Makes the held record the open file that owners' calls reach (null: none).
    void PublishFile(TVideoState* is);
    // Takes the data lock in slices, pumping the main thread's calls between them; false (logged) when
    // the bound passes.
    bool LockDataPumping(const char* AWhat);
    // An owner's call that uses the file's input, streams or filter graphs: holds the record and the
    // data lock, under which the file's close cannot run. Empty when no file is open or the lock was not
    // had in time.
    class TFileCall {
    public:
        TFileCall(TCustomPlayer& APlayer, const char* AWhat);
        ~TFileCall();
        TFileCall(const TFileCall&) = delete;
        TFileCall& operator=(const TFileCall&) = delete;
        TVideoState* get() const { return file_.get(); }
        explicit operator bool() const { return file_ != nullptr; }
        TVideoState* operator->() const { return file_.get(); }

    private:
        TCustomPlayer& player_;
        bool locked_ = false;
        std::shared_ptr<TVideoState> file_;
    };
    void SetLastErrMsg(const std::string& AMsg);
    void InitOptions();
    void SleepPumping(unsigned AMilliseconds);
    void DoReleaseResourceOnFailed(TVideoState* is);
    void stream_close(TVideoState* is);
    // The open file's state; null without one.
    TVideoState* VideoState() const { return FVideoState; }
    // The host window and SDL inside it.
    TSDLHost& SDLHost() { return *sdlHost_; }

    // FFPlayControl.cpp: what the control operations share.
    bool SendFilterCommand(AVFilterGraph* graph, const std::string& target, const std::string& cmd,
                           const std::string& arg, int flags);
    bool QueueFilterCommand(AVFilterGraph* graph, const std::string& target, const std::string& cmd,
                            const std::string& arg, int flags, double pts);
    void ConvertShownPicture(TVideoState* is, int64_t& APTS);

    // FFPlayRead.cpp: opening the input and the read thread.
    // The FFmpeg I/O interrupt callback of every input the player opens.
    static int player_interrupt_callback(void* opaque);
    static int input_is_realtime(AVFormatContext* s);
    bool stream_open(const TPathFileName& AFileName, const AVInputFormat* AFormat, bool APaused, bool AWait);
    int do_open_stream(TVideoState* is);
    // The early open's probed input when it fits this file's open; null otherwise (the early open is
    // dropped either way).
    AVFormatContext* take_early_input(TVideoState* is);
    int open_input(TVideoState* is, AVFormatContext*& ic);
    int fail_open(TVideoState* is);
    bool probe_streams(TVideoState* is);
    void read_file_facts(TVideoState* is);
    void choose_streams(TVideoState* is, int st_index[]);
    void set_default_window_size(AVFormatContext* ic, AVStream* st);
    void do_read_thread(TVideoState* is);
    int read_loop_pass(TVideoState* is, AVPacket* pkt);
    void do_seek_request(TVideoState* is);
    void do_flush_request(TVideoState* is);
    void restart_queues(TVideoState* is);
    int queue_attachments(TVideoState* is);
    bool queues_are_full(TVideoState* is);
    void queue_end_of_stream(TVideoState* is);
    void log_end_of_file(TVideoState* is);
    bool handle_read_error(TVideoState* is, int ret);
    void route_packet(TVideoState* is, AVPacket* pkt);
    void read_thread_exit(TVideoState* is, int result);
    void wait_continue_read(TVideoState* is, int milliseconds);
    void wait_for_room(TVideoState* is);
    void hand_on_early_packets(TVideoState* is);
    void stream_seek(TVideoState* is, int64_t pos, int64_t rel, TSeekFlags flags, bool wait);
    void stream_toggle_pause(TVideoState* is);

    // FFPlayStreams.cpp: the decoder of one stream, and switching streams.
    int stream_component_open(TVideoState* is, int stream_index);
    int open_decoder(TVideoState* is, AVStream* st, const AVCodec* codec, TCodecContextPtr& avctx);
    TCodecContextPtr adopt_early_decoder(TVideoState* is, int stream_index, const AVCodec* codec);
    void stream_component_close(TVideoState* is, int stream_index);
    bool stream_change_channel(TVideoState* is, int codec_type, int stream_index);
    void stream_cycle_channel(TVideoState* is, int codec_type);
    int open_audio_stream(TVideoState* is, TCodecContextPtr avctx, AVStream* st, int stream_index);
    void open_video_stream(TVideoState* is, TCodecContextPtr avctx, AVStream* st, int stream_index);

    // FFPlayVideo.cpp: the video decoder thread and the picture queue.
    void alloc_picture() override;
    void start_video_thread(TVideoState* is);
    void do_video_thread(TVideoState* is);
    void after_video_frame(TVideoState* is);
    void mark_first_picture_after_seek(TVideoState* is);
    int get_video_frame(TVideoState* is, TVideoDecoderState& d, AVFrame* frame, AVPacket* pkt, int& serial);
    int finish_video_frame(TVideoState* is, AVFrame* frame, int serial);
    bool drop_early(TVideoState* is, const AVFrame* frame, int serial);
    int filter_and_queue(TVideoState* is, TVideoDecoderState& d, AVFrame* frame, int serial);
    int configure_video_filters(AVFilterGraph* graph, TVideoState* is, const std::string& vfilters,
                                AVFrame* frame);
    AVFrame* deinterlace_picture(TVideoDecoderState& d, AVFrame* frame);
    int queue_picture(TVideoState* is, TVideoDecoderState& d, AVFrame* src_frame, double pts, double duration,
                      int64_t pos, int serial);
    bool request_overlay(TVideoState* is, TVideoPicture* vp, int width, int height);
    int fill_overlay(TVideoState* is, TVideoPicture* vp, AVFrame* src_frame, double pts);

    // FFPlaySubtitle.cpp: the subtitle decoder thread.
    void start_subtitle_thread(TVideoState* is);
    void do_subtitle_thread(TVideoState* is);
    void free_subtitle_picture(TSubPicture* sp);

    // FFPlayRefresh.cpp: the play loop's view of the player (every call comes on the play thread), video
    // refresh, A/V sync and position reports.
    TObject* Sender() override { return this; }
    bool LockData(unsigned ATimeoutMs) override;
    void UnlockData() override;
    bool HasFile() override;
    bool RefreshDue() override;
    double RefreshInterval() override;
    void video_refresh(double& ARemainingTime) override;
    void ForceRefresh() override;
    void ScreenResized(int AWidth, int AHeight) override;
    void SetLooping() override;
    void video_refresh(TVideoState* is, double& remaining_time);
    // AOnScreen: the due picture is shown (else it only passes, as the window cannot be seen).
    bool refresh_picture(TVideoState* is, double& remaining_time, bool AOnScreen);
    void expire_subtitles(TVideoState* is);
    double target_delay(TVideoState* is, double delay);
    double picture_duration(TVideoState* is, const TVideoPicture* vp, const TVideoPicture* nextvp);
    void pictq_next_picture(TVideoState* is);
    int pictq_prev_picture(TVideoState* is);
    void update_video_clock(TVideoState* is, double pts, int64_t pos, int serial);
    void DoPosition();
    void ApplyPlayTime(TVideoState* is, int64_t APosition);
    // The clean start: hold_start at the open and at each seek, released by the first picture shown.
    void hold_start(TVideoState* is, bool AHold);
    void release_start(TVideoState* is);
    bool start_ready(TVideoState* is);
    void check_start_hold(TVideoState* is);
    void note_picture_shown(TVideoState* is, const TVideoPicture* vp);
    bool LastPictureShown(TVideoState* is);

    // FFPlayDisplay.cpp: the video output and the audio views, on the play thread.
    void fill_rectangle(int x, int y, int w, int h, uint32_t color, bool update);
    void fill_border(int xleft, int ytop, int width, int height, const TDisplayRect& inner, uint32_t color,
                     bool update);
    uint32_t MapColour(uint32_t ARGB);
    SDL_Surface* KeepOverlayDepth(int AWidth, int AHeight);
    int video_open(TVideoState* is, bool force, const TVideoPicture* vp);
    void video_display(TVideoState* is);
    void video_image_display(TVideoState* is);
    void blend_current_subtitle(TVideoState* is, TVideoPicture* vp);
    bool draw_picture_in_surface(TVideoState* is, const TVideoPicture* vp, const TDisplayRect& rect);
    int audio_view_start(TVideoState* is, int channels, int data_used, bool waves);
    void video_audio_display(TVideoState* is);
    void draw_waves(TVideoState* is, int start, int channels);
    void draw_waves_whole(TVideoState* is, SDL_Surface* screen, int channels, uint32_t back, uint32_t fore);
    void draw_waves_changes(TVideoState* is, SDL_Surface* screen, uint32_t back, uint32_t fore);
    void draw_spectrum(TVideoState* is, int start, int channels, int rdft_bits, int nb_freq);
    void free_audio_view(TVideoState* is);
    void free_picture(TVideoPicture* vp);
    void free_video_output(TVideoState* is);

    // FFPlayAudio.cpp: what the audio pipeline takes from the player.
    // The resampler options as "key=value:..." text, and the SDL entry points.
    std::string SwrOptionsText();
    TSDLEntries SDLEntries() const;

    // The player's state.
    // System time in microseconds at the start of the latest audio device callback; 0 before the first.
    std::atomic<int64_t> Faudio_callback_time{0};
    std::unique_ptr<TSDLLoader> FSDLLoader;
    std::unique_ptr<TSDLHost> sdlHost_;
    // Position and state reports of the play thread, handed to the owner by the event thread.
    TPlayEvent FPlayEvent;
    std::mutex eventThreadLock_;  // guards FEventThread
    std::unique_ptr<TEventThread> FEventThread;
    // Event threads that a stop made inside one of their handlers could not wait for; each ends once
    // that handler returns and is joined by the next open or stop, or by the destructor.
    std::vector<std::unique_ptr<TEventThread>> retiredEventThreads_;  // under eventThreadLock_
    std::atomic<bool> eventsRunning_{false};
    // The thread that runs a state report which an engine thread hands over synchronously (psPlay), for
    // as long as it runs; a stop inside it cannot wait for that engine thread.
    std::atomic<std::thread::id> stateReportOn_{};
    // Such a stop was made: the engine thread ends the file once the report has returned.
    std::atomic<bool> stopDeferred_{false};
    std::vector<int16_t> viewSamples_;  // play thread
    // The waves view's bars, one per channel and column ([Top, Top + Height) rows), as the frame being
    // drawn wants them and as the screen holds them, with the area, colours and surface they were drawn
    // for: a frame then repaints only the columns whose bar moved. Play thread.
    struct TWaveBar {
        int Top = 0;
        int Height = 0;
        bool operator==(const TWaveBar&) const = default;
    };
    struct TWavesShown {
        bool Valid = false;
        const SDL_Surface* Screen = nullptr;
        int XLeft = 0;
        int YTop = 0;
        int Width = 0;
        int Height = 0;
        int Channels = 0;
        uint32_t Back = 0;
        uint32_t Fore = 0;
        std::vector<TWaveBar> Bars;
    };
    std::vector<TWaveBar> waveBars_;  // play thread
    TWavesShown wavesShown_;          // play thread
    std::mutex optionsLock_;  // guards FOptions: the owner sets options while a file's exit renews them
    std::unique_ptr<TFFOptions> FOptions;
    std::unique_ptr<TCustomDecoder> FDecoder;
    std::mutex FEarlyOpenLock;  // guards FEarlyOpen: set by the owner, taken by the read thread
    std::unique_ptr<TEarlyOpen> FEarlyOpen;
    TFormatConverter FRGBConverter;
    TFormatConverter FHookConverter;
    platform::TCriticalSection FUpdateRectLock;
    platform::TCriticalSection FDisplayRectLock;
    platform::TMutex FDataLock;
    platform::TEvent FSeekEvent{true, true};
    platform::TEvent FPictEvent{true, true};
    platform::TEvent FStopEvent{true, true};
    // Wakes the play thread when a quit is pushed.
    platform::TEvent quitEvent_{false, false};
    std::atomic<bool> quitRequested_{false};
    std::mutex playThreadLock_;  // guards playThread_
    std::unique_ptr<platform::TThread> playThread_;

    // The record of the file, owned from stream_open until the per-file exit; an owner's call that
    // reached it shares it, so that it outlives the call.
    std::shared_ptr<TVideoState> ownedFile_;  // under exitLock_
    std::mutex exitLock_;                     // one per-file exit at a time
    mutable std::mutex publishLock_;          // guards published_
    std::shared_ptr<TVideoState> published_;  // the record FVideoState points to
    // The open file that owners' calls and the play loop reach; set once the file counts as opened.
    std::atomic<TVideoState*> FVideoState{nullptr};
    // The file being opened, from the moment its input exists: the interrupt callback and Stop reach it.
    std::atomic<TVideoState*> FVideoStateCB{nullptr};
    void* FScreenHandle = nullptr;
    mutable std::mutex errLock_;  // guards FLastErrMsg: the read thread reports open errors
    std::string FLastErrMsg;
    std::atomic<int64_t> FLastPTS{AV_NOPTS_VALUE};
    std::atomic<int64_t> FCurrentPTS{-1};
    std::atomic<int64_t> FLastRead{0};
    std::atomic<bool> FLoading{false};
    std::atomic<bool> FTryOpen{false};
    std::atomic<bool> FLooping{false};
    std::atomic<TPlayState> FState{psStop};  // the last play state set, read as PlayState
    std::atomic<bool> FSeeking{false};
    bool FAutoLoadSDL = true;
    int Fsws_flags = 4;
    std::atomic<int> Fdefault_width{640};
    std::atomic<int> Fdefault_height{480};
    int Ffs_screen_width = 0;
    int Ffs_screen_height = 0;
    std::atomic<int> FFrameWidth{0};
    std::atomic<int> FFrameHeight{0};
    std::atomic<AVFormatContext*> FAVFormatContext{nullptr};
    TPathFileName fileName_;
    TPathFileName Finput_filename;  // the name being opened
    const AVInputFormat* FForceFormat = nullptr;
    float aspectRatio_ = 0.0f;
    uint32_t backColor_ = 0;
    std::atomic<double> playbackSpeed_{1.0};
    Tav_sync_type avSyncType_ = stAudio;
    TShowMode showMode_ = smDefault;
    int64_t startTime_ = AV_NOPTS_VALUE;
};

// Publishes the owner's properties; adds no code.
class TFFPlayer : public TCustomPlayer {};
