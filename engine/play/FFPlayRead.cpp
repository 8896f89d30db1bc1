// Opening a file and the read thread: the input is opened with the player's options, the streams are
// chosen and their decoders opened, and the read thread fills the packet queues until the file closes.
// Seek, flush and pause requests reach the read thread through the file's record.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <limits>
#include <optional>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"
#include "engine/play/FFPlay.h"

namespace {

constexpr int kMaxQueueSize = 15 * 1024 * 1024;
constexpr int kMinFrames = 5;
constexpr int kReadWaitMs = 10;
constexpr int kExitPollMs = 100;
constexpr int kRoomWaitBoundMs = 100;
constexpr int64_t kNoRead = std::numeric_limits<int64_t>::max();
// Bound on a wait for a seek to complete.
constexpr unsigned kSeekWaitBoundMs = 10000;

void SleepMs(int AMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(AMilliseconds));
}

bool FormatIs(const AVFormatContext* ic, const char* AName) {
    return ic->iformat && ic->iformat->name && std::strcmp(ic->iformat->name, AName) == 0;
}

struct TPacketDeleter {
    void operator()(AVPacket* pkt) const { ff::av_packet_free(&pkt); }
};

// A local path that names neither a regular file nor a folder (a FIFO, a device): opening it the usual
// way may block in open() until a writer comes, where no interrupt reaches. It is opened here without
// blocking and handed to FFmpeg as a pipe, whose reads then wait in the interruptible I/O loop. -1 for
// every other name (and when the open fails: FFmpeg then reports the error itself).
int OpenNonBlockingInput(const std::string& AName) {
    if (AName.empty() || AName.find(':') != std::string::npos) {
        return -1;
    }
    struct stat st {};
    if (stat(AName.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) {
        return -1;
    }
    return open(AName.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
}

// Waits for a manual-reset event in 100 ms slices, pumping the main thread's calls between them.
bool WaitEventPumping(platform::TEvent& AEvent, unsigned ABoundMs) {
    for (unsigned waited = 0; waited < ABoundMs; waited += 100) {
        if (AEvent.WaitFor(100) == platform::wrSignaled) {
            return true;
        }
        if (IsMainThread()) {
            MyProcessMessages();
        }
    }
    return false;
}

}  // namespace

int TCustomPlayer::player_interrupt_callback(void* opaque) {
    auto* self = static_cast<TCustomPlayer*>(opaque);
    TVideoState* is = self->FVideoStateCB;
    if (is && is->abort_request) {
        FFLogger().Log(self, llInfo, "connecting/reading broken");
        return 1;
    }
    const int64_t lastRead = self->FLastRead;
    if (lastRead == kNoRead || self->ReadTimeout() <= 0) {
        return 0;
    }
    if (ff::av_gettime_relative() - lastRead <= static_cast<int64_t>(self->ReadTimeout()) * 1000) {
        return 0;
    }
    FFLogger().Log(self, llInfo,
                   lastRead != 0 ? "connecting/reading timeout" : "connecting/reading canceled");
    return 1;
}

int TCustomPlayer::input_is_realtime(AVFormatContext* s) {
    if (FormatIs(s, "rtp") || FormatIs(s, "rtsp") || FormatIs(s, "sdp")) {
        return 1;
    }
    const std::string url = s->url ? s->url : "";
    return (s->pb && (url.starts_with("rtp:") || url.starts_with("udp:"))) ? 1 : 0;
}

bool TCustomPlayer::stream_open(const TPathFileName& AFileName, const AVInputFormat* AFormat, bool APaused,
                                bool AWait) {
    // A record still held (a failed or cancelled open) is closed and freed before the new one.
    ReleaseState();
    // A quit asked for from here on belongs to this file.
    quitRequested_ = false;
    std::shared_ptr<TVideoState> state;
    try {
        state = std::make_shared<TVideoState>();
    } catch (const std::bad_alloc&) {
        DoErrLog("av_mallocz() failed.");
        return false;
    }
    TVideoState* is = state.get();
    is->Owner = this;
    if (APaused) {
        is->paused = 1;
        is->open_paused = 1;
        is->step = 0;
    }
    is->filename = AFileName;
    Finput_filename = AFileName;
    is->iformat = AFormat;
    packet_queue_init(&is->videoq);
    packet_queue_init(&is->audioq);
    packet_queue_init(&is->subtitleq);
    for (TPacketQueue* q : {&is->videoq, &is->audioq, &is->subtitleq}) {
        q->room = &is->continue_read_thread;
    }
    clock_init(&is->vidclk, &is->videoq.serial);
    clock_init(&is->audclk, &is->audioq.serial);
    clock_init(&is->extclk, nullptr);
    is->audio_clock_serial = -1;
    is->audio_last_serial = -1;
    is->av_sync_type = avSyncType_;
    clock_set_speed(&is->extclk, playbackSpeed_);
    is->wait_for_stream_opened = AWait ? 1 : 0;
    is->open_in_caller_thread = OpenInCallerThread ? 1 : 0;
    is->seek_by_bytes = seek_by_bytes;
    {
        std::lock_guard lock(optionsLock_);
        AVDictionary* copy = nullptr;
        ff::av_dict_copy(&copy, FOptions->format_opts(), 0);
        is->format_opts.reset(copy);
        copy = nullptr;
        ff::av_dict_copy(&copy, FOptions->codec_opts(), 0);
        is->codec_opts.reset(copy);
    }
    is->infinite_buffer = infinite_buffer;
    {
        std::lock_guard lock(exitLock_);
        ownedFile_ = std::move(state);
    }
    if (is->open_in_caller_thread && do_open_stream(is) < 0) {
        DoReleaseResourceOnFailed(is);
        return false;
    }
    try {
        is->read_tid = std::make_unique<TFileThread>("read", [this, is] { do_read_thread(is); });
        is->read_tid->Start();
    } catch (const std::exception&) {
        is->read_tid.reset();
        DoErrLog("SDL_CreateThread() failed.");
        if (is->open_in_caller_thread) {
            read_thread_exit(is, 0);
        }
        DoReleaseResourceOnFailed(is);
        return false;
    }
    if (!AWait) {
        return true;
    }
    while (is->FileOpened == 0) {
        SleepPumping(kReadWaitMs);
    }
    if (is->FileOpened == 1) {
        std::lock_guard lock(exitLock_);
        PublishFile(is);
        return true;
    }
    while (is->FileOpened == -1) {
        SleepPumping(kReadWaitMs);
    }
    DoReleaseResourceOnFailed(is);
    return false;
}

int TCustomPlayer::do_open_stream(TVideoState* is) {
    int st_index[AVMEDIA_TYPE_NB];
    std::fill(std::begin(st_index), std::end(st_index), -1);
    is->last_video_stream = is->last_audio_stream = is->last_subtitle_stream = -1;
    is->video_stream = is->audio_stream = is->subtitle_stream = -1;

    // Known to the interrupt callback from here on, so that a stop can cancel the open.
    FVideoStateCB = is;
    AVFormatContext* ic = take_early_input(is);
    const bool probed = ic != nullptr;
    if (is->abort_request) {
        // A stop came while the early open was awaited.
        if (ic) {
            ff::avformat_close_input(&ic);
        }
        DoErrLog(Format("Opening \"%s\" was stopped", is->filename.c_str()));
        return fail_open(is);
    }
    if (!probed) {
        if (const int err = open_input(is, ic); err != 0) {
            return err;
        }
    }
    is->ic = ic;
    FAVFormatContext = ic;
    if (genpts) {
        ic->flags |= AVFMT_FLAG_GENPTS;
    }
    // (An input taken from an early open was probed there, and only when no handler is set.)
    if (OnBeforeFindStreamInfo) {
        // A handler's exception is logged and fails the open, which then ends as every failed open does.
        bool handled = true;
        auto call = [this, ic, &handled] {
            try {
                OnBeforeFindStreamInfo(this, ic);
            } catch (const std::exception& e) {
                DoErrLog(std::string("Error occurs OnBeforeFindStreamInfo: ") + e.what());
                handled = false;
            } catch (...) {
                DoErrLog("Error occurs OnBeforeFindStreamInfo");
                handled = false;
            }
        };
        if (TriggerEventInMainThread) {
            MySynchronize(call);
        } else {
            call();
        }
        if (!handled) {
            return fail_open(is);
        }
    }
    if (!probed && !probe_streams(is)) {
        return fail_open(is);
    }
    read_file_facts(is);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        ic->streams[i]->discard = AVDISCARD_ALL;
    }
    choose_streams(is, st_index);
    is->show_mode = showMode_;
    if (st_index[AVMEDIA_TYPE_VIDEO] >= 0) {
        set_default_window_size(ic, ic->streams[st_index[AVMEDIA_TYPE_VIDEO]]);
    }
    // With both, the sound waits for the first picture.
    hold_start(is, st_index[AVMEDIA_TYPE_AUDIO] >= 0 && st_index[AVMEDIA_TYPE_VIDEO] >= 0);
    if (st_index[AVMEDIA_TYPE_AUDIO] >= 0) {
        stream_component_open(is, st_index[AVMEDIA_TYPE_AUDIO]);
    }
    if (st_index[AVMEDIA_TYPE_VIDEO] >= 0) {
        stream_component_open(is, st_index[AVMEDIA_TYPE_VIDEO]);
    }
    if (is->video_stream < 0 || is->audio_stream < 0) {
        release_start(is);
    }
    if (is->show_mode == SHOW_MODE_AUTO) {
        is->show_mode = is->video_stream >= 0 ? SHOW_MODE_VIDEO : SHOW_MODE_WAVES;
    }
    if (st_index[AVMEDIA_TYPE_SUBTITLE] >= 0) {
        stream_component_open(is, st_index[AVMEDIA_TYPE_SUBTITLE]);
    }
    if (is->video_stream < 0 && is->audio_stream < 0) {
        const std::string msg =
            Format("Failed to open file \"%s\" or configure filtergraph", is->filename.c_str());
        SetLastErrMsg(msg);
        FFLogger().Log(this, llFatal, msg);
        return fail_open(is);
    }
    if (is->infinite_buffer < 0 && is->realtime) {
        is->infinite_buffer = 1;
    }
    if (is->abort_request) {
        // A stop came while the open ran (its reads may all have been done before): the open fails.
        DoErrLog(Format("Opening \"%s\" was stopped", is->filename.c_str()));
        return fail_open(is);
    }
    FPictEvent.SetEvent();
    is->FileOpened = 1;
    FVideoStateCB = is;
    if (!is->wait_for_stream_opened) {
        // A stop before the play thread runs must wait for it, not take the previous thread's end.
        FStopEvent.ResetEvent();
        {
            std::lock_guard lock(exitLock_);
            PublishFile(is);
        }
        DoStreamOpened();
    }
    return 0;
}

AVFormatContext* TCustomPlayer::take_early_input(TVideoState* is) {
    std::unique_ptr<TEarlyOpen> early;
    {
        std::lock_guard lock(FEarlyOpenLock);
        early = std::move(FEarlyOpen);
    }
    // The early open asked for nothing but the file: an open that asks for more makes its own.
    const std::optional<int64_t> start =
        startTime_ != AV_NOPTS_VALUE ? std::optional<int64_t>(startTime_) : std::nullopt;
    const bool fits = early && early->FileName() == is->filename && !is->iformat &&
                      ff::av_dict_count(is->format_opts.get()) == 0 &&
                      ff::av_dict_count(is->codec_opts.get()) == 0 && !OnBeforeFindStreamInfo &&
                      early->StartTime() == start;
    if (!fits) {
        return nullptr;
    }
    FLastRead = ff::av_gettime_relative();
    AVFormatContext* ic =
        early->Take([is] { return is->abort_request != 0; }, player_interrupt_callback, this);
    if (ic) {
        is->early_decode = early->TakeDecode();
        is->early_open = std::move(early);
    }
    return ic;
}

// Opens the input itself (without an early open): 0, or the failed open's result.
int TCustomPlayer::open_input(TVideoState* is, AVFormatContext*& ic) {
    ic = ff::avformat_alloc_context();
    if (!ic) {
        DoErrLog("Could not allocate context.");
        if (is->open_in_caller_thread) {
            read_thread_exit(is, -1);
        }
        return -1;
    }
    ic->interrupt_callback.callback = player_interrupt_callback;
    ic->interrupt_callback.opaque = this;
    FLastRead = ff::av_gettime_relative();
    std::string name = ffmpeg_filename(is->filename);
    is->input_fd = OpenNonBlockingInput(is->filename);
    if (is->input_fd >= 0) {
        name = "pipe:" + std::to_string(is->input_fd);
    }
    AVDictionary* formatOpts = is->format_opts.release();
    const int err = ff::avformat_open_input(&ic, name.c_str(), is->iformat, &formatOpts);
    is->format_opts.reset(formatOpts);
    if (err < 0) {
        DoErrLog(print_error(is->filename, err));
        return fail_open(is);
    }
    const AVDictionaryEntry* left = nullptr;
    while ((left = ff::av_dict_get(is->format_opts.get(), "", left, AV_DICT_IGNORE_SUFFIX))) {
        DoErrLog(Format("Option %s not found, ignored.", left->key), false);
    }
    return 0;
}

int TCustomPlayer::fail_open(TVideoState* is) {
    if (is->open_in_caller_thread) {
        read_thread_exit(is, -1);
    }
    return -1;
}

bool TCustomPlayer::probe_streams(TVideoState* is) {
    AVFormatContext* ic = is->ic;
    const unsigned streams = ic->nb_streams;
    AVDictionary** opts = setup_find_stream_info_opts(ic, is->codec_opts.get());
    FLastRead = ff::av_gettime_relative();
    const int err = ff::avformat_find_stream_info(ic, opts);
    if (opts) {
        for (unsigned i = 0; i < streams; ++i) {
            ff::av_dict_free(&opts[i]);
        }
        ff::av_freep(&opts);
    }
    if (err < 0) {
        DoErrLog(Format("%s: could not find codec parameters", is->filename.c_str()));
        return false;
    }
    return true;
}

void TCustomPlayer::read_file_facts(TVideoState* is) {
    AVFormatContext* ic = is->ic;
    if (ic->pb) {
        ic->pb->eof_reached = 0;
        ic->pb->error = 0;
    }
    const bool discontinuous = (ic->iformat->flags & AVFMT_TS_DISCONT) != 0;
    if (is->seek_by_bytes < 0) {
        is->seek_by_bytes = discontinuous && !FormatIs(ic, "ogg") ? 1 : 0;
    }
    is->max_frame_duration = discontinuous ? 10.0 : 3600.0;
    is->IsImage2 = FormatIs(ic, "image2");
    is->IsDevice = FormatIs(ic, "vfwcap") || FormatIs(ic, "vfwcapture") || FormatIs(ic, "dshow");
    if (ic->start_time != AV_NOPTS_VALUE) {
        is->StartTime = ic->start_time;
    }
    is->FileDuration = ic->duration != AV_NOPTS_VALUE ? ic->duration : -1;
    // An early open has sought the input to the start already.
    if (startTime_ != AV_NOPTS_VALUE && !(is->early_open && is->early_open->SoughtToStart())) {
        int64_t target = startTime_;
        if (ic->start_time != AV_NOPTS_VALUE) {
            target += ic->start_time;
        }
        FLastRead = ff::av_gettime_relative();
        if (ff::avformat_seek_file(ic, -1, std::numeric_limits<int64_t>::min(), target,
                                   std::numeric_limits<int64_t>::max(), 0) < 0) {
            FFLogger().Log(this, llWarning,
                           Format("%s: could not seek to position %0.3f", is->filename.c_str(),
                                  static_cast<double>(target) / AV_TIME_BASE));
        }
    }
    is->realtime = input_is_realtime(ic);
}

void TCustomPlayer::choose_streams(TVideoState* is, int st_index[]) {
    AVFormatContext* ic = is->ic;
    if (!DisableVideo) {
        st_index[AVMEDIA_TYPE_VIDEO] =
            ff::av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, wanted_video_stream, -1, nullptr, 0);
    }
    if (!DisableAudio) {
        st_index[AVMEDIA_TYPE_AUDIO] = ff::av_find_best_stream(ic, AVMEDIA_TYPE_AUDIO, wanted_audio_stream,
                                                               st_index[AVMEDIA_TYPE_VIDEO], nullptr, 0);
    }
    if (!DisableVideo && !DisableSubtitle) {
        const int related =
            st_index[AVMEDIA_TYPE_AUDIO] >= 0 ? st_index[AVMEDIA_TYPE_AUDIO] : st_index[AVMEDIA_TYPE_VIDEO];
        int sub =
            ff::av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, wanted_subtitle_stream, related, nullptr, 0);
        if (sub >= 0) {
            const AVCodecDescriptor* desc = ff::avcodec_descriptor_get(ic->streams[sub]->codecpar->codec_id);
            if (!desc || !(desc->props & AV_CODEC_PROP_BITMAP_SUB)) {
                sub = -1;
            }
        }
        st_index[AVMEDIA_TYPE_SUBTITLE] = sub;
    }
    for (int type : {AVMEDIA_TYPE_VIDEO, AVMEDIA_TYPE_AUDIO, AVMEDIA_TYPE_SUBTITLE}) {
        if (st_index[type] < 0) {
            st_index[type] = -1;
        }
    }
}

// The output's default size: the picture's height, and the width that its aspect gives at that height.
void TCustomPlayer::set_default_window_size(AVFormatContext* ic, AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    if (par->width == 0 || par->height == 0) {
        return;
    }
    const AVRational sar = ff::av_guess_sample_aspect_ratio(ic, st, nullptr);
    double aspect = sar.num > 0 && sar.den > 0 ? av_q2d(sar) : 1.0;
    aspect *= static_cast<double>(par->width) / par->height;
    Fdefault_height = par->height;
    Fdefault_width = static_cast<int>(std::lrint(par->height * aspect)) & ~1;
}

// The read thread.

void TCustomPlayer::do_read_thread(TVideoState* is) {
    if (!is->open_in_caller_thread && do_open_stream(is) < 0) {
        read_thread_exit(is, -1);
        return;
    }
    hand_on_early_packets(is);
    std::unique_ptr<AVPacket, TPacketDeleter> pkt(ff::av_packet_alloc());
    int result = pkt ? 0 : AVERROR(ENOMEM);
    while (result == 0 && !is->abort_request) {
        result = read_loop_pass(is, pkt.get());
    }
    if (result >= 0) {
        is->seek_paused = 0;
        FLastRead = kNoRead;
        result = 0;
    } else {
        PushQuitEvent(is);
    }
    // The input and the streams are closed by the file's close, under the data lock, so that no
    // owner's call is using them meanwhile.
    while (!is->abort_request) {
        wait_continue_read(is, kExitPollMs);
    }
    read_thread_exit(is, result);
}

// One pass of the read loop: 0 to go on, 1 to leave the loop, negative to end with that error.
int TCustomPlayer::read_loop_pass(TVideoState* is, AVPacket* pkt) {
    AVFormatContext* ic = is->ic;
    if (is->paused != is->last_paused) {
        is->last_paused = is->paused;
        if (is->last_paused) {
            is->read_pause_return = ff::av_read_pause(ic);
        } else {
            ff::av_read_play(ic);
        }
    }
    if (is->paused && (FormatIs(ic, "rtsp") || (ic->pb && Finput_filename.starts_with("mmsh:")))) {
        SleepMs(kReadWaitMs);
        return 0;
    }
    if (is->seek_req) {
        do_seek_request(is);
    } else if (is->flush_req) {
        do_flush_request(is);
    }
    if (is->queue_attachments_req) {
        const int err = queue_attachments(is);
        if (err < 0) {
            return err;
        }
    }
    if (queues_are_full(is)) {
        wait_for_room(is);
        return 0;
    }
    if (is->eof) {
        queue_end_of_stream(is);
        return 0;
    }
    is->Reading = 1;
    FLastRead = ff::av_gettime_relative();
    const int ret = ff::av_read_frame(ic, pkt);
    if (is->abort_request) {
        ff::av_packet_unref(pkt);
        is->Reading = 0;
        return 1;
    }
    is->Reading = 0;
    if (ret < 0) {
        if (handle_read_error(is, ret)) {
            return 1;
        }
        wait_continue_read(is, kReadWaitMs);
        return 0;
    }
    route_packet(is, pkt);
    return 0;
}

void TCustomPlayer::restart_queues(TVideoState* is) {
    if (is->audio_stream >= 0) {
        packet_queue_flush(&is->audioq);
        packet_queue_start(&is->audioq);
    }
    if (is->subtitle_stream >= 0) {
        packet_queue_flush(&is->subtitleq);
        packet_queue_start(&is->subtitleq);
    }
    if (is->video_stream >= 0) {
        packet_queue_flush(&is->videoq);
        packet_queue_start(&is->videoq);
        is->seek_flushed = 0;
        FPictEvent.ResetEvent();
    }
}

void TCustomPlayer::do_seek_request(TVideoState* is) {
    AVFormatContext* ic = is->ic;
    const int64_t target = is->seek_pos;
    const int64_t rel = is->seek_rel;
    const int64_t seekMin = rel > 0 ? target - rel + 2 : std::numeric_limits<int64_t>::min();
    const int64_t seekMax = rel < 0 ? target - rel - 2 : std::numeric_limits<int64_t>::max();
    FLastRead = ff::av_gettime_relative();
    int ret = ff::avformat_seek_file(ic, -1, seekMin, target, seekMax, is->seek_flags);
    if (ret < 0) {
        FLastRead = ff::av_gettime_relative();
        ret = ff::avformat_seek_file(ic, -1, seekMin, target, seekMax, is->seek_flags ^ AVSEEK_FLAG_BACKWARD);
    }
    if (ret < 0) {
        DoErrLog(Format("%s: error while seeking", is->filename.c_str()), false);
        is->seek_paused = 0;
        if (is->video_stream >= 0) {
            FPictEvent.SetEvent();
        }
    } else {
        is->audio_frame_available = -1;
        restart_queues(is);
        // After the restart, so that nothing of the old run counts as the new start; no packet of the
        // new run is queued before this.
        hold_start(is, is->video_stream >= 0 && is->audio_stream >= 0);
        if (is->seek_flags & AVSEEK_FLAG_BYTE) {
            clock_set(&is->extclk, NAN, 0);
        } else {
            clock_set(&is->extclk, static_cast<double>(target) / 1000000.0, 0);
        }
        is->flush_req = 0;
    }
    is->IOEOFLog = 0;
    is->IOERRLog = 0;
    is->ReachEOF = 0;
    is->seek_done = 1;
    is->pictq_total_size = 0;
    FSeekEvent.SetEvent();
    if (is->video_stream < 0) {
        FSeeking = false;
    }
    is->seek_req = 0;
    is->queue_attachments_req = 1;
    is->eof = 0;
}

void TCustomPlayer::do_flush_request(TVideoState* is) {
    is->audio_frame_available = -1;
    restart_queues(is);
    clock_set(&is->extclk, static_cast<double>(AV_NOPTS_VALUE), 0);
    is->flush_req = 0;
    is->seek_done = 1;
}

int TCustomPlayer::queue_attachments(TVideoState* is) {
    AVStream* st = is->video_st;
    if (st && (st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        std::unique_ptr<AVPacket, TPacketDeleter> copy(ff::av_packet_alloc());
        if (!copy) {
            return AVERROR(ENOMEM);
        }
        const int err = ff::av_packet_ref(copy.get(), &st->attached_pic);
        if (err < 0) {
            return err;
        }
        packet_queue_put(&is->videoq, copy.get());
        packet_queue_put_nullpacket(&is->videoq, is->video_stream);
    }
    is->queue_attachments_req = 0;
    return 0;
}

bool TCustomPlayer::queues_are_full(TVideoState* is) {
    if (is->infinite_buffer >= 1) {
        return false;
    }
    if (is->audioq.size + is->videoq.size + is->subtitleq.size > kMaxQueueSize) {
        return true;
    }
    auto satisfied = [](int stream, TPacketQueue& q) {
        return stream < 0 || q.abort_request || q.nb_packets > kMinFrames;
    };
    AVStream* video = is->video_st;
    const bool videoSatisfied = satisfied(is->video_stream, is->videoq) ||
                                (video && (video->disposition & AV_DISPOSITION_ATTACHED_PIC));
    return satisfied(is->audio_stream, is->audioq) && videoSatisfied &&
           satisfied(is->subtitle_stream, is->subtitleq);
}

void TCustomPlayer::queue_end_of_stream(TVideoState* is) {
    if (is->video_stream >= 0) {
        packet_queue_put_nullpacket(&is->videoq, is->video_stream);
        FPictEvent.SetEvent();
    }
    if (is->audio_stream >= 0) {
        packet_queue_put_nullpacket(&is->audioq, is->audio_stream);
    }
    if (is->subtitle_stream >= 0) {
        packet_queue_put_nullpacket(&is->subtitleq, is->subtitle_stream);
    }
    SleepMs(kReadWaitMs);
    if (is->audioq.nb_packets <= 1 && is->videoq.nb_packets <= 1 && is->subtitleq.nb_packets <= 1) {
        is->ReachEOF = 1;
    }
    is->eof = 0;
}

void TCustomPlayer::log_end_of_file(TVideoState* is) {
    if (!is->IsImage2 && !is->IOEOFLog) {
        is->IOEOFLog = 1;
        FFLogger().Log(this, llInfo, Format("reach end of file: %s", is->filename.c_str()));
    }
}

// True when reading must stop for good (an I/O error with CheckIOERR).
bool TCustomPlayer::handle_read_error(TVideoState* is, int ret) {
    AVIOContext* pb = is->ic->pb;
    auto clearMarks = [pb] {
        if (pb) {
            pb->eof_reached = 0;
            pb->error = 0;
        }
    };
    if (is->video_stream >= 0) {
        FPictEvent.SetEvent();
    }
    if (ret == AVERROR(EAGAIN)) {
        SleepMs(kReadWaitMs);
        clearMarks();
    } else if (ret == AVERROR_EOF || ret == AVERROR(EPIPE)) {
        is->eof = 1;
        log_end_of_file(is);
        if (pb) {
            pb->error = 0;
        }
    } else if (pb && pb->error == AVERROR(EAGAIN)) {
        SleepMs(kReadWaitMs);
        clearMarks();
    } else if (!pb || !pb->eof_reached) {
        if (!is->IsImage2 && !is->IOERRLog) {
            is->IOERRLog = 1;
            DoErrLog(Format("error #%d while reading file: %s", ret, is->filename.c_str()), false);
        }
        if (ret == -1 && NegativeOneAsEOF) {
            is->eof = 1;
            if (pb) {
                pb->error = 0;
            }
        }
    } else if (CheckIOEOF) {
        is->eof = 1;
        log_end_of_file(is);
        pb->error = 0;
    } else {
        clearMarks();
    }
    if (pb && pb->error) {
        if (CheckIOERR) {
            return true;
        }
        clearMarks();
    }
    return false;
}

void TCustomPlayer::route_packet(TVideoState* is, AVPacket* pkt) {
    AVStream* video = is->video_st;
    if (pkt->stream_index == is->audio_stream) {
        packet_queue_put(&is->audioq, pkt);
    } else if (pkt->stream_index == is->video_stream && video &&
               !(video->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        packet_queue_put(&is->videoq, pkt);
    } else if (pkt->stream_index == is->subtitle_stream) {
        packet_queue_put(&is->subtitleq, pkt);
    } else {
        ff::av_packet_unref(pkt);
    }
}

// The packets an early open read ahead go first, in their order; those its decoder, now the player's, was
// given are not given again.
void TCustomPlayer::hand_on_early_packets(TVideoState* is) {
    std::deque<TEarlyDecode::TPacketPtr> packets = std::move(is->early_decode.packets);
    const int decoded = is->early_decoder_adopted ? is->early_decode.stream : -1;
    is->early_decode = TEarlyDecode{};
    for (TEarlyDecode::TPacketPtr& packet : packets) {
        if (packet->stream_index != decoded) {
            route_packet(is, packet.get());
        }
    }
}

void TCustomPlayer::wait_continue_read(TVideoState* is, int milliseconds) {
    std::unique_lock lock(is->continue_read_thread.mutex);
    is->continue_read_thread.cond.wait_for(lock, std::chrono::milliseconds(milliseconds));
}

// Decoders tell the read thread of every packet they take, so a read thread with full queues sleeps
// until then; the bound only limits a wait whose cause was missed.
void TCustomPlayer::wait_for_room(TVideoState* is) {
    std::unique_lock lock(is->continue_read_thread.mutex);
    if (queues_are_full(is) && !is->seek_req && !is->flush_req && !is->abort_request) {
        is->continue_read_thread.cond.wait_for(lock, std::chrono::milliseconds(kRoomWaitBoundMs));
    }
}

void TCustomPlayer::read_thread_exit(TVideoState* is, int result) {
    if (is->FileOpened != 1) {
        is->FileOpened = -1;
    }
    FLastRead = kNoRead;
    if (is->ic) {
        is->ic->interrupt_callback.callback = nullptr;
    }
    TVideoState* expected = is;
    FVideoStateCB.compare_exchange_strong(expected, nullptr);
    if (is->audio_stream >= 0) {
        stream_component_close(is, is->audio_stream);
    }
    if (is->video_stream >= 0) {
        stream_component_close(is, is->video_stream);
    }
    if (is->subtitle_stream >= 0) {
        stream_component_close(is, is->subtitle_stream);
    }
    if (FDecoder && FDecoder->FileHandle() == is->ic) {
        FDecoder->SetFileHandle(nullptr);
    }
    FAVFormatContext = nullptr;
    if (is->ic) {
        ff::avformat_close_input(&is->ic);
    }
    is->close_input_fd();
    if (result != 0 && !is->abort_request) {
        PushQuitEvent(is);
        SleepMs(kReadWaitMs);
    }
    if (is->FileOpened == -1) {
        is->FileOpened = -2;
        if (TriggerEventInMainThread) {
            MySynchronize([this] { DoOpenFailed(); });
        } else {
            DoOpenFailed();
        }
    }
}

// Requests from other threads.

void TCustomPlayer::stream_seek(TVideoState* is, int64_t pos, int64_t rel, TSeekFlags flags, bool wait) {
    if (is->seek_req) {
        return;
    }
    FSeeking = true;
    is->seek_paused = is->paused.load();
    is->step = 0;
    is->seek_pos = pos;
    is->seek_rel = rel;
    is->seek_flags = MakeSeekFlags(flags);
    FSeekEvent.ResetEvent();
    is->seek_req = 1;
    is->continue_read_thread.Notify();
    if (wait) {
        if (!WaitEventPumping(FSeekEvent, kSeekWaitBoundMs)) {
            FFLogger().Log(this, llWarning, "Seek: the read thread has not finished the seek in time");
        } else if (is->video_stream >= 0 && !WaitEventPumping(FPictEvent, kSeekWaitBoundMs)) {
            FFLogger().Log(this, llWarning, "Seek: no picture after the seek in time");
        }
    }
}

void TCustomPlayer::stream_toggle_pause(TVideoState* is) {
    if (FSeekEvent.WaitFor(250) != platform::wrSignaled) {
        FSeekEvent.SetEvent();
    }
    if (!FVideoState) {
        return;
    }
    if (is->paused) {
        const double now = GetSystemTime();
        is->frame_timer = is->frame_timer + now + clock_pts_drift(&is->vidclk) - clock_pts(&is->vidclk);
        if (CheckReadPause && is->read_pause_return != AVERROR(ENOSYS)) {
            clock_set_paused(&is->vidclk, 0);
        }
        clock_resync(&is->vidclk);
        is->paused = 0;
    } else {
        if (is->video_stream >= 0) {
            if (FPictEvent.WaitFor(250) != platform::wrSignaled) {
                FPictEvent.SetEvent();
            }
            if (!FVideoState) {
                return;
            }
        }
        is->paused = 1;
    }
    clock_resync(&is->extclk);
    clock_set_paused(&is->audclk, is->paused);
    clock_set_paused(&is->vidclk, is->paused);
    clock_set_paused(&is->extclk, is->paused);
}
