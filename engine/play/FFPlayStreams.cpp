// Stream decoders: opening and closing the decoder of one stream of the open file, and switching to
// another stream of the same type while the file plays.
#include <cmath>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFAPI.h"
#include "engine/play/FFPlay.h"
#include "engine/play/FFPlayAudio.h"

namespace {

bool IsBitmapSubtitle(const AVCodecParameters* par) {
    const AVCodecDescriptor* desc = ff::avcodec_descriptor_get(par->codec_id);
    return desc && (desc->props & AV_CODEC_PROP_BITMAP_SUB);
}

struct TDictDeleter {
    void operator()(AVDictionary* dict) const { ff::av_dict_free(&dict); }
};

}  // namespace

int TCustomPlayer::stream_component_open(TVideoState* is, int stream_index) {
    AVFormatContext* ic = is->ic;
    if (!ic || stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) {
        return -1;
    }
    AVStream* st = ic->streams[stream_index];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_type == AVMEDIA_TYPE_SUBTITLE && !IsBitmapSubtitle(par)) {
        DoErrLog("Only bitmap based sutitles supported.", false);
        return -1;
    }
    const AVCodec* codec = ff::avcodec_find_decoder(par->codec_id);
    const std::string* forced = nullptr;
    switch (par->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            is->last_audio_stream = stream_index;
            forced = &audio_codec_name;
            break;
        case AVMEDIA_TYPE_VIDEO:
            is->last_video_stream = stream_index;
            forced = &video_codec_name;
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            is->last_subtitle_stream = stream_index;
            forced = &subtitle_codec_name;
            break;
        default:
            break;
    }
    if (forced && !forced->empty()) {
        codec = ff::avcodec_find_decoder_by_name(forced->c_str());
    }
    if (!codec) {
        if (forced && !forced->empty()) {
            DoErrLog(Format("No codec could be found with name \"%s\"", forced->c_str()), false);
        } else {
            DoErrLog(Format("No codec could be found with id %d", static_cast<int>(par->codec_id)), false);
        }
        return -1;
    }
    TCodecContextPtr avctx = adopt_early_decoder(is, stream_index, codec);
    if (!avctx) {
        if (const int err = open_decoder(is, st, codec, avctx); err < 0) {
            return err;
        }
    }
    st->discard = AVDISCARD_DEFAULT;
    switch (par->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            return open_audio_stream(is, std::move(avctx), st, stream_index);
        case AVMEDIA_TYPE_VIDEO:
            open_video_stream(is, std::move(avctx), st, stream_index);
            return 0;
        case AVMEDIA_TYPE_SUBTITLE:
            is->subtitle_avctx = std::move(avctx);
            is->subtitle_stream = stream_index;
            is->subtitle_st = st;
            packet_queue_start(&is->subtitleq);
            start_subtitle_thread(is);
            return 0;
        default:
            return 0;
    }
}

// A decoder made and opened with the player's options.
int TCustomPlayer::open_decoder(TVideoState* is, AVStream* st, const AVCodec* codec,
                                TCodecContextPtr& avctx) {
    avctx.reset(ff::avcodec_alloc_context3(nullptr));
    if (!avctx) {
        return AVERROR(ENOMEM);
    }
    int err = ff::avcodec_parameters_to_context(avctx.get(), st->codecpar);
    if (err < 0) {
        return err;
    }
    avctx->pkt_timebase = st->time_base;
    avctx->codec_id = codec->id;
    avctx->workaround_bugs = workaround_bugs;
    int stream_lowres = lowres;
    if (stream_lowres > codec->max_lowres) {
        FFLogger().Log(
            this, llWarning,
            Format("The maximum value for lowres supported by the decoder is %d", codec->max_lowres));
        stream_lowres = codec->max_lowres;
    }
    avctx->lowres = stream_lowres;
    avctx->error_concealment = error_concealment;
    // FFmpeg 5.1 has no emulated-edge flag any more: decoders pad their own buffers.
    if (fast) {
        avctx->flags2 |= AV_CODEC_FLAG2_FAST;
    }
    AVDictionary* rawOpts = filter_codec_opts(is->codec_opts.get(), codec->id, is->ic, st, codec);
    if (!ff::av_dict_get(rawOpts, "threads", nullptr, 0)) {
        ff::av_dict_set(&rawOpts, "threads", "auto", 0);
    }
    if (stream_lowres) {
        ff::av_dict_set(&rawOpts, "lowres", std::to_string(stream_lowres).c_str(), 0);
    }
    // Frames are always reference-counted in FFmpeg 5.1, which no longer knows "refcounted_frames".
    if (ff::avcodec_open2(avctx.get(), codec, &rawOpts) < 0) {
        ff::av_dict_free(&rawOpts);
        DoErrLog("avcodec_open2() failed.", false);
        return -1;
    }
    std::unique_ptr<AVDictionary, TDictDeleter> opts(rawOpts);
    if (const AVDictionaryEntry* t = ff::av_dict_get(opts.get(), "", nullptr, AV_DICT_IGNORE_SUFFIX)) {
        DoErrLog(Format("Option %s not found.", t->key), false);
        return AVERROR_OPTION_NOT_FOUND;
    }
    return 0;
}

// The video decoder that the early open made and already fed, when this open would make the same one: the
// stream it decoded, its codec, and the player's default decoder options.
TCodecContextPtr TCustomPlayer::adopt_early_decoder(TVideoState* is, int stream_index, const AVCodec* codec) {
    TEarlyDecode& early = is->early_decode;
    AVCodecContext* decoder = early.decoder.get();
    // Only the open's own stream opens: a later stream change makes its decoder anew.
    const bool same = decoder && is->FileOpened == 0 && early.stream == stream_index &&
                      decoder->codec == codec && video_codec_name.empty() && lowres == 0 && !fast &&
                      decoder->workaround_bugs == workaround_bugs &&
                      decoder->error_concealment == error_concealment;
    if (!same) {
        return nullptr;
    }
    is->early_frames = std::move(early.frames);
    is->early_decoder_adopted = true;
    return TCodecContextPtr(early.decoder.release());
}

int TCustomPlayer::open_audio_stream(TVideoState* is, TCodecContextPtr avctx, AVStream* st,
                                     int stream_index) {
    // The filter graph and the device come first: the device's format is what the graph gives.
    is->audio_avctx = std::move(avctx);
    const int ret = audio_component_open(is);
    if (ret < 0) {
        is->audio_avctx.reset();
        return ret;
    }
    is->audio_stream = stream_index;
    is->audio_st = st;
    is->AudioDuration =
        st->duration != AV_NOPTS_VALUE ? ff::av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q) : -1;
    packet_queue_start(&is->audioq);
    // Held at the open until the first picture is shown.
    if (!is->start_held) {
        audio_component_start(is);
    }
    return 0;
}

void TCustomPlayer::open_video_stream(TVideoState* is, TCodecContextPtr avctx, AVStream* st,
                                      int stream_index) {
    const AVRational rate =
        st->avg_frame_rate.num && st->avg_frame_rate.den ? st->avg_frame_rate : st->r_frame_rate;
    const AVRational codecRate = avctx->framerate;
    if (codecRate.num && codecRate.den && rate.num && av_cmp_q(codecRate, rate) != 0) {
        FFLogger().Log(
            this, llInfo,
            Format("Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
                   "%2.2f (%d/%d)",
                   stream_index, static_cast<double>(codecRate.num) / codecRate.den, codecRate.num,
                   codecRate.den, static_cast<double>(rate.num) / rate.den, rate.num, rate.den));
    }
    is->frame_delay = rate.num ? static_cast<double>(rate.den) / rate.num : 0.0;
    is->video_avctx = std::move(avctx);
    is->video_stream = stream_index;
    is->video_st = st;
    packet_queue_start(&is->videoq);
    start_video_thread(is);
    is->queue_attachments_req = 1;
}

void TCustomPlayer::stream_component_close(TVideoState* is, int stream_index) {
    AVFormatContext* ic = is->ic;
    if (!ic || stream_index < 0 || stream_index >= static_cast<int>(ic->nb_streams)) {
        return;
    }
    AVStream* st = ic->streams[stream_index];
    switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            packet_queue_abort(&is->audioq);
            audio_component_close(is);
            packet_queue_flush(&is->audioq);
            break;
        case AVMEDIA_TYPE_VIDEO:
            packet_queue_abort(&is->videoq);
            {
                std::lock_guard lock(is->pictq_mutex);
                is->pictq_cond.notify_all();
            }
            if (is->video_tid) {
                is->video_tid->WaitFor();
                is->video_tid.reset();
            }
            packet_queue_flush(&is->videoq);
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            packet_queue_abort(&is->subtitleq);
            {
                std::lock_guard lock(is->subpq_mutex);
                is->subpq_cond.notify_all();
            }
            if (is->subtitle_tid) {
                is->subtitle_tid->WaitFor();
                is->subtitle_tid.reset();
            }
            packet_queue_flush(&is->subtitleq);
            break;
        default:
            break;
    }
    st->discard = AVDISCARD_ALL;
    switch (st->codecpar->codec_type) {
        case AVMEDIA_TYPE_AUDIO:
            is->audio_st = nullptr;
            is->audio_stream = -1;
            is->AudioDuration = -1;
            is->audio_avctx.reset();
            break;
        case AVMEDIA_TYPE_VIDEO:
            is->video_st = nullptr;
            is->video_stream = -1;
            is->video_avctx.reset();
            break;
        case AVMEDIA_TYPE_SUBTITLE:
            is->subtitle_st = nullptr;
            is->subtitle_stream = -1;
            is->subtitle_avctx.reset();
            break;
        default:
            break;
    }
}

bool TCustomPlayer::stream_change_channel(TVideoState* is, int codec_type, int stream_index) {
    const int lowest = codec_type == AVMEDIA_TYPE_SUBTITLE ? -1 : 0;
    int current = -2;
    if (codec_type == AVMEDIA_TYPE_AUDIO) {
        current = is->audio_stream;
    } else if (codec_type == AVMEDIA_TYPE_VIDEO) {
        current = is->video_stream;
    } else if (codec_type == AVMEDIA_TYPE_SUBTITLE) {
        current = is->subtitle_stream;
    }
    if (current < lowest) {
        DoErrLog("the current stream is invalid.");
        return false;
    }
    if (stream_index < lowest || stream_index >= static_cast<int>(is->ic->nb_streams)) {
        DoErrLog("the stream index is invalid.");
        return false;
    }
    if (stream_index == current) {
        return true;
    }
    if (stream_index >= 0) {
        const AVCodecParameters* par = is->ic->streams[stream_index]->codecpar;
        if (par->codec_type != codec_type) {
            DoErrLog("the stream type is not matched.");
            return false;
        }
        if (codec_type == AVMEDIA_TYPE_AUDIO && (par->sample_rate == 0 || par->ch_layout.nb_channels == 0)) {
            DoErrLog("the audio stream is invalid.");
            return false;
        }
    }
    if (current >= 0) {
        stream_component_close(is, current);
    }
    if (stream_index >= 0) {
        stream_component_open(is, stream_index);
    }
    return true;
}

void TCustomPlayer::stream_cycle_channel(TVideoState* is, int codec_type) {
    AVFormatContext* ic = is->ic;
    int start_index = codec_type == AVMEDIA_TYPE_VIDEO   ? is->last_video_stream
                      : codec_type == AVMEDIA_TYPE_AUDIO ? is->last_audio_stream
                                                         : is->last_subtitle_stream;
    const int old_index = start_index;
    int nb_streams = static_cast<int>(ic->nb_streams);
    const AVProgram* program = nullptr;
    if (codec_type != AVMEDIA_TYPE_VIDEO && is->video_stream >= 0) {
        program = ff::av_find_program_from_stream(ic, nullptr, is->video_stream);
        if (program) {
            nb_streams = static_cast<int>(program->nb_stream_indexes);
            for (start_index = 0; start_index < nb_streams; ++start_index) {
                if (static_cast<int>(program->stream_index[start_index]) == old_index) {
                    break;
                }
            }
            if (start_index == nb_streams) {
                start_index = -1;
            }
        }
    }
    int index = start_index;
    for (;;) {
        if (++index >= nb_streams) {
            if (codec_type == AVMEDIA_TYPE_SUBTITLE) {
                index = -1;
                is->last_subtitle_stream = -1;
                break;
            }
            if (start_index == -1) {
                return;
            }
            index = 0;
        }
        if (index == start_index) {
            return;
        }
        const int stream = program ? static_cast<int>(program->stream_index[index]) : index;
        const AVCodecParameters* par = ic->streams[stream]->codecpar;
        if (par->codec_type == codec_type && (codec_type != AVMEDIA_TYPE_AUDIO ||
                                              (par->sample_rate != 0 && par->ch_layout.nb_channels != 0))) {
            index = stream;
            break;
        }
    }
    const int current = codec_type == AVMEDIA_TYPE_VIDEO   ? is->video_stream.load()
                        : codec_type == AVMEDIA_TYPE_AUDIO ? is->audio_stream.load()
                                                           : is->subtitle_stream.load();
    if (current >= 0) {
        stream_component_close(is, current);
    }
    if (index >= 0) {
        stream_component_open(is, index);
    }
}
