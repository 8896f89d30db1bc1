// Subtitle decoding: the subtitle decoder thread turns bitmap subtitles into subpictures whose palette
// is already in the picture's colour space, so that the output blends them straight into the overlay.
#include <chrono>
#include <cmath>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/load/FFAPI.h"
#include "engine/play/FFPlay.h"
#include "engine/play/FFPlayVideo.h"

namespace {

constexpr int kPausedPollMs = 10;
constexpr int kWaitSliceMs = 10;

struct TPacketDeleter {
    void operator()(AVPacket* p) const { ff::av_packet_free(&p); }
};

void ConvertPalettes(AVSubtitle& ASub) {
    for (unsigned i = 0; i < ASub.num_rects; ++i) {
        AVSubtitleRect* rect = ASub.rects[i];
        auto* palette = reinterpret_cast<uint32_t*>(rect->data[1]);
        if (!palette) {
            continue;
        }
        for (int j = 0; j < rect->nb_colors; ++j) {
            palette[j] = subtitle_palette_entry(palette[j]);
        }
    }
}

}  // namespace

void TCustomPlayer::start_subtitle_thread(TVideoState* is) {
    is->subtitle_tid = std::make_unique<TFileThread>("subtitle", [this, is] { do_subtitle_thread(is); });
    is->subtitle_tid->Start();
}

void TCustomPlayer::free_subtitle_picture(TSubPicture* sp) {
    if (ff::avsubtitle_free) {
        ff::avsubtitle_free(&sp->sub);
    }
    sp->sub = AVSubtitle{};
}

void TCustomPlayer::do_subtitle_thread(TVideoState* is) {
    std::unique_ptr<AVPacket, TPacketDeleter> pkt(ff::av_packet_alloc());
    if (!pkt) {
        return;
    }
    for (;;) {
        while (is->paused && !is->subtitleq.abort_request && !is->seek_paused && !is->open_paused) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kPausedPollMs));
        }
        ff::av_packet_unref(pkt.get());
        int serial = 0;
        bool flush = false;
        if (packet_queue_get(&is->subtitleq, pkt.get(), 1, &serial, &flush) < 0) {
            return;
        }
        if (flush) {
            ff::avcodec_flush_buffers(is->subtitle_avctx.get());
            continue;
        }
        {
            std::unique_lock lock(is->subpq_mutex);
            while (is->subpq_size >= SUBPICTURE_QUEUE_SIZE && !is->subtitleq.abort_request) {
                is->subpq_cond.wait_for(lock, std::chrono::milliseconds(kWaitSliceMs));
            }
        }
        if (is->subtitleq.abort_request) {
            return;
        }
        TSubPicture* sp = &is->subpq[is->subpq_windex];
        double pts = 0.0;
        if (pkt->pts != AV_NOPTS_VALUE) {
            pts = av_q2d(is->subtitle_st.load()->time_base) * static_cast<double>(pkt->pts);
        }
        int got_subtitle = 0;
        ff::avcodec_decode_subtitle2(is->subtitle_avctx.get(), &sp->sub, &got_subtitle, pkt.get());
        if (!got_subtitle) {
            continue;
        }
        if (sp->sub.format != 0) {
            free_subtitle_picture(sp);
            continue;
        }
        if (sp->sub.pts != AV_NOPTS_VALUE) {
            pts = static_cast<double>(sp->sub.pts) / AV_TIME_BASE;
        }
        sp->pts = pts;
        sp->serial = serial;
        ConvertPalettes(sp->sub);
        is->subpq_windex = (is->subpq_windex + 1) % SUBPICTURE_QUEUE_SIZE;
        std::lock_guard lock(is->subpq_mutex);
        ++is->subpq_size;
    }
}
