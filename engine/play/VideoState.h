// The state of one open file, shared by every engine thread that works on it: the read thread, the
// decoder threads, the audio callback, the play loop and the player's own methods.
//
// A field that more than one thread touches is atomic, or guarded by the lock named beside it. The
// record owns its threads: they are joined (by the file's close) before the record is freed.
#pragma once

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/base/FFBaseComponent.h"
#include "engine/play/Clock.h"
#include "engine/play/EarlyOpen.h"
#include "engine/play/PacketQueue.h"
#include "engine/play/VideoPicture.h"
#include "engine/tools/DisplayScaler.h"
#include "platform/Thread.h"

extern "C" {
#include <libavutil/samplefmt.h>
}

struct AVCodecContext;
struct AVDictionary;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFormatContext;
struct AVInputFormat;
struct AVStream;
struct SwsContext;
class TCustomPlayer;

// The per-file record's wanted master clock; ordinals equal Tav_sync_type's.
enum _Tav_sync_type : int32_t {
    AV_SYNC_AUDIO_MASTER = 0,
    AV_SYNC_VIDEO_MASTER = 1,
    AV_SYNC_EXTERNAL_CLOCK = 2
};

struct TAudioParams {
    int freq = 0;
    int channels = 0;
    int64_t channel_layout = 0;  // FFmpeg channel mask, 0 = unknown
    AVSampleFormat fmt = AV_SAMPLE_FMT_NONE;
    int frame_size = 0;  // bytes of one sample in all channels
    int bytes_per_sec = 0;
};

// A thread of one file that runs one routine; joined by whoever frees it.
class TFileThread : public platform::TThread {
public:
    TFileThread(std::string AName, std::function<void()> ARoutine);
    ~TFileThread() override;

protected:
    void Execute() override;

private:
    std::function<void()> routine_;
};

// Frees an option dictionary through the bound entry point.
struct TDictionaryDeleter {
    void operator()(AVDictionary* dict) const;
};
using TDictionaryPtr = std::unique_ptr<AVDictionary, TDictionaryDeleter>;

// Frees a decoder context through the bound entry point.
struct TCodecContextDeleter {
    void operator()(AVCodecContext* ctx) const;
};
using TCodecContextPtr = std::unique_ptr<AVCodecContext, TCodecContextDeleter>;

// The audio pipeline's data of one file (engine/play/FFPlayAudio.h); freeing it closes the audio device.
struct TAudioState;
struct TAudioStateDeleter {
    void operator()(TAudioState* state) const;
};

struct TVideoState {
    TVideoState() = default;
    // Joins any thread still running before the members it uses go.
    ~TVideoState();
    TVideoState(const TVideoState&) = delete;
    TVideoState& operator=(const TVideoState&) = delete;

    // The file's threads: started by the open and the stream opens, joined by the close before anything
    // else here goes.
    std::unique_ptr<TFileThread> read_tid;
    std::unique_ptr<TFileThread> video_tid;
    std::unique_ptr<TFileThread> subtitle_tid;

    // Set by the open (stream_open and the read side's open) before the file counts as opened; only read
    // afterwards, by any thread.
    TCustomPlayer* Owner = nullptr;
    std::string filename;                    // the name given to stream_open
    const AVInputFormat* iformat = nullptr;  // forced by the caller; null = probe
    AVFormatContext* ic = nullptr;
    int realtime = 0;
    double max_frame_duration = 3600.0;
    int64_t StartTime = 0;      // microseconds; 0 when the input has none
    int64_t FileDuration = -1;  // microseconds; -1 when unknown
    int IsImage2 = 0;
    int IsDevice = 0;
    int wait_for_stream_opened = 0;
    int open_in_caller_thread = 0;
    // Read settings of this file: the player's values at open, resolved when automatic (-1).
    int seek_by_bytes = -1;
    // The player's options at open, so that the owner may set options for the next open meanwhile.
    TDictionaryPtr format_opts;
    TDictionaryPtr codec_opts;
    // The descriptor of an input opened without blocking (a FIFO, a device), read by FFmpeg as a pipe;
    // -1 for every other input. Closed after the input is.
    int input_fd = -1;
    void close_input_fd();
    // The early open whose input this file took: the input's I/O calls its interrupt callback until
    // the input is closed.
    std::unique_ptr<TEarlyOpen> early_open;
    // What that early open decoded ahead, taken with its input. The read thread hands its packets on
    // before it reads; a video decoder open adopts its decoder (early_decoder_adopted) and moves its
    // pictures to early_frames, which the video decoder thread shows before any it decodes.
    TEarlyDecode early_decode;
    bool early_decoder_adopted = false;
    std::deque<TEarlyDecode::TFramePtr> early_frames;

    // The streams, written by the stream opens and closes: on the read side at the open, and by the
    // owner's stream change under the player's data lock. The indexes and streams are atomic for the
    // threads that read them meanwhile.
    std::atomic<int> audio_stream{-1};
    std::atomic<AVStream*> audio_st{nullptr};
    TCodecContextPtr audio_avctx;
    std::atomic<int> video_stream{-1};
    std::atomic<AVStream*> video_st{nullptr};
    TCodecContextPtr video_avctx;
    double frame_delay = 0.0;  // one frame of the video stream, seconds
    std::atomic<int> subtitle_stream{-1};
    std::atomic<AVStream*> subtitle_st{nullptr};
    TCodecContextPtr subtitle_avctx;
    int last_video_stream = -1;
    int last_audio_stream = -1;
    int last_subtitle_stream = -1;

    // The packet queues and the clocks: each under its own lock.
    TPacketQueue audioq;
    TPacketQueue videoq;
    TPacketQueue subtitleq;
    TClock audclk;
    TClock vidclk;
    TClock extclk;

    // Read thread only.
    int last_paused = 0;
    int IOEOFLog = 0;
    int IOERRLog = 0;
    int eof = 0;  // the read thread's end-of-input mark

    // A seek request: the requester writes seek_flags, seek_pos and seek_rel, then raises seek_req; the
    // read thread reads them once it sees seek_req.
    std::atomic<int> seek_req{0};
    int seek_flags = 0;
    int64_t seek_pos = 0;
    int64_t seek_rel = 0;

    // Wakes the read thread: a seek, a flush, the close, and every packet a decoder takes (the queues
    // may have room again). A read thread that found the queues full waits on it alone.
    TWakeSignal continue_read_thread;

    // The picture queue: the video decoder fills the slot at pictq_windex, the play thread shows the one
    // at pictq_rindex; the count and the facts of the picture shown last are under pictq_mutex.
    std::mutex pictq_mutex;
    std::condition_variable pictq_cond;
    TVideoPicture pictq[VIDEO_PICTURE_QUEUE_SIZE];
    int pictq_size = 0;  // under pictq_mutex
    std::atomic<int> pictq_windex{0};
    std::atomic<int> pictq_rindex{0};
    std::atomic<int> pictq_cindex{-1};  // the slot shown last; -1 before the first picture
    std::atomic<int> pictq_total_size{0};
    // The picture shown last: its time, and the master clock's value at the moment the refresh had it
    // due. Their difference is how far the pictures are from the master clock, whatever the play
    // thread's own lateness. Under pictq_mutex; shown_count counts the pictures shown.
    double shown_pts = NAN;
    double shown_master_at_due = NAN;
    int shown_count = 0;

    // The subpicture queue: the subtitle thread fills subpq_windex, the play thread reads subpq_rindex;
    // the count is under subpq_mutex.
    std::mutex subpq_mutex;
    std::condition_variable subpq_cond;
    TSubPicture subpq[SUBPICTURE_QUEUE_SIZE];
    int subpq_size = 0;                // under subpq_mutex
    std::atomic<int> subpq_windex{0};  // subtitle thread
    std::atomic<int> subpq_rindex{0};  // play thread

    // The filter graphs. Held by the thread that runs a filter graph while it feeds, drains or rebuilds
    // it, and by the owner's filter commands: a graph's command queue is not safe against the graph
    // running.
    std::mutex filter_command_lock;
    std::atomic<AVFilterGraph*> FilterGraph{nullptr};
    std::atomic<AVFilterContext*> in_video_filter{nullptr};
    std::atomic<AVFilterContext*> out_video_filter{nullptr};
    std::atomic<AVFilterGraph*> agraph{nullptr};

    // Video decoder thread only.
    SwsContext* img_convert_ctx = nullptr;  // freed by the file's close
    std::atomic<double> frame_last_returned_time{0.0};
    std::atomic<double> frame_last_filter_delay{0.0};
    std::atomic<int> frame_drops_early{0};

    // Play thread only: the output area and the audio views (the sample ring itself belongs to the audio
    // pipeline).
    int width = 0;
    int height = 0;
    int xleft = 0;
    int ytop = 0;
    double last_vis_time = 0.0;
    TDisplayRect last_display_rect;
    // Converts and scales the shown picture into the output surface (freed by the file's close).
    TDisplayScaler display_scaler;
    int last_i_start = 0;
    RDFTContext* rdft = nullptr;  // freed by the file's close
    int rdft_bits = 0;
    float* rdft_data = nullptr;  // freed by the file's close
    int xpos = 0;

    // The audio callback's (SDL's audio thread), set up by the audio open before the device starts;
    // audio_tgt is only read once the device runs.
    double audio_clock = NAN;
    int audio_clock_serial = -1;
    double audio_diff_cum = 0.0;
    double audio_diff_avg_coef = 0.0;
    double audio_diff_threshold = 0.0;
    int audio_diff_avg_count = 0;
    int audio_hw_buf_size = 0;
    unsigned audio_buf_size = 0;
    int audio_buf_index = 0;
    int audio_last_serial = -1;
    TAudioParams audio_src;
    TAudioParams audio_filter_src;
    TAudioParams audio_tgt;

    // A clean start, at the open and after each seek: with sound and pictures the audio device stays
    // paused until the first picture is shown, so that both clocks start together and no picture is late
    // at the start. The facts of the last start are GetSystemTime() and stream seconds, NaN until then.
    std::mutex start_hold_mutex;  // keeps a hold and a release whole (the device's pause with the flag)
    std::atomic<int> start_held{0};
    std::atomic<double> start_held_since{NAN};
    std::atomic<double> first_picture_time{NAN};
    std::atomic<double> first_picture_pts{NAN};
    std::atomic<double> first_sound_time{NAN};
    std::atomic<double> first_sound_pts{NAN};

    // Atomic, any thread: requests, states and facts that the threads hand each other.
    std::atomic<int> abort_request{0};
    std::atomic<int> no_background{0};
    std::atomic<int> force_refresh{0};
    std::atomic<int> paused{0};
    std::atomic<int> step{0};
    std::atomic<int> queue_attachments_req{0};
    std::atomic<int> read_pause_return{0};
    std::atomic<int> flush_req{0};
    std::atomic<int> open_paused{0};
    std::atomic<int> seek_paused{0};
    std::atomic<int> seek_done{0};
    std::atomic<int> seek_flushed{0};
    std::atomic<int> audio_finished{0};
    std::atomic<int> video_finished{0};
    std::atomic<int> audio_frame_available{0};
    std::atomic<int> show_mode{SHOW_MODE_AUTO};
    std::atomic<double> frame_timer{0.0};
    std::atomic<int> frame_drops_late{0};
    std::atomic<int64_t> video_current_pos{-1};
    std::atomic<int> av_sync_type{AV_SYNC_AUDIO_MASTER};
    // The effective master clock, chosen at the first request and kept until the setting changes.
    std::atomic<int> master_sync_type{AV_SYNC_AUDIO_MASTER};
    std::atomic<int> av_sync_type_ok{0};
    // 0 opening, 1 opened, -1 failed and being cleaned up, -2 failed and cleaned up.
    std::atomic<int> FileOpened{0};
    std::atomic<int64_t> AudioDuration{-1};
    std::atomic<int> EndEventDone{0};
    std::atomic<int> ReachEOF{0};
    std::atomic<int> Reading{0};
    std::atomic<int> infinite_buffer{-1};

    // While the audio stream is open. Kept last so that it goes first: the device stops before anything
    // that its callback reads is freed.
    std::unique_ptr<TAudioState, TAudioStateDeleter> audio;
};

// The effective master clock of the file.
int master_sync_kind(TVideoState* is);
double master_clock_value(TVideoState* is);
double master_clock_value_at(TVideoState* is, double ATime);
// Steers the external clock's speed by how full the queues are (real-time inputs).
void adjust_external_clock_speed(TVideoState* is);
