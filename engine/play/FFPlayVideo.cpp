// Video decoding and the picture queue: the video decoder thread, its filter graph, and the hand-over
// of pictures to the play thread through three SDL overlays.
#include "engine/play/FFPlayVideo.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFAPI.h"
#include "engine/load/libsdl.h"
#include "engine/play/FFPlay.h"

namespace {

constexpr double kNoSyncThreshold = 10.0;
constexpr int kPausedPollMs = 10;
constexpr int kAllocWaitSliceMs = 10;
constexpr Uint32 kYV12Overlay = 0x32315659;  // "YV12"

int Even(int AValue) {
    return AValue & ~1;
}

double Duration(AVRational ARate) {
    return ARate.num && ARate.den ? static_cast<double>(ARate.den) / ARate.num : 0.0;
}

double FramePts(const AVFrame* AFrame, AVRational ATimeBase) {
    return AFrame->pts == AV_NOPTS_VALUE ? NAN : static_cast<double>(AFrame->pts) * av_q2d(ATimeBase);
}

const char* PixFmtName(int AFormat) {
    const char* name = AFormat >= 0 ? ff::av_get_pix_fmt_name(static_cast<AVPixelFormat>(AFormat)) : nullptr;
    return name ? name : "none";
}

}  // namespace

void OverlayPicture(const SDL_Overlay* AOverlay, TAVPicture& APicture) {
    APicture = TAVPicture{};
    APicture.data[0] = AOverlay->pixels[0];
    APicture.data[1] = AOverlay->pixels[2];
    APicture.data[2] = AOverlay->pixels[1];
    APicture.linesize[0] = AOverlay->pitches[0];
    APicture.linesize[1] = AOverlay->pitches[2];
    APicture.linesize[2] = AOverlay->pitches[1];
}

// The rules.

TDisplayRect display_rect_for_picture(int xleft, int ytop, int AAreaWidth, int AAreaHeight, int APicWidth,
                                      int APicHeight, AVRational ASar, float AAspect) {
    float aspect = AAspect;
    if (!(aspect > 0.0f)) {
        aspect = ASar.num == 0 || ASar.den == 0 ? 0.0f
                                                : static_cast<float>(ASar.num) / static_cast<float>(ASar.den);
        if (!(aspect > 0.0f)) {
            aspect = 1.0f;
        }
        aspect = aspect * static_cast<float>(APicWidth) / static_cast<float>(std::max(APicHeight, 1));
    }
    int h = AAreaHeight;
    int w = Even(static_cast<int>(std::floor(static_cast<double>(h) * aspect)));
    if (w > AAreaWidth) {
        w = AAreaWidth;
        h = Even(static_cast<int>(std::floor(static_cast<double>(w) / aspect)));
    }
    const int x = (AAreaWidth - w) / 2;
    const int y = (AAreaHeight - h) / 2;
    return TDisplayRect{xleft + x, ytop + y, std::max(w, 1), std::max(h, 1)};
}

void default_window_size(int APicWidth, int APicHeight, AVRational ASar, int& AWidth, int& AHeight) {
    const TDisplayRect rect =
        display_rect_for_picture(0, 0, 32767, APicHeight, APicWidth, APicHeight, ASar, 0.0f);
    AWidth = Even(rect.w);
    AHeight = Even(rect.h);
}

float output_aspect(float AAspectRatio, int AAreaWidth, int AAreaHeight) {
    if (!(AAspectRatio >= 0.0f) && AAreaWidth != 0 && AAreaHeight != 0) {
        return static_cast<float>(AAreaWidth) / static_cast<float>(AAreaHeight);
    }
    return AAspectRatio > 0.0f ? AAspectRatio : 0.0f;
}

TBorderRects border_rects(int xleft, int ytop, int AWidth, int AHeight, const TDisplayRect& r) {
    const int left = std::max(r.x, 0);
    const int right = std::max(AWidth - (r.x + r.w), 0);
    const int top = std::max(r.y, 0);
    const int bottom = std::max(AHeight - (r.y + r.h), 0);
    TBorderRects b;
    b.r[0] = {xleft, ytop, left, AHeight};
    b.r[1] = {xleft + AWidth - right, ytop, right, AHeight};
    b.r[2] = {xleft + left, ytop, AWidth - left - right, top};
    b.r[3] = {xleft + left, ytop + AHeight - bottom, AWidth - left - right, bottom};
    return b;
}

double compute_target_delay(double ADelay, const TSyncFacts& f) {
    if (f.VideoMaster) {
        return ADelay;
    }
    const double diff = f.Diff;
    const double sync_threshold = std::max(0.01, std::min(0.1, ADelay));
    if (std::isnan(diff) || std::fabs(diff) >= f.MaxFrameDuration) {
        return ADelay;
    }
    if (diff <= -sync_threshold) {
        return std::max(0.0, ADelay + diff);
    }
    if (diff >= sync_threshold && ADelay > 0.1) {
        return ADelay + diff;
    }
    if (diff >= sync_threshold) {
        if (f.ExternalMaster && f.ExternalSpeed != 1.0) {
            return ADelay / f.ExternalSpeed;
        }
        return 2 * ADelay;
    }
    return ADelay;
}

double compute_picture_duration(const TVideoPicture& AVp, const TVideoPicture& ANext,
                                double AMaxFrameDuration) {
    if (AVp.serial != ANext.serial) {
        return 0.0;
    }
    const double d = ANext.pts - AVp.pts;
    if (!std::isnan(d) && d > 0 && d <= AMaxFrameDuration) {
        return d;
    }
    return AVp.duration;
}

uint32_t subtitle_palette_entry(uint32_t ARGBA) {
    const int a = static_cast<int>(ARGBA >> 24 & 0xFF);
    const int r = static_cast<int>(ARGBA >> 16 & 0xFF);
    const int g = static_cast<int>(ARGBA >> 8 & 0xFF);
    const int b = static_cast<int>(ARGBA & 0xFF);
    const int y = (263 * r + 517 * g + 101 * b + 16896) >> 10;
    const int u = ((-152 * r - 298 * g + 450 * b + 511) >> 10) + 128;
    const int v = ((450 * r - 377 * g - 74 * b + 511) >> 10) + 128;
    return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(y) << 16 | static_cast<uint32_t>(u) << 8 |
           static_cast<uint32_t>(v);
}

namespace {

struct TBlendSource {
    const uint8_t* indices;
    int pitch;
    const uint32_t* palette;
    uint32_t Entry(int x, int y) const { return palette[indices[static_cast<ptrdiff_t>(y) * pitch + x]]; }
};

int Alpha(uint32_t AEntry) {
    return static_cast<int>(AEntry >> 24);
}

int Chroma(uint32_t AEntry, int APlane) {
    return APlane == 1 ? static_cast<int>(AEntry >> 8 & 0xFF) : static_cast<int>(AEntry & 0xFF);
}

}  // namespace

void blend_subtitle_rect(uint8_t* const AData[3], const int ALinesize[3], const AVSubtitleRect& ARect, int W,
                         int H) {
    if (!ARect.data[0] || !ARect.data[1]) {
        return;
    }
    const int dstw = std::clamp(ARect.w, 0, W);
    const int dsth = std::clamp(ARect.h, 0, H);
    const int dstx = ARect.x < 0 ? 0 : std::min(ARect.x, W - dstw);
    const int dsty = ARect.y < 0 ? 0 : std::min(ARect.y, H - dsth);
    // Palette indices, one byte per pixel, rows of the rectangle's own line size (its width when none).
    const TBlendSource src{ARect.data[0], ARect.linesize[0] > 0 ? ARect.linesize[0] : ARect.w,
                           reinterpret_cast<const uint32_t*>(ARect.data[1])};
    for (int y = 0; y < dsth; ++y) {
        uint8_t* lum = AData[0] + static_cast<ptrdiff_t>(dsty + y) * ALinesize[0] + dstx;
        for (int x = 0; x < dstw; ++x) {
            const uint32_t e = src.Entry(x, y);
            const int a = Alpha(e);
            lum[x] = static_cast<uint8_t>(((255 - a) * lum[x] + a * static_cast<int>(e >> 16 & 0xFF)) / 255);
        }
    }
    // Chroma: each sample at half resolution covers the luma pixels of its 2x2 block that lie inside the
    // rectangle; every covered sample is blended once.
    const int cx0 = dstx >> 1;
    const int cy0 = dsty >> 1;
    const int cx1 = (dstx + dstw - 1) >> 1;
    const int cy1 = (dsty + dsth - 1) >> 1;
    if (dstw <= 0 || dsth <= 0) {
        return;
    }
    for (int plane = 1; plane <= 2; ++plane) {
        for (int cy = cy0; cy <= cy1; ++cy) {
            uint8_t* row = AData[plane] + static_cast<ptrdiff_t>(cy) * ALinesize[plane];
            for (int cx = cx0; cx <= cx1; ++cx) {
                int n = 0;
                int alphaSum = 0;
                int valueSum = 0;
                for (int dy = 0; dy < 2; ++dy) {
                    for (int dx = 0; dx < 2; ++dx) {
                        const int lx = cx * 2 + dx - dstx;
                        const int ly = cy * 2 + dy - dsty;
                        if (lx < 0 || ly < 0 || lx >= dstw || ly >= dsth) {
                            continue;
                        }
                        const uint32_t e = src.Entry(lx, ly);
                        ++n;
                        alphaSum += Alpha(e);
                        valueSum += Chroma(e, plane);
                    }
                }
                const int a = alphaSum >> 2;
                const int c = row[cx];
                row[cx] = static_cast<uint8_t>((n * (255 - a) * c + a * valueSum) / (255 * n));
            }
        }
    }
}

void duplicate_right_column(uint8_t* const APlanes[3], const int APitches[3], int AWidth, int AHeight) {
    for (int plane = 0; plane < 3; ++plane) {
        const int width = plane == 0 ? AWidth : AWidth / 2;
        const int height = plane == 0 ? AHeight : AHeight / 2;
        if (!APlanes[plane] || APitches[plane] <= width || width <= 0) {
            continue;
        }
        for (int y = 0; y < height; ++y) {
            uint8_t* row = APlanes[plane] + static_cast<ptrdiff_t>(y) * APitches[plane];
            row[width] = row[width - 1];
        }
    }
}

int attach_filter_chain(AVFilterGraph* AGraph, const char* AFilters, AVFilterContext* ASource,
                        AVFilterContext* ASink) {
    const unsigned nb_filters = AGraph->nb_filters;
    AVFilterInOut* outputs = nullptr;
    AVFilterInOut* inputs = nullptr;
    int ret = 0;
    if (AFilters) {
        outputs = ff::avfilter_inout_alloc();
        inputs = ff::avfilter_inout_alloc();
        if (!outputs || !inputs) {
            ff::avfilter_inout_free(&outputs);
            ff::avfilter_inout_free(&inputs);
            return AVERROR(ENOMEM);
        }
        outputs->name = ff::av_strdup("in");
        outputs->filter_ctx = ASource;
        outputs->pad_idx = 0;
        outputs->next = nullptr;
        inputs->name = ff::av_strdup("out");
        inputs->filter_ctx = ASink;
        inputs->pad_idx = 0;
        inputs->next = nullptr;
        ret = ff::avfilter_graph_parse_ptr(AGraph, AFilters, &inputs, &outputs, nullptr);
    } else {
        ret = ff::avfilter_link(ASource, 0, ASink, 0);
    }
    if (ret >= 0) {
        // The filters just added go first, so that the graph's own filters are configured after them.
        for (unsigned i = 0; i < AGraph->nb_filters - nb_filters; ++i) {
            std::swap(AGraph->filters[i], AGraph->filters[i + nb_filters]);
        }
        ret = ff::avfilter_graph_config(AGraph, nullptr);
    }
    ff::avfilter_inout_free(&outputs);
    ff::avfilter_inout_free(&inputs);
    return ret;
}

// The decoder thread.

TVideoDecoderState::~TVideoDecoderState() {
    if (graph && ff::avfilter_graph_free) {
        ff::avfilter_graph_free(&graph);
    }
    if (deinterlaced && ff::av_frame_free) {
        if (deinterlaced->data[0] && ff::av_freep) {
            ff::av_freep(&deinterlaced->data[0]);
        }
        ff::av_frame_free(&deinterlaced);
    }
}

void TCustomPlayer::start_video_thread(TVideoState* is) {
    is->video_tid = std::make_unique<TFileThread>("video", [this, is] { do_video_thread(is); });
    is->video_tid->Start();
}

namespace {

struct TFrameDeleter {
    void operator()(AVFrame* f) const { ff::av_frame_free(&f); }
};
struct TPacketDeleter {
    void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};

}  // namespace

void TCustomPlayer::do_video_thread(TVideoState* is) {
    std::unique_ptr<AVFrame, TFrameDeleter> frame(ff::av_frame_alloc());
    std::unique_ptr<AVPacket, TPacketDeleter> pkt(ff::av_packet_alloc());
    if (!frame || !pkt) {
        DoErrLog("Error: video decoder out of memory", false);
        return;
    }
    TVideoDecoderState d;
    d.early_frames = std::move(is->early_frames);
    d.keep_decoder_at_flush = is->early_decoder_adopted;
    AVStream* st = is->video_st;
    d.tb = st->time_base;
    d.frame_rate = ff::av_guess_frame_rate(is->ic, st, nullptr);
    if (DisableVideoFilter) {
        d.out_w = Even(is->video_avctx->width);
        d.out_h = Even(is->video_avctx->height);
        d.out_format = is->video_avctx->pix_fmt;
    }
    int serial = 0;
    for (;;) {
        while (is->paused && !is->videoq.abort_request && !is->seek_paused && !is->open_paused) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausedPollMs));
        }
        int ret = get_video_frame(is, d, frame.get(), pkt.get(), serial);
        if (ret < 0) {
            FFLogger().Log(this, llError, Format("Error: get_video_frame() return %d", ret));
            break;
        }
        if (ret == 0) {
            continue;
        }
        if (DisableVideoFilter) {
            const double duration = Duration(d.frame_rate);
            const double pts = FramePts(frame.get(), d.tb);
            ret = queue_picture(is, d, deinterlace_picture(d, frame.get()), pts, duration, frame->pkt_pos,
                                serial);
            ff::av_frame_unref(frame.get());
        } else {
            ret = filter_and_queue(is, d, frame.get(), serial);
        }
        if (ret < 0) {
            break;
        }
        after_video_frame(is);
    }
    // Readers of FilterGraph must not use the graph once it is freed with the decoder's state.
    is->FilterGraph = nullptr;
    is->in_video_filter = nullptr;
    is->out_video_filter = nullptr;
}

void TCustomPlayer::mark_first_picture_after_seek(TVideoState* is) {
    if (is->seek_done && is->seek_flushed) {
        is->seek_done = 0;
        is->seek_paused = 2;
    }
}

void TCustomPlayer::after_video_frame(TVideoState* is) {
    mark_first_picture_after_seek(is);
    FPictEvent.SetEvent();
    is->EndEventDone = 0;
    if (FSeeking && !is->seek_req) {
        FSeeking = false;
    }
}

int TCustomPlayer::get_video_frame(TVideoState* is, TVideoDecoderState& d, AVFrame* frame, AVPacket* pkt,
                                   int& serial) {
    if (!d.packet_pending && !d.early_frames.empty() && !d.keep_decoder_at_flush) {
        ff::av_frame_move_ref(frame, d.early_frames.front().get());
        d.early_frames.pop_front();
        serial = d.pkt_serial;
        return finish_video_frame(is, frame, serial);
    }
    if (!d.packet_pending) {
        ff::av_packet_unref(pkt);
        bool flush = false;
        if (packet_queue_get(&is->videoq, pkt, 1, &d.pkt_serial, &flush) < 0) {
            return -1;
        }
        serial = d.pkt_serial;
        if (flush) {
            if (d.keep_decoder_at_flush) {
                d.keep_decoder_at_flush = false;
            } else {
                ff::avcodec_flush_buffers(is->video_avctx.get());
                d.early_frames.clear();
            }
            is->seek_flushed = 1;
            return 0;
        }
        d.packet_was_eos = !pkt->data && pkt->size == 0;
        // The end-of-stream packet drains the decoder.
        if (ff::avcodec_send_packet(is->video_avctx.get(), d.packet_was_eos ? nullptr : pkt) < 0 &&
            !d.packet_was_eos) {
            return 0;
        }
        d.packet_pending = true;
    }
    serial = d.pkt_serial;
    const int ret = ff::avcodec_receive_frame(is->video_avctx.get(), frame);
    if (ret < 0) {
        d.packet_pending = false;
        if (ret == AVERROR_EOF) {
            is->video_finished = serial;
            // A drained decoder takes packets again only after a flush.
            ff::avcodec_flush_buffers(is->video_avctx.get());
        }
        // The end is reported by the play thread, the only one that reports positions (two reporters
        // could hand the owner a position lower than the one before); a refresh makes it look now,
        // paused or not.
        if (d.packet_was_eos && !is->EndEventDone) {
            is->force_refresh = 1;
        }
        return 0;
    }
    return finish_video_frame(is, frame, serial);
}

// A decoded picture's time and aspect; 0 when it is dropped as late, 1 to show it.
int TCustomPlayer::finish_video_frame(TVideoState* is, AVFrame* frame, int serial) {
    if (decoder_reorder_pts == -1) {
        frame->pts = frame->best_effort_timestamp;
    } else if (decoder_reorder_pts == 0) {
        frame->pts = frame->pkt_dts;
    }
    AVStream* st = is->video_st;
    frame->sample_aspect_ratio = ff::av_guess_sample_aspect_ratio(is->ic, st, frame);
    if (drop_early(is, frame, serial)) {
        is->frame_drops_early = is->frame_drops_early + 1;
        ff::av_frame_unref(frame);
        return 0;
    }
    return 1;
}

bool TCustomPlayer::drop_early(TVideoState* is, const AVFrame* frame, int serial) {
    const bool allowed =
        framedrop > 0 || (framedrop < 0 && master_sync_kind(is) != AV_SYNC_VIDEO_MASTER && !is->step);
    if (!allowed || frame->pts == AV_NOPTS_VALUE) {
        return false;
    }
    const double dpts = av_q2d(is->video_st.load()->time_base) * static_cast<double>(frame->pts);
    const double diff = dpts - master_clock_value(is);
    return !std::isnan(diff) && std::fabs(diff) < kNoSyncThreshold &&
           diff - is->frame_last_filter_delay < 0 && serial == clock_serial(&is->vidclk) &&
           is->videoq.nb_packets > 0;
}

int TCustomPlayer::filter_and_queue(TVideoState* is, TVideoDecoderState& d, AVFrame* frame, int serial) {
    const std::string filters = VideoFilters;
    const bool changed = d.last_w != frame->width || d.last_h != frame->height ||
                         d.last_format != frame->format ||
                         (d.last_serial != serial && ResetFilterAfterSeeking) || d.last_filters != filters;
    std::unique_lock graphLock(is->filter_command_lock);
    if (changed) {
        if (!(d.last_format == -2 && d.last_serial == -1)) {
            FFLogger().Log(this, llInfo,
                           Format("Video frame changed from size:%dx%d format:%s serial:%d to size:%dx%d "
                                  "format:%s serial:%d",
                                  d.last_w, d.last_h, PixFmtName(d.last_format), d.last_serial, frame->width,
                                  frame->height, PixFmtName(frame->format), serial));
        }
        is->FilterGraph = nullptr;
        is->in_video_filter = nullptr;
        is->out_video_filter = nullptr;
        ff::avfilter_graph_free(&d.graph);
        d.graph = ff::avfilter_graph_alloc();
        const int ret = d.graph ? configure_video_filters(d.graph, is, filters, frame) : AVERROR(ENOMEM);
        if (ret < 0) {
            PushQuitEvent(is);
            FFLogger().Log(this, llError, print_error("configure_video_filters() failed", ret));
            ff::av_frame_unref(frame);
            return ret;
        }
        is->FilterGraph = d.graph;
        d.last_w = frame->width;
        d.last_h = frame->height;
        d.last_format = frame->format;
        d.last_serial = serial;
        d.last_filters = filters;
        AVFilterContext* sink = is->out_video_filter;
        d.frame_rate = ff::av_buffersink_get_frame_rate(sink);
        d.out_w = Even(ff::av_buffersink_get_w(sink));
        d.out_h = Even(ff::av_buffersink_get_h(sink));
        d.out_format = ff::av_buffersink_get_format(sink);
    }
    int ret = ff::av_buffersrc_add_frame(is->in_video_filter, frame);
    graphLock.unlock();
    if (ret < 0) {
        ff::av_frame_unref(frame);
        return ret;
    }
    while (ret >= 0) {
        is->frame_last_returned_time = GetSystemTime();
        {
            std::lock_guard sinkLock(is->filter_command_lock);
            ret = ff::av_buffersink_get_frame_flags(is->out_video_filter, frame, 0);
        }
        if (ret < 0) {
            if (ret == AVERROR_EOF) {
                is->video_finished = serial;
            }
            ret = 0;
            break;
        }
        double delay = GetSystemTime() - is->frame_last_returned_time;
        if (std::fabs(delay) > 1.0) {
            delay = 0.0;
        }
        is->frame_last_filter_delay = delay;
        d.tb = ff::av_buffersink_get_time_base(is->out_video_filter);
        const double duration = Duration(d.frame_rate);
        const double pts = FramePts(frame, d.tb);
        ret = queue_picture(is, d, deinterlace_picture(d, frame), pts, duration, frame->pkt_pos, serial);
        ff::av_frame_unref(frame);
    }
    return ret;
}

int TCustomPlayer::configure_video_filters(AVFilterGraph* graph, TVideoState* is, const std::string& vfilters,
                                           AVFrame* frame) {
    AVStream* st = is->video_st;
    const AVRational fr = ff::av_guess_frame_rate(is->ic, st, nullptr);
    graph->scale_sws_opts = ff::av_strdup(Format("flags=%lld", static_cast<long long>(Fsws_flags)).c_str());
    const AVCodecContext* codecpar = is->video_avctx.get();
    std::string args =
        Format("video_size=%dx%d:pix_fmt=%d:time_base=%d/%d:pixel_aspect=%d/%d", frame->width, frame->height,
               frame->format, st->time_base.num, st->time_base.den, codecpar->sample_aspect_ratio.num,
               std::max(codecpar->sample_aspect_ratio.den, 1));
    if (fr.num && fr.den) {
        args += Format(":frame_rate=%d/%d", fr.num, fr.den);
    }
    AVFilterContext* src = nullptr;
    AVFilterContext* sink = nullptr;
    AVFilterContext* crop = nullptr;
    int ret = ff::avfilter_graph_create_filter(&src, ff::avfilter_get_by_name("buffer"), "ffplay_buffer",
                                               args.c_str(), nullptr, graph);
    if (ret < 0) {
        return ret;
    }
    ret = ff::avfilter_graph_create_filter(&sink, ff::avfilter_get_by_name("buffersink"), "ffplay_buffersink",
                                           nullptr, nullptr, graph);
    if (ret < 0) {
        return ret;
    }
    const int pix_fmts[] = {AV_PIX_FMT_YUV420P};
    ret = ff::av_opt_set_bin(sink, "pix_fmts", reinterpret_cast<const uint8_t*>(pix_fmts), sizeof(pix_fmts),
                             AV_OPT_SEARCH_CHILDREN);
    if (ret < 0) {
        return ret;
    }
    ret = ff::avfilter_graph_create_filter(&crop, ff::avfilter_get_by_name("crop"), "ffplay_crop",
                                           "floor(in_w/2)*2:floor(in_h/2)*2", nullptr, graph);
    if (ret < 0) {
        return ret;
    }
    ret = ff::avfilter_link(crop, 0, sink, 0);
    if (ret < 0) {
        return ret;
    }
    if (!vfilters.empty()) {
        FFLogger().Log(this, llInfo, Format("Parse filters: %s", vfilters.c_str()));
    }
    ret = attach_filter_chain(graph, vfilters.empty() ? nullptr : vfilters.c_str(), src, crop);
    if (ret < 0) {
        return ret;
    }
    is->in_video_filter = src;
    is->out_video_filter = sink;
    return 0;
}

AVFrame* TCustomPlayer::deinterlace_picture(TVideoDecoderState& d, AVFrame* frame) {
    if (!Deinterlace) {
        return frame;
    }
    const int size =
        ff::av_image_get_buffer_size(static_cast<AVPixelFormat>(d.out_format), d.out_w, d.out_h, 1);
    if (d.out_format != AV_PIX_FMT_YUV420P || size <= 0 || frame->format != AV_PIX_FMT_YUV420P) {
        FFLogger().Log(this, llError, "deinterlacing failed.");
        Deinterlace = false;
        return frame;
    }
    AVFrame* out = d.deinterlaced;
    if (!out || out->width != d.out_w || out->height != d.out_h) {
        if (!out) {
            out = d.deinterlaced = ff::av_frame_alloc();
        } else if (out->data[0]) {
            ff::av_freep(&out->data[0]);
        }
        if (!out ||
            ff::av_image_alloc(out->data, out->linesize, d.out_w, d.out_h, AV_PIX_FMT_YUV420P, 16) < 0) {
            FFLogger().Log(this, llError, "deinterlace buffer malloc error.");
            Deinterlace = false;
            if (out) {
                out->data[0] = nullptr;
                out->width = 0;
            }
            return frame;
        }
        out->width = d.out_w;
        out->height = d.out_h;
        out->format = AV_PIX_FMT_YUV420P;
    }
    if (!deinterlace_yuv420p(out->data, out->linesize, frame->data, frame->linesize, d.out_w, d.out_h)) {
        FFLogger().Log(this, llError, "deinterlacing failed.");
        Deinterlace = false;
        return frame;
    }
    out->sample_aspect_ratio = frame->sample_aspect_ratio;
    out->pts = frame->pts;
    return out;
}

// The picture queue.

int TCustomPlayer::queue_picture(TVideoState* is, TVideoDecoderState& d, AVFrame* src_frame, double pts,
                                 double duration, int64_t pos, int serial) {
    (void)d;
    {
        std::unique_lock lock(is->pictq_mutex);
        while (is->pictq_size >= VIDEO_PICTURE_QUEUE_SIZE - 1 && !is->videoq.abort_request) {
            is->pictq_cond.wait_for(lock, std::chrono::milliseconds(kAllocWaitSliceMs));
        }
    }
    if (is->videoq.abort_request) {
        return -1;
    }
    TVideoPicture* vp = &is->pictq[is->pictq_windex];
    vp->sar = src_frame->sample_aspect_ratio;
    const int width = Even(src_frame->width);
    const int height = Even(src_frame->height);
    if (!vp->bmp || !vp->allocated || vp->width != width || vp->height != height) {
        if (!request_overlay(is, vp, width, height)) {
            return -1;
        }
    }
    if (!vp->bmp) {
        return 0;
    }
    if (fill_overlay(is, vp, src_frame, pts) < 0) {
        return -1;
    }
    vp->pts = pts;
    vp->duration = duration;
    vp->pos = pos;
    vp->serial = serial;
    is->pictq_windex = (is->pictq_windex + 1) % VIDEO_PICTURE_QUEUE_SIZE;
    {
        std::lock_guard lock(is->pictq_mutex);
        // The first picture after a seek is marked before the play thread can see it, so that a paused
        // refresh shows it instead of taking it for a picture from before the seek.
        mark_first_picture_after_seek(is);
        ++is->pictq_size;
    }
    is->pictq_total_size = is->pictq_total_size + 1;
    return 0;
}

// Asks the play thread for an overlay of the picture's size and waits for it. False when the queue was
// aborted meanwhile.
bool TCustomPlayer::request_overlay(TVideoState* is, TVideoPicture* vp, int width, int height) {
    vp->allocated = 0;
    vp->abort_allocate = 0;
    vp->width = width;
    vp->height = height;
    SDL_Event event{};
    event.type = kAllocEvent;
    event.user.data1 = is;
    if (FSDLLoader->SDL_PushEvent(&event) < 0) {
        FFLogger().Log(this, llError, "The picture could not be queued: the event queue is full");
        return false;
    }
    std::unique_lock lock(is->pictq_mutex);
    while (!vp->allocated && !is->videoq.abort_request && !vp->abort_allocate) {
        is->pictq_cond.wait_for(lock, std::chrono::milliseconds(kAllocWaitSliceMs));
    }
    if (is->videoq.abort_request) {
        lock.unlock();
        SDL_Event taken{};
        const Uint32 mask = 1u << kAllocEvent;
        if (FSDLLoader->SDL_PeepEvents(&taken, 1, SDL_GETEVENT, mask) != 1) {
            // The play thread is making the overlay: wait for its answer or for the file's end.
            lock.lock();
            while (!vp->allocated && !vp->abort_allocate && !is->abort_request) {
                is->pictq_cond.wait_for(lock, std::chrono::milliseconds(kAllocWaitSliceMs));
            }
        }
        return false;
    }
    return true;
}

int TCustomPlayer::fill_overlay(TVideoState* is, TVideoPicture* vp, AVFrame* src_frame, double pts) {
    SDL_Overlay* bmp = vp->bmp;
    FSDLLoader->SDL_LockYUVOverlay(bmp);
    TAVPicture pict;
    OverlayPicture(bmp, pict);
    uint8_t* savedData[4];
    int savedLinesize[4];
    std::copy_n(src_frame->data, 4, savedData);
    std::copy_n(src_frame->linesize, 4, savedLinesize);
    if (VerticalFlip) {
        src_frame->data[0] += static_cast<ptrdiff_t>(src_frame->linesize[0]) * (vp->height - 1);
        src_frame->data[1] += static_cast<ptrdiff_t>(src_frame->linesize[1]) * (vp->height / 2 - 1);
        src_frame->data[2] += static_cast<ptrdiff_t>(src_frame->linesize[2]) * (vp->height / 2 - 1);
        for (int i = 0; i < 3; ++i) {
            src_frame->linesize[i] = -src_frame->linesize[i];
        }
    }
    TAVPicture source;
    std::copy_n(src_frame->data, 4, source.data);
    std::copy_n(src_frame->linesize, 4, source.linesize);
    const auto srcFormat = static_cast<AVPixelFormat>(src_frame->format);
    int result = 0;
    if (!DisableVideoFilter) {
        ff::av_image_copy(pict.data, pict.linesize, const_cast<const uint8_t**>(source.data), source.linesize,
                          srcFormat, vp->width, vp->height);
        if (VideoHook) {
            DoVideoHook(FHookConverter, this, OnVideoHook, source, pict, pts, is->StartTime, vp->width,
                        vp->height, AV_PIX_FMT_YUV420P, srcFormat);
        }
    } else if (!VideoHook || !DoVideoHook(FHookConverter, this, OnVideoHook, source, pict, pts, is->StartTime,
                                          vp->width, vp->height, AV_PIX_FMT_YUV420P, srcFormat)) {
        is->img_convert_ctx =
            ff::sws_getCachedContext(is->img_convert_ctx, vp->width, vp->height, srcFormat, vp->width,
                                     vp->height, AV_PIX_FMT_YUV420P, Fsws_flags, nullptr, nullptr, nullptr);
        if (!is->img_convert_ctx) {
            FFLogger().Log(this, llError, "Cannot initialize the conversion context.");
            result = -1;
        } else {
            ff::sws_scale(is->img_convert_ctx, source.data, source.linesize, 0, vp->height, pict.data,
                          pict.linesize);
        }
    }
    if (result == 0) {
        if (FrameHook) {
            DoFrameHook(this, OnFrameHook, pict, AV_PIX_FMT_YUV420P, vp->width, vp->height, pts,
                        is->StartTime);
        }
        duplicate_right_column(pict.data, pict.linesize, vp->width, vp->height);
    }
    FSDLLoader->SDL_UnlockYUVOverlay(bmp);
    std::copy_n(savedData, 4, src_frame->data);
    std::copy_n(savedLinesize, 4, src_frame->linesize);
    return result;
}

// On the play thread: makes the overlay that the decoder asked for.
void TCustomPlayer::alloc_picture() {
    TVideoState* is = FVideoState;
    if (!is) {
        return;
    }
    TVideoPicture* vp = &is->pictq[is->pictq_windex];
    free_picture(vp);
    video_open(is, false, vp);
    FFrameWidth = vp->width;
    FFrameHeight = vp->height;
    SDL_Surface* screen = sdlHost_->Screen();
    SDL_Overlay* bmp =
        screen ? FSDLLoader->SDL_CreateYUVOverlay(vp->width, vp->height, kYV12Overlay, screen) : nullptr;
    if (bmp) {
        FSDLLoader->SDL_LockYUVOverlay(bmp);
        FSDLLoader->SDL_UnlockYUVOverlay(bmp);
    }
    vp->bmp = bmp;
    const bool good = bmp && bmp->pitches[0] >= vp->width &&
                      std::llabs(static_cast<long long>(bmp->pixels[1] - bmp->pixels[0])) >=
                          static_cast<long long>(vp->height) * bmp->pitches[0];
    if (good) {
        std::lock_guard lock(is->pictq_mutex);
        vp->allocated = 1;
        is->pictq_cond.notify_all();
        return;
    }
    if (bmp) {
        FFLogger().Log(this, llFatal,
                       Format("Error: the video system does not support an image size of %dx%d pixels. Try "
                              "using -lowres or -vf \"scale=w:h\" to reduce the image size.",
                              vp->width, vp->height));
    } else {
        const char* error = screen ? FSDLLoader->SDL_GetError() : "there is no output surface";
        FFLogger().Log(this, llFatal, Format("SDL_CreateYUVOverlay() error: %s", error ? error : ""));
    }
    free_picture(vp);
    {
        std::lock_guard lock(is->pictq_mutex);
        vp->abort_allocate = 1;
        is->pictq_cond.notify_all();
    }
    // The file closes through the play loop's quit, so that the loop ends with it.
    PushQuitEvent(is);
}
