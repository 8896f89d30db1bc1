#include "engine/play/FFPlayAudio.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/base/BenchReport.h"
#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/load/STAPI.h"
#include "engine/play/FFPlayPipeline.h"
#include "engine/play/FFPlayVideo.h"
#include "engine/play/PlayEvent.h"

namespace {

constexpr int kAverageCount = 20;                // differences summed before any correction
constexpr double kNoSyncThreshold = 10.0;        // seconds: a larger difference is not corrected
constexpr int kSampleCorrectionPercentMax = 10;  // a block keeps 90 % .. 110 % of its samples
constexpr int kResamplerHeadroom = 256;          // sample frames added to the converter's output
constexpr size_t kSwrOptionsMax = 512;           // bytes of the resampler options text
constexpr int kErrNoMemory = -12;
// Returned by the block makers below when the frame is dropped and decoding goes on.
constexpr int kDropFrame = INT32_MIN;
// The channel count to try after a refused one, by the refused count 0..7.
constexpr int kNextChannelCount[] = {0, 0, 1, 6, 2, 6, 4, 6};

TCustomPlayer& Player(TVideoState* is) {
    return *is->Owner;
}

void Log(TVideoState* is, TLogLevel ALevel, const std::string& AText) {
    FFLogger().Log(is->Owner, ALevel, AText);
}

// Errors of the pipeline go to the player's error log; LastErrMsg stays as it is.
void Report(TVideoState* is, const std::string& AText) {
    Pipeline(Player(is)).DoErrLog(AText, false);
}

const char* SampleFormatName(int AFormat) {
    const char* name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFormat));
    return name ? name : "none";
}

int64_t DefaultLayoutMask(int AChannels) {
    AVChannelLayout layout{};
    ff::av_channel_layout_default(&layout, AChannels);
    const int64_t mask = layout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<int64_t>(layout.u.mask) : 0;
    ff::av_channel_layout_uninit(&layout);
    return mask;
}

// A frame's layout when it is a plain mask that agrees with its channel count, else 0.
int64_t ValidFrameLayout(const AVFrame* frame) {
    const AVChannelLayout& layout = frame->ch_layout;
    if (layout.order != AV_CHANNEL_ORDER_NATIVE || layout.u.mask == 0) {
        return 0;
    }
    return std::popcount(layout.u.mask) == layout.nb_channels ? static_cast<int64_t>(layout.u.mask) : 0;
}

std::string LayoutText(int64_t AMask, int AChannels) {
    AVChannelLayout layout{};
    if (AMask) {
        ff::av_channel_layout_from_mask(&layout, static_cast<uint64_t>(AMask));
    } else {
        ff::av_channel_layout_default(&layout, AChannels);
    }
    char text[64] = {};
    ff::av_channel_layout_describe(&layout, text, sizeof(text));
    ff::av_channel_layout_uninit(&layout);
    return text;
}

// Two formats differ; with one channel on both sides the planar and packed forms count as the same.
bool AudioFormatsDiffer(int fmt1, int channels1, int fmt2, int channels2) {
    if (channels1 == 1 && channels2 == 1) {
        return ff::av_get_packed_sample_fmt(static_cast<AVSampleFormat>(fmt1)) !=
               ff::av_get_packed_sample_fmt(static_cast<AVSampleFormat>(fmt2));
    }
    return channels1 != channels2 || fmt1 != fmt2;
}

bool TempoChanges(TVideoState* is) {
    return master_sync_kind(is) == AV_SYNC_EXTERNAL_CLOCK && clock_speed(&is->extclk) != 1.0;
}

int LinkAudioFilters(TVideoState* is, AVFilterGraph* graph, const std::string& afilters, AVFilterContext* src,
                     AVFilterContext* sink) {
    if (!afilters.empty()) {
        Log(is, llInfo, Format("Parse afilters: %s", afilters.c_str()));
    }
    return attach_filter_chain(graph, afilters.empty() ? nullptr : afilters.c_str(), src, sink);
}

int SetSinkFormat(TVideoState* is, AVFilterContext* sink, bool AForceOutputFormat) {
    const AVSampleFormat fmts[] = {AV_SAMPLE_FMT_S16};
    int ret = ff::av_opt_set_bin(sink, "sample_fmts", reinterpret_cast<const uint8_t*>(fmts), sizeof(fmts),
                                 AV_OPT_SEARCH_CHILDREN);
    if (ret >= 0) {
        ret = ff::av_opt_set_int(sink, "all_channel_counts", AForceOutputFormat ? 0 : 1,
                                 AV_OPT_SEARCH_CHILDREN);
    }
    if (ret >= 0 && AForceOutputFormat) {
        const TAudioParams& tgt = is->audio_tgt;
        const std::string layout = LayoutText(tgt.channel_layout, tgt.channels);
        ret = ff::av_opt_set(sink, "ch_layouts", layout.c_str(), AV_OPT_SEARCH_CHILDREN);
        const int rates[] = {tgt.freq};
        if (ret >= 0) {
            ret = ff::av_opt_set_bin(sink, "sample_rates", reinterpret_cast<const uint8_t*>(rates),
                                     sizeof(rates), AV_OPT_SEARCH_CHILDREN);
        }
    }
    return ret;
}

// The first decoded sound since the open or the last seek (a block of a run before it does not count).
void NoteFirstSound(TVideoState* is, double APTS, int64_t ACallbackTime) {
    if (std::isnan(is->first_sound_time) && !is->start_held && is->audio_clock_serial == is->audioq.serial) {
        is->first_sound_pts = APTS;
        is->first_sound_time = static_cast<double>(ACallbackTime) / 1000000.0;
        bench_report::Print("first_sound", is->first_sound_time, APTS);
    }
}

void DoAudioHook(TVideoState* is, uint8_t* ASamples, int ASize, double APTS) {
    TCustomPlayer& player = Player(is);
    // Blocks of a file whose open failed are not reported; those played while it opens are.
    if (!player.AudioHook || !player.OnAudioHook || is->FileOpened < 0) {
        return;
    }
    // A block without a timestamp is reported with no time.
    const int64_t pts = std::isnan(APTS) ? AV_NOPTS_VALUE : HookTime(APTS, is->StartTime);
    // The handler runs on SDL's audio thread; nothing may escape into SDL's C code.
    try {
        player.OnAudioHook(&player, pts, ASamples, ASize, is->audio_tgt.freq, is->audio_tgt.channels);
    } catch (const std::exception& e) {
        Log(is, llError, std::string("Error occurs OnAudioHook: ") + e.what());
    } catch (...) {
        Log(is, llError, "Error occurs OnAudioHook: unknown exception");
    }
}

// Decodes the next frame of the current packet into the state's frame. 1 with a frame; 0 when the
// packet has given all its frames (or failed), so the next packet is due.
int ReceiveDecodedFrame(TVideoState* is, TAudioState& a) {
    AVCodecContext* avctx = is->audio_avctx.get();
    if (!a.pkt_sent) {
        a.pkt_sent = true;
        const bool endOfStream = !a.audio_pkt->data && a.audio_pkt->size == 0;
        const int ret = ff::avcodec_send_packet(avctx, endOfStream ? nullptr : a.audio_pkt.get());
        if (ret < 0 && ret != AVERROR_EOF && ret != AVERROR(EAGAIN)) {
            Log(is, llInfo, "avcodec_decode_audio4() failed");
            a.pkt_active = false;
            return 0;
        }
    }
    const int ret = ff::avcodec_receive_frame(avctx, a.frame.get());
    if (ret >= 0) {
        return 1;
    }
    a.pkt_active = false;
    if (ret == AVERROR_EOF) {
        is->audio_finished = a.audio_pkt_temp_serial;
    } else if (ret != AVERROR(EAGAIN)) {
        Log(is, llInfo, "avcodec_decode_audio4() failed");
    }
    return 0;
}

// The frame's timestamp in 1 / its rate, from its own timestamp or the guess that follows the last one.
void StampFrame(TVideoState* is, TAudioState& a, AVFrame* frame) {
    const AVRational tb{1, frame->sample_rate};
    const int srcFreq = Player(is).DisableAudioFilter ? is->audio_src.freq : is->audio_filter_src.freq;
    int64_t pts = frame->pts;
    if (pts != AV_NOPTS_VALUE) {
        pts = ff::av_rescale_q(pts, is->audio_avctx->pkt_timebase, tb);
    } else if (a.audio_frame_next_pts != AV_NOPTS_VALUE && srcFreq > 0) {
        pts = ff::av_rescale_q(a.audio_frame_next_pts, AVRational{1, srcFreq}, tb);
    }
    if (pts != AV_NOPTS_VALUE) {
        a.audio_frame_next_pts = pts + frame->nb_samples;
    }
    frame->pts = pts;
}

// Feeds the decoded frame to the filter graph, rebuilding the graph first when the frame's format
// changed. 0 or a negative FFmpeg error.
int FilterFrame(TVideoState* is, TAudioState& a, AVFrame* frame) {
    TCustomPlayer& player = Player(is);
    const int channels = frame->ch_layout.nb_channels;
    const int64_t layout = ValidFrameLayout(frame);
    TAudioParams& src = is->audio_filter_src;
    const bool reconfigure =
        AudioFormatsDiffer(src.fmt, src.channels, frame->format, channels) || src.channel_layout != layout ||
        src.freq != frame->sample_rate ||
        (player.ResetFilterAfterSeeking && a.audio_pkt_temp_serial != is->audio_last_serial);
    if (reconfigure) {
        Log(is, llDebug,
            Format(
                "Audio frame changed from rate:%d ch:%d fmt:%s layout:%s serial:%d to rate:%d ch:%d fmt:%s "
                "layout:%s serial:%d",
                src.freq, src.channels, SampleFormatName(src.fmt),
                LayoutText(src.channel_layout, src.channels).c_str(), is->audio_last_serial,
                frame->sample_rate, channels, SampleFormatName(frame->format),
                LayoutText(layout, channels).c_str(), a.audio_pkt_temp_serial));
        src.fmt = static_cast<AVSampleFormat>(frame->format);
        src.channels = channels;
        src.channel_layout = layout;
        src.freq = frame->sample_rate;
        is->audio_last_serial = a.audio_pkt_temp_serial;
        const int ret = configure_audio_filters(is, player.AudioFilters, true);
        if (ret < 0) {
            return ret;
        }
    }
    return ff::av_buffersrc_add_frame(a.in_audio_filter, frame);
}

// The resampler from the frame's format to the device's, made again when the source changed.
bool EnsureResampler(TVideoState* is, TAudioState& a, const AVFrame* frame, int64_t decLayout, int wanted) {
    const TAudioParams& tgt = is->audio_tgt;
    const int channels = frame->ch_layout.nb_channels;
    if (frame->format == is->audio_src.fmt && decLayout == is->audio_src.channel_layout &&
        frame->sample_rate == is->audio_src.freq && (wanted == frame->nb_samples || a.swr_ctx)) {
        return true;
    }
    a.swr_ctx.reset();
    AVChannelLayout outLayout{};
    AVChannelLayout inLayout{};
    ff::av_channel_layout_from_mask(&outLayout, static_cast<uint64_t>(tgt.channel_layout));
    ff::av_channel_layout_from_mask(&inLayout, static_cast<uint64_t>(decLayout));
    SwrContext* swr = nullptr;
    int ret =
        ff::swr_alloc_set_opts2(&swr, &outLayout, tgt.fmt, tgt.freq, &inLayout,
                                static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0, nullptr);
    a.swr_ctx.reset(swr);
    if (ret >= 0) {
        ret = ff::swr_init(swr);
    }
    ff::av_channel_layout_uninit(&outLayout);
    ff::av_channel_layout_uninit(&inLayout);
    if (ret < 0) {
        a.swr_ctx.reset();
        Report(
            is,
            Format("Cannot create sample rate converter for conversion of %d Hz %s %d channels to %d Hz %s "
                   "%d channels!",
                   frame->sample_rate, SampleFormatName(frame->format), channels, tgt.freq,
                   SampleFormatName(tgt.fmt), tgt.channels));
        return false;
    }
    is->audio_src.channel_layout = decLayout;
    is->audio_src.channels = channels;
    is->audio_src.freq = frame->sample_rate;
    is->audio_src.fmt = static_cast<AVSampleFormat>(frame->format);
    return true;
}

// Normal speed: the frame converted to the device's format with the wanted number of samples.
int ResampleBlock(TVideoState* is, TAudioState& a, AVFrame* frame, int dataSize, int64_t decLayout,
                  int wanted) {
    if (!EnsureResampler(is, a, frame, decLayout, wanted)) {
        return kDropFrame;
    }
    if (!a.swr_ctx) {
        a.audio_buf = frame->data[0];
        return dataSize;
    }
    const TAudioParams& tgt = is->audio_tgt;
    const int outCount =
        static_cast<int>(static_cast<int64_t>(wanted) * tgt.freq / frame->sample_rate + kResamplerHeadroom);
    const int outSize = ff::av_samples_get_buffer_size(nullptr, tgt.channels, outCount, tgt.fmt, 0);
    if (outSize < 0) {
        Log(is, llError, "av_samples_get_buffer_size() failed");
        return kDropFrame;
    }
    if (wanted != frame->nb_samples) {
        const int delta = static_cast<int>(static_cast<int64_t>(wanted - frame->nb_samples) * tgt.freq /
                                           frame->sample_rate);
        const int distance = static_cast<int>(static_cast<int64_t>(wanted) * tgt.freq / frame->sample_rate);
        if (ff::swr_set_compensation(a.swr_ctx.get(), delta, distance) < 0) {
            Report(is, "swr_set_compensation() failed");
            return kDropFrame;
        }
    }
    ff::av_fast_malloc(&a.audio_buf1, &a.audio_buf1_size, static_cast<size_t>(outSize));
    if (!a.audio_buf1) {
        a.audio_buf1_size = 0;
        Report(is, "av_fast_malloc() failed");
        return kErrNoMemory;
    }
    uint8_t* out[] = {a.audio_buf1};
    const int converted = ff::swr_convert(
        a.swr_ctx.get(), out, outCount, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
    if (converted < 0) {
        Report(is, "swr_convert() failed");
        return kDropFrame;
    }
    if (converted == outCount) {
        Log(is, llWarning, "audio buffer is probably too small");
        if (ff::swr_init(a.swr_ctx.get()) < 0) {
            a.swr_ctx.reset();
        }
    }
    a.audio_buf = a.audio_buf1;
    return converted * tgt.channels * ff::av_get_bytes_per_sample(tgt.fmt);
}

bool SoundTouchUsable(TVideoState* is, int channels) {
    return Player(is).EnableAudioSpeed && FFLoader().Loaded(libSoundTouch) &&
           (channels == 1 || channels == 2);
}

// Another playback speed: the frame through the tempo processor, or silence of the shortened length when
// no tempo processor can be used.
int TempoBlock(TVideoState* is, TAudioState& a, AVFrame* frame, int dataSize) {
    if (frame->format != AV_SAMPLE_FMT_S16) {
        Report(is, "Invalidate audio format for changing playback speed.");
        return -1;
    }
    const double speed = clock_speed(&is->extclk);
    const int channels = frame->ch_layout.nb_channels;
    const int frameBytes = channels * 2;
    int outBytes = static_cast<int>(dataSize / speed);
    outBytes -= outBytes % frameBytes;
    if (outBytes <= 0) {
        return kDropFrame;
    }
    ff::av_fast_malloc(&a.audio_buf1, &a.audio_buf1_size, static_cast<size_t>(outBytes));
    if (!a.audio_buf1) {
        a.audio_buf1_size = 0;
        Report(is, "av_fast_malloc() failed");
        return kErrNoMemory;
    }
    a.audio_buf = a.audio_buf1;
    if (!SoundTouchUsable(is, channels)) {
        std::memset(a.audio_buf1, 0, static_cast<size_t>(outBytes));
        return outBytes;
    }
    if (!a.soundtouch) {
        a.soundtouch = st::soundtouch_createInstance();
        if (!a.soundtouch) {
            Report(is, "soundtouch_createInstance() failed");
            return kErrNoMemory;
        }
        a.st_channels = 0;
        a.st_sample_rate = 0;
        a.st_tempo = 0.0;
    }
    if (a.st_channels != channels) {
        st::soundtouch_setChannels(a.soundtouch, static_cast<unsigned>(channels));
        a.st_channels = channels;
    }
    if (a.st_sample_rate != is->audio_tgt.freq) {
        st::soundtouch_setSampleRate(a.soundtouch, static_cast<unsigned>(is->audio_tgt.freq));
        a.st_sample_rate = is->audio_tgt.freq;
    }
    if (a.st_tempo != speed) {
        st::soundtouch_setTempo(a.soundtouch, static_cast<float>(speed));
        a.st_tempo = speed;
    }
    const int stFrame = a.st_channels * 2;
    st::soundtouch_putSamples_i16(a.soundtouch, reinterpret_cast<const short*>(frame->data[0]),
                                  static_cast<unsigned>(dataSize / stFrame));
    const unsigned got = st::soundtouch_receiveSamples_i16(
        a.soundtouch, reinterpret_cast<short*>(a.audio_buf1), static_cast<unsigned>(outBytes / stFrame));
    if (got == 0) {
        return kDropFrame;
    }
    return static_cast<int>(got) * stFrame;
}

// Takes the next packet from the audio queue, polling every millisecond while it is empty. 0 when the
// packet is ready to decode; -1 when paused or closing.
int NextAudioPacket(TVideoState* is, TAudioState& a) {
    if (a.audio_pkt->data) {
        ff::av_packet_unref(a.audio_pkt.get());
    }
    a.pkt_active = false;
    for (;;) {
        if (is->paused || is->audioq.abort_request) {
            return -1;
        }
        if (is->audioq.nb_packets == 0) {
            is->continue_read_thread.Notify();
        }
        int serial = 0;
        bool flush = false;
        const int got = packet_queue_get(&is->audioq, a.audio_pkt.get(), 0, &serial, &flush);
        if (got < 0) {
            return -1;
        }
        if (got == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        a.audio_pkt_temp_serial = serial;
        if (flush) {
            ff::avcodec_flush_buffers(is->audio_avctx.get());
            a.audio_buf_frames_pending = false;
            a.audio_frame_next_pts = AV_NOPTS_VALUE;
            const AVInputFormat* fmt = is->ic->iformat;
            AVStream* st = is->audio_st;
            const int srcFreq = is->audio_src.freq;
            if ((fmt->flags & (AVFMT_NOBINSEARCH | AVFMT_NOGENSEARCH | AVFMT_NO_BYTE_SEEK)) &&
                !fmt->read_seek && st && st->start_time != AV_NOPTS_VALUE && srcFreq > 0) {
                a.audio_frame_next_pts =
                    ff::av_rescale_q(st->start_time, st->time_base, AVRational{1, srcFreq});
            }
            continue;
        }
        a.pkt_active = true;
        a.pkt_sent = false;
        return 0;
    }
}

}  // namespace

void TPacketFree::operator()(AVPacket* pkt) const {
    if (pkt && ff::av_packet_free) {
        ff::av_packet_free(&pkt);
    }
}

void TFrameFree::operator()(AVFrame* frame) const {
    if (frame && ff::av_frame_free) {
        ff::av_frame_free(&frame);
    }
}

void TSwrFree::operator()(SwrContext* swr) const {
    if (swr && ff::swr_free) {
        ff::swr_free(&swr);
    }
}

void TFilterGraphFree::operator()(AVFilterGraph* graph) const {
    if (graph && ff::avfilter_graph_free) {
        ff::avfilter_graph_free(&graph);
    }
}

TAudioState::~TAudioState() {
    if (device_open && device.Close) {
        device.Close();
    }
    device_open = false;
    if (soundtouch && st::soundtouch_destroyInstance) {
        st::soundtouch_destroyInstance(soundtouch);
    }
    if (audio_buf1 && ff::av_freep) {
        ff::av_freep(&audio_buf1);
    }
}

void TAudioStateDeleter::operator()(TAudioState* state) const {
    delete state;
}

std::string TCustomPlayer::SwrOptionsText() {
    std::lock_guard lock(optionsLock_);
    std::string text;
    AVDictionary* opts = FOptions ? FOptions->swr_opts() : nullptr;
    const AVDictionaryEntry* e = nullptr;
    while ((e = ff::av_dict_get(opts, "", e, AV_DICT_IGNORE_SUFFIX))) {
        const std::string item = std::string(e->key) + "=" + e->value + ":";
        if (text.size() + item.size() >= kSwrOptionsMax) {
            break;
        }
        text += item;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

TSDLEntries TCustomPlayer::SDLEntries() const {
    return FSDLLoader->Entries();
}

int next_audio_channel_count(int ACount) {
    if (ACount < 0) {
        return 0;
    }
    return ACount < static_cast<int>(std::size(kNextChannelCount)) ? kNextChannelCount[ACount] : 6;
}

int configure_audio_filters(TVideoState* is, const std::string& afilters, bool AForceOutputFormat) {
    TAudioState& a = *is->audio;
    is->agraph = nullptr;
    a.in_audio_filter = nullptr;
    a.out_audio_filter = nullptr;
    a.graph.reset(ff::avfilter_graph_alloc());
    if (!a.graph) {
        return AVERROR(ENOMEM);
    }
    AVFilterGraph* graph = a.graph.get();
    const std::string swrOpts = Pipeline(Player(is)).SwrOptionsText();
    if (!swrOpts.empty()) {
        ff::av_opt_set(graph, "aresample_swr_opts", swrOpts.c_str(), 0);
    }
    const TAudioParams& src = is->audio_filter_src;
    std::string args = Format("sample_rate=%d:sample_fmt=%s:channels=%d:time_base=%d/%d", src.freq,
                              SampleFormatName(src.fmt), src.channels, 1, src.freq);
    if (src.channel_layout) {
        args += Format(":channel_layout=0x%llx", static_cast<unsigned long long>(src.channel_layout));
    }
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    int ret = ff::avfilter_graph_create_filter(&source, ff::avfilter_get_by_name("abuffer"), "ffplay_abuffer",
                                               args.c_str(), nullptr, graph);
    if (ret >= 0) {
        ret = ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("abuffersink"),
                                               "ffplay_abuffersink", nullptr, nullptr, graph);
    }
    if (ret >= 0) {
        ret = SetSinkFormat(is, sink, AForceOutputFormat);
    }
    if (ret >= 0) {
        ret = LinkAudioFilters(is, graph, afilters, source, sink);
    }
    if (ret < 0) {
        a.graph.reset();
        return ret;
    }
    a.in_audio_filter = source;
    a.out_audio_filter = sink;
    is->agraph = graph;
    return 0;
}

int audio_decode_frame(TVideoState* is, double& out_time) {
    TAudioState& a = *is->audio;
    if (is->paused || is->audioq.abort_request) {
        return -1;
    }
    const bool withFilter = !Player(is).DisableAudioFilter;
    for (;;) {
        while (a.pkt_active || a.audio_buf_frames_pending) {
            if (!a.frame) {
                a.frame.reset(ff::av_frame_alloc());
                if (!a.frame) {
                    return kErrNoMemory;
                }
            } else {
                ff::av_frame_unref(a.frame.get());
            }
            AVFrame* frame = a.frame.get();
            if (is->audioq.serial != a.audio_pkt_temp_serial) {
                // What is left belongs to a run before a seek or flush.
                a.pkt_active = false;
                a.audio_buf_frames_pending = false;
                break;
            }
            if (is->paused) {
                return -1;
            }
            AVRational tb{1, 1};
            if (!a.audio_buf_frames_pending) {
                if (ReceiveDecodedFrame(is, a) == 0) {
                    continue;
                }
                StampFrame(is, a, frame);
                tb = AVRational{1, frame->sample_rate};
                if (withFilter) {
                    std::lock_guard graphLock(is->filter_command_lock);
                    const int ret = FilterFrame(is, a, frame);
                    if (ret < 0) {
                        return ret;
                    }
                }
            }
            if (withFilter) {
                int ret = 0;
                {
                    std::lock_guard graphLock(is->filter_command_lock);
                    ret = ff::av_buffersink_get_frame_flags(a.out_audio_filter, frame, 0);
                }
                if (ret == AVERROR(EAGAIN)) {
                    a.audio_buf_frames_pending = false;
                    continue;
                }
                if (ret == AVERROR_EOF) {
                    is->audio_finished = a.audio_pkt_temp_serial;
                    return ret;
                }
                if (ret < 0) {
                    return ret;
                }
                a.audio_buf_frames_pending = true;
                tb = ff::av_buffersink_get_time_base(a.out_audio_filter);
            }
            const int channels = frame->ch_layout.nb_channels;
            const int dataSize = ff::av_samples_get_buffer_size(
                nullptr, channels, frame->nb_samples, static_cast<AVSampleFormat>(frame->format), 1);
            int64_t decLayout = ValidFrameLayout(frame);
            if (!decLayout) {
                decLayout = DefaultLayoutMask(channels);
            }
            const int wanted = audio_sync_sample_count(is, frame->nb_samples);
            const int bytes = TempoChanges(is) ? TempoBlock(is, a, frame, dataSize)
                                               : ResampleBlock(is, a, frame, dataSize, decLayout, wanted);
            if (bytes == kDropFrame) {
                continue;
            }
            if (bytes < 0) {
                return bytes;
            }
            is->audio_clock =
                frame->pts != AV_NOPTS_VALUE
                    ? frame->pts * av_q2d(tb) + static_cast<double>(frame->nb_samples) / frame->sample_rate
                    : NAN;
            out_time = is->audio_clock;
            is->audio_clock_serial = a.audio_pkt_temp_serial;
            is->audio_frame_available = 1;
            return bytes;
        }
        if (NextAudioPacket(is, a) < 0) {
            return -1;
        }
    }
}

int audio_sync_sample_count(TVideoState* is, int ACount) {
    const int master = master_sync_kind(is);
    if (master == AV_SYNC_AUDIO_MASTER) {
        return ACount;
    }
    const double diff = clock_value(&is->audclk) - master_clock_value(is);
    const double speed = clock_speed(&is->extclk);
    if (master == AV_SYNC_EXTERNAL_CLOCK && speed != 1.0) {
        return static_cast<int>(std::lround(ACount / speed));
    }
    if (std::isnan(diff) || std::fabs(diff) >= kNoSyncThreshold) {
        // Too far apart: a seek or a stream change, not a drift.
        is->audio_diff_avg_count = 0;
        is->audio_diff_cum = 0;
        return ACount;
    }
    is->audio_diff_cum = diff + is->audio_diff_avg_coef * is->audio_diff_cum;
    if (is->audio_diff_avg_count < kAverageCount) {
        ++is->audio_diff_avg_count;
        return ACount;
    }
    const double avg = is->audio_diff_cum * (1.0 - is->audio_diff_avg_coef);
    if (std::fabs(avg) < is->audio_diff_threshold) {
        return ACount;
    }
    const int wanted = ACount + static_cast<int>(diff * is->audio_src.freq);
    const int lowest = ACount * (100 - kSampleCorrectionPercentMax) / 100;
    const int highest = ACount * (100 + kSampleCorrectionPercentMax) / 100;
    return std::clamp(wanted, lowest, highest);
}

void store_display_samples(TVideoState* is, const uint8_t* data, int len) {
    TAudioState& a = *is->audio;
    const auto* samples = reinterpret_cast<const int16_t*>(data);
    int count = len / 2;
    std::lock_guard lock(a.sample_lock);
    while (count > 0) {
        const int n = std::min(count, kSampleArraySize - a.sample_array_index);
        std::memcpy(a.sample_array.data() + a.sample_array_index, samples, static_cast<size_t>(n) * 2);
        samples += n;
        count -= n;
        a.sample_array_index += n;
        if (a.sample_array_index >= kSampleArraySize) {
            a.sample_array_index = 0;
        }
    }
}

void audio_snapshot_samples(TVideoState* is, std::vector<int16_t>& ARing, int& AIndex, int& AWriteBufSize,
                            int AChannels, int AExtraFrames, int AExtraSamples) {
    TAudioState* a = is->audio.get();
    if (!a) {
        ARing.assign(kSampleArraySize, 0);
        AIndex = 0;
        AWriteBufSize = 0;
        return;
    }
    if (ARing.size() != static_cast<size_t>(kSampleArraySize)) {
        ARing.assign(kSampleArraySize, 0);
    }
    // Only the span a view reads is copied: the whole ring would be a megabyte per frame.
    std::lock_guard lock(a->sample_lock);
    AIndex = a->sample_array_index;
    AWriteBufSize = a->audio_write_buf_size;
    const int64_t channels = std::max(AChannels, 1);
    const int64_t wanted = (AWriteBufSize / (2 * channels) + std::max(AExtraFrames, 0)) * channels +
                           std::max(AExtraSamples, 0);
    int count = static_cast<int>(std::min<int64_t>(wanted, kSampleArraySize));
    int end = AIndex;
    while (count > 0) {
        const int n = std::min(count, end > 0 ? end : kSampleArraySize);
        const int from = end > 0 ? end - n : kSampleArraySize - n;
        std::memcpy(ARing.data() + from, a->sample_array.data() + from, static_cast<size_t>(n) * 2);
        count -= n;
        end = from;
    }
}

void audio_device_callback(void* opaque, Uint8* stream, int len) {
    auto* is = static_cast<TVideoState*>(opaque);
    TAudioState& a = *is->audio;
    TCustomPlayer& player = Player(is);
    const int64_t callbackTime = ff::av_gettime_relative();
    Pipeline(player).AudioCallbackTime() = callbackTime;
    while (len > 0) {
        if (is->audio_buf_index >= static_cast<int>(is->audio_buf_size)) {
            double pts = NAN;
            const int size = audio_decode_frame(is, pts);
            if (is->audioq.abort_request) {
                // Closing: the rest of this period stays silent.
                std::memset(stream, 0, static_cast<size_t>(len));
                break;
            }
            if (size < 0) {
                a.audio_buf = a.silence_buf;
                const int frameSize = std::max(1, is->audio_tgt.frame_size);
                is->audio_buf_size = static_cast<unsigned>(kSilenceBlockBytes / frameSize * frameSize);
            } else {
                NoteFirstSound(is, pts, callbackTime);
                DoAudioHook(is, a.audio_buf, size, pts);
                if (is->show_mode != SHOW_MODE_VIDEO) {
                    store_display_samples(is, a.audio_buf, size);
                }
                is->audio_buf_size = static_cast<unsigned>(size);
            }
            is->audio_buf_index = 0;
        }
        const int n = std::min(static_cast<int>(is->audio_buf_size) - is->audio_buf_index, len);
        const uint8_t* source = a.audio_buf + is->audio_buf_index;
        const int volume = player.AudioVolume;
        if (player.Mute || volume == 0) {
            std::memset(stream, 0, static_cast<size_t>(n));
        } else if (volume >= kFullAudioVolume) {
            std::memcpy(stream, source, static_cast<size_t>(n));
        } else {
            std::memset(stream, 0, static_cast<size_t>(n));
            a.sdl.SDL_MixAudio(stream, source, static_cast<Uint32>(n), volume);
        }
        len -= n;
        stream += n;
        is->audio_buf_index += n;
    }
    a.audio_write_buf_size = static_cast<int>(is->audio_buf_size) - is->audio_buf_index;
    if (!std::isnan(is->audio_clock) && is->audio_tgt.bytes_per_sec > 0) {
        const double buffered = static_cast<double>(2 * is->audio_hw_buf_size + a.audio_write_buf_size) /
                                is->audio_tgt.bytes_per_sec;
        clock_set_at(&is->audclk, is->audio_clock - buffered, is->audio_clock_serial,
                     callbackTime / 1000000.0);
        clock_follow(&is->extclk, &is->audclk);
    }
}

int audio_open(TVideoState* is, int64_t wanted_channel_layout, int wanted_nb_channels, int wanted_sample_rate,
               TAudioParams& audio_hw_params) {
    TAudioState& a = *is->audio;
    if (const char* env = SDLGetEnv("SDL_AUDIO_CHANNELS")) {
        wanted_nb_channels = std::atoi(env);
        wanted_channel_layout = DefaultLayoutMask(wanted_nb_channels);
    }
    if (!wanted_channel_layout ||
        std::popcount(static_cast<uint64_t>(wanted_channel_layout)) != wanted_nb_channels) {
        wanted_channel_layout =
            DefaultLayoutMask(wanted_nb_channels) & ~static_cast<int64_t>(AV_CH_LAYOUT_STEREO_DOWNMIX);
    }
    const int channels = std::popcount(static_cast<uint64_t>(wanted_channel_layout));
    if (wanted_sample_rate <= 0 || channels <= 0) {
        Report(is, "Invalid sample rate or channel count!");
        return -1;
    }
    SDL_AudioSpec wanted{};
    SDL_AudioSpec spec{};
    wanted.freq = wanted_sample_rate;
    wanted.format = AUDIO_S16SYS;
    wanted.channels = static_cast<Uint8>(channels);
    wanted.silence = 0;
    wanted.samples = kAudioDeviceSamples;
    wanted.callback = audio_device_callback;
    wanted.userdata = is;
    while (a.device.Open(&wanted, &spec) < 0) {
        const char* error = a.sdl.SDL_GetError ? a.sdl.SDL_GetError() : "";
        Log(is, llWarning, Format("SDL_OpenAudio (%d channels): %s", wanted.channels, error ? error : ""));
        wanted.channels = static_cast<Uint8>(next_audio_channel_count(wanted.channels));
        if (!wanted.channels) {
            Report(is, "No more channel combinations to try, audio open failed");
            return -1;
        }
        wanted_channel_layout = DefaultLayoutMask(wanted.channels);
    }
    // From here the device is open: every failure closes it again.
    a.device_open = true;
    auto fail = [&](const std::string& AText) {
        Report(is, AText);
        a.device.Close();
        a.device_open = false;
        return -1;
    };
    if (spec.format != AUDIO_S16SYS) {
        return fail(Format("SDL advised audio format %d is not supported!", spec.format));
    }
    if (spec.channels != wanted.channels) {
        wanted_channel_layout = DefaultLayoutMask(spec.channels);
        if (!wanted_channel_layout) {
            return fail(Format("SDL advised channel count %d is not supported!", spec.channels));
        }
    }
    audio_hw_params.fmt = AV_SAMPLE_FMT_S16;
    audio_hw_params.freq = spec.freq;
    audio_hw_params.channel_layout = wanted_channel_layout;
    audio_hw_params.channels = spec.channels;
    audio_hw_params.frame_size =
        ff::av_samples_get_buffer_size(nullptr, spec.channels, 1, AV_SAMPLE_FMT_S16, 1);
    audio_hw_params.bytes_per_sec =
        ff::av_samples_get_buffer_size(nullptr, spec.channels, spec.freq, AV_SAMPLE_FMT_S16, 1);
    if (audio_hw_params.bytes_per_sec <= 0 || audio_hw_params.frame_size <= 0) {
        return fail("av_samples_get_buffer_size failed");
    }
    return static_cast<int>(spec.size);
}

int audio_component_open(TVideoState* is, const TAudioDevice* AWithDevice) {
    TCustomPlayer& player = Player(is);
    AVCodecContext* avctx = is->audio_avctx.get();
    is->audio.reset(new TAudioState);
    TAudioState& a = *is->audio;
    a.sdl = Pipeline(player).SDLEntries();
    if (AWithDevice) {
        a.device = *AWithDevice;
    } else {
        const TSDLEntries sdl = a.sdl;
        a.device.Open = [sdl](SDL_AudioSpec* w, SDL_AudioSpec* o) { return sdl.SDL_OpenAudio(w, o); };
        a.device.Close = [sdl] { sdl.SDL_CloseAudio(); };
    }
    a.audio_pkt.reset(ff::av_packet_alloc());
    if (!a.audio_pkt) {
        is->audio.reset();
        return AVERROR(ENOMEM);
    }
    const int codecChannels = avctx->ch_layout.nb_channels;
    const int64_t codecLayout = avctx->ch_layout.order == AV_CHANNEL_ORDER_NATIVE &&
                                        std::popcount(avctx->ch_layout.u.mask) == codecChannels
                                    ? static_cast<int64_t>(avctx->ch_layout.u.mask)
                                    : 0;
    int rate = avctx->sample_rate;
    int channels = codecChannels;
    int64_t layout = codecLayout;
    if (!player.DisableAudioFilter) {
        is->audio_filter_src.freq = avctx->sample_rate;
        is->audio_filter_src.channels = codecChannels;
        is->audio_filter_src.channel_layout = codecLayout;
        is->audio_filter_src.fmt = avctx->sample_fmt;
        int ret = configure_audio_filters(is, player.AudioFilters, false);
        if (ret < 0) {
            is->audio.reset();
            return ret;
        }
        AVFilterContext* sink = a.out_audio_filter;
        rate = ff::av_buffersink_get_sample_rate(sink);
        AVChannelLayout sinkLayout{};
        ff::av_buffersink_get_ch_layout(sink, &sinkLayout);
        channels = sinkLayout.nb_channels;
        layout = sinkLayout.order == AV_CHANNEL_ORDER_NATIVE ? static_cast<int64_t>(sinkLayout.u.mask) : 0;
        ff::av_channel_layout_uninit(&sinkLayout);
    }
    const int hwBufSize = audio_open(is, layout, channels, rate, is->audio_tgt);
    if (hwBufSize < 0) {
        is->agraph = nullptr;
        is->audio.reset();
        return hwBufSize;
    }
    is->audio_hw_buf_size = hwBufSize;
    is->audio_src = is->audio_tgt;
    is->audio_buf_size = 0;
    is->audio_buf_index = 0;
    is->audio_clock = NAN;
    is->audio_diff_cum = 0.0;
    is->audio_diff_avg_coef = std::exp(std::log(0.01) / kAverageCount);
    is->audio_diff_avg_count = 0;
    is->audio_diff_threshold = 2.0 * hwBufSize / is->audio_tgt.bytes_per_sec;
    return 0;
}

void audio_component_start(TVideoState* is) {
    if (is->audio && is->audio->device_open && is->audio->sdl.SDL_PauseAudio) {
        is->audio->sdl.SDL_PauseAudio(0);
    }
}

void audio_component_close(TVideoState* is) {
    // The device is closed while the audio state is still reachable: closing ends the callback, which
    // reads the state through the record until then.
    if (TAudioState* a = is->audio.get(); a && a->device_open) {
        if (a->device.Close) {
            a->device.Close();
        }
        a->device_open = false;
    }
    is->agraph = nullptr;
    is->audio.reset();
}
