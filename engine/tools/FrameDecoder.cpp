#include "engine/tools/FrameDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "engine/base/Deinterlace.h"
#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/base/FFUtils.h"
#include "engine/load/FFAPI.h"

namespace {

const char* const kClassName = "TFFDecoder";

std::string SampleFmtName(int AFormat) {
    const char* name = ff::av_get_sample_fmt_name(static_cast<AVSampleFormat>(AFormat));
    return name ? name : "none";
}

}  // namespace

void TResamplerDeleter::operator()(SwrContext* AContext) const {
    if (ff::swr_free) {
        ff::swr_free(&AContext);
    }
}

void TDecoderCodecDeleter::operator()(AVCodecContext* AContext) const {
    if (ff::avcodec_free_context) {
        ff::avcodec_free_context(&AContext);
    }
}

void TFFDecoder::TFrameDeleter::operator()(AVFrame* AFrame) const {
    if (ff::av_frame_free) {
        ff::av_frame_free(&AFrame);
    }
}

void TFFDecoder::TPacketDeleter::operator()(AVPacket* APacket) const {
    if (ff::av_packet_free) {
        ff::av_packet_free(&APacket);
    }
}

TAudioParam::TAudioParam() = default;
TAudioParam::~TAudioParam() = default;
TAudioParam::TAudioParam(TAudioParam&&) noexcept = default;
TAudioParam& TAudioParam::operator=(TAudioParam&&) noexcept = default;

void TAudioParam::Clear() {
    freq = channels = fmt = -1;
    channel_layout = AVChannelLayout{};
    swr_ctx.reset();
    st_idx = -1;
    next_pts = AV_NOPTS_VALUE;
}

TFFDecoder::TFFDecoder() {
    ResetWaveInfo();
}

TFFDecoder::~TFFDecoder() {
    // The base destructor cannot reach this class's CloseFile any more.
    TFFDecoder::CloseFile();
}

void TFFDecoder::CloseFile() {
    FSeekIndex = -1;
    FDesireVideoIndex = -1;
    FFrameRate = AVRational{0, 0};
    FEOF = FEOFpkt = false;
    ResetPicture();
    FLastPTS = AV_NOPTS_VALUE;
    FDesireAudioIndex = -1;
    ResetWaveInfo();
    FRemainsAudioSize = 0;
    FAudioParam.Clear();
    FVideoCodec.reset();
    videoCodecIndex_ = -1;
    FAudioCodec.reset();
    audioCodecIndex_ = -1;
    dropPictures_ = 0;
    dropAudioBefore_ = AV_NOPTS_VALUE;
    TCustomDecoder::CloseFile();
}

void TFFDecoder::FileLoaded() {
    int64_t scalerFlags = -1;
    if (FOptions->sws_opts() && ff::av_opt_get_int(FOptions->sws_opts(), "sws_flags", 0, &scalerFlags) >= 0 &&
        scalerFlags >= 0) {
        FFormatConv.set_sws_flags(static_cast<int>(scalerFlags));
    }
    // Presentation stamps that FFmpeg makes up for a container without them (AVI) run out of order after
    // a seek; pictures are then stamped by their decoding stamps, before a seek as after, as ffmpeg does.
    FFileHandle->flags &= ~AVFMT_FLAG_GENPTS;
}

void TFFDecoder::RefreshStreamsInfo() {
    TCustomDecoder::RefreshStreamsInfo();
}

void TFFDecoder::LogFor(int ALevel, const char* AName, const char* AText) {
    DoErrLog(ALevel, Format("%s.%s: %s", kClassName, AName, AText));
}

void TFFDecoder::ResetPicture() {
    if (FPicture.PTS != AV_NOPTS_VALUE) {
        FLastPTS = FPicture.PTS;
    }
    FPicture.PixFmt = FPicture.Width = FPicture.Height = FPicture.StreamIndex = -1;
    FPicture.Position = -1;
    FPicture.IsKeyFrame = FPicture.IsInterlaced = FPicture.IsTopFieldFirst = false;
    FPicture.PictureType = 0;
    FPicture.PTS = FPicture.OriginalDTS = FPicture.OriginalPTS = AV_NOPTS_VALUE;
    FPicture.Ready = false;
}

void TFFDecoder::ResetWaveInfo() {
    FWaveInfo.Channels = FDesireAudioChannels;
    FWaveInfo.SampleRate = FDesireAudioSampleRate;
    FWaveInfo.SampleFormat = FDesireAudioSampleFormat;
    FWaveInfo.BytesPerSample =
        ff::av_get_bytes_per_sample
            ? ff::av_get_bytes_per_sample(static_cast<AVSampleFormat>(FDesireAudioSampleFormat))
            : 0;
    FWaveInfo.BytesPerSecond = FWaveInfo.BytesPerSample * FDesireAudioSampleRate * FDesireAudioChannels;
    FWaveInfo.PTS = FWaveInfo.OriginalDTS = FWaveInfo.OriginalPTS = AV_NOPTS_VALUE;
    FWaveInfo.Duration = AV_NOPTS_VALUE;
    FWaveInfo.StreamIndex = -1;
    FWaveInfo.Ready = false;
    FWaveInfo.Buffer = nullptr;
    FWaveInfo.Size = 0;
}

void TFFDecoder::CloseAudioResampler(TResamplerPtr& AContext) {
    AContext.reset();
}

void TFFDecoder::CloseAudioResampler() {
    CloseAudioResampler(FAudioParam.swr_ctx);
}

void TFFDecoder::SetDesireAudioChannels(int AValue) {
    if (AValue == FDesireAudioChannels) {
        return;
    }
    FDesireAudioChannels = AValue;
    FDesireChannelLayout = AVChannelLayout{};
    ResetWaveInfo();
    CloseAudioResampler();
}

void TFFDecoder::SetDesireAudioSampleRate(int AValue) {
    if (AValue == FDesireAudioSampleRate) {
        return;
    }
    FDesireAudioSampleRate = AValue;
    ResetWaveInfo();
    CloseAudioResampler();
}

void TFFDecoder::SetDesireAudioSampleFormat(int AValue) {
    if (AValue == FDesireAudioSampleFormat) {
        return;
    }
    FDesireAudioSampleFormat = AValue;
    ResetWaveInfo();
    CloseAudioResampler();
}

bool TFFDecoder::CanSeek() {
    if (!CheckHandle()) {
        return false;
    }
    if (ff::av_strcasecmp(GetFormatName().c_str(), "image2") == 0) {
        DoErrLog(AV_LOG_INFO, "\"image2\" format cannot to be seeked.");
        return false;
    }
    return true;
}

// Without an asked index the stream chosen before stays; an asked one must be valid and of that type.
int TFFDecoder::ResolveStreamIndex(int AIndex, int ADesired, AVMediaType AType) {
    if (!CheckHandle()) {
        return -1;
    }
    if (AIndex < 0 && ADesired >= 0) {
        return ADesired;
    }
    return CheckStreamIndex(AIndex, AType);
}

int TFFDecoder::SelectVideoStreamIndex(int AIndex) {
    const int index = ResolveStreamIndex(AIndex, FDesireVideoIndex, AVMEDIA_TYPE_VIDEO);
    if (index < 0) {
        return -1;
    }
    if (index != FDesireVideoIndex) {
        ResetPicture();
        const AVStream* st = FFileHandle->streams[index];
        if (st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0) {
            FFrameRate = st->avg_frame_rate;
        } else {
            FFrameRate = CodecFrameRate(index);
        }
        FDesireVideoIndex = index;
    }
    FSeekIndex = index;
    return index;
}

namespace {

// The ticks a frame of the stream's codec counts in its time base (2 for codecs that count fields).
int CodecTicksPerFrame(const AVStream* st) {
    const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
    AVCodecContext* context = codec ? ff::avcodec_alloc_context3(codec) : nullptr;
    int ticks = 1;
    if (context && ff::avcodec_parameters_to_context(context, st->codecpar) >= 0 &&
        ff::avcodec_open2(context, codec, nullptr) >= 0) {
        ticks = std::max(context->ticks_per_frame, 1);
    }
    ff::avcodec_free_context(&context);
    return ticks;
}

}  // namespace

// The codec's own rate when it agrees with the container's real base rate, else the container's. The
// codec time base counts ticks, so its frame rate is its inverse divided by the ticks per frame.
AVRational TFFDecoder::CodecFrameRate(int AIndex) {
    const AVStream* st = FFileHandle->streams[AIndex];
    const AVRational codecBase = ff::av_stream_get_codec_timebase(st);
    const AVRational real = st->r_frame_rate;
    const int ticks = CodecTicksPerFrame(st);
    if (codecBase.num == real.den && codecBase.den == static_cast<int64_t>(ticks) * real.num &&
        codecBase.num != 0) {
        return AVRational{codecBase.den / ticks, codecBase.num};
    }
    DoErrLog(AV_LOG_INFO,
             Format("Seems stream %d codec frame rate differs from container frame rate: %2.2f (%d/%d) -> "
                    "%2.2f (%d/%d)",
                    AIndex, codecBase.num != 0 ? static_cast<double>(codecBase.den) / codecBase.num : 0.0,
                    codecBase.den, codecBase.num, real.den != 0 ? av_q2d(real) : 0.0, real.num, real.den));
    return real;
}

int TFFDecoder::SelectAudioStreamIndex(int AIndex) {
    const int index = ResolveStreamIndex(AIndex, FDesireAudioIndex, AVMEDIA_TYPE_AUDIO);
    if (index < 0) {
        return -1;
    }
    if (index != FDesireAudioIndex) {
        ResetWaveInfo();
        FRemainsAudioSize = 0;
        CloseAudioResampler(FAudioParam.swr_ctx);
        FDesireAudioIndex = index;
    }
    FSeekIndex = index;
    return index;
}

TDecoderCodecPtr TFFDecoder::OpenStreamDecoder(int AIndex) {
    AVStream* st = FFileHandle->streams[AIndex];
    const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) {
        DoErrLog(AV_LOG_ERROR, Format("Unsupported codec (id=%d) for input file stream #%d",
                                      st->codecpar->codec_id, AIndex));
        return nullptr;
    }
    TDecoderCodecPtr context(ff::avcodec_alloc_context3(codec));
    if (!context || ff::avcodec_parameters_to_context(context.get(), st->codecpar) < 0) {
        DoErrLog(AV_LOG_ERROR, Format("Error while opening codec for input file stream #%d", AIndex));
        return nullptr;
    }
    context->pkt_timebase = st->time_base;
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        context->thread_count = 1;
    }
    AVDictionary* opts = filter_codec_opts(FOptions->codec_opts(), codec->id, FFileHandle, st, codec);
    const int err = ff::avcodec_open2(context.get(), codec, &opts);
    ff::av_dict_free(&opts);
    if (err < 0) {
        DoErrLog(AV_LOG_ERROR, Format("Error while opening codec for input file stream #%d", AIndex));
        return nullptr;
    }
    return context;
}

AVCodecContext* TFFDecoder::OpenVideoDecoder(int AIndex) {
    const AVCodecParameters* par = FFileHandle->streams[AIndex]->codecpar;
    if (par->width == 0 || par->height == 0) {
        DoErrLog(AV_LOG_ERROR, "frame size of codec is invalid.");
        return nullptr;
    }
    if (FVideoCodec && videoCodecIndex_ == AIndex) {
        return FVideoCodec.get();
    }
    FVideoCodec.reset();
    videoCodecIndex_ = -1;
    FVideoCodec = OpenStreamDecoder(AIndex);
    if (FVideoCodec) {
        videoCodecIndex_ = AIndex;
    }
    return FVideoCodec.get();
}

AVCodecContext* TFFDecoder::OpenAudioDecoder(int AIndex) {
    if (FAudioCodec && audioCodecIndex_ == AIndex) {
        return FAudioCodec.get();
    }
    FAudioCodec.reset();
    audioCodecIndex_ = -1;
    FAudioCodec = OpenStreamDecoder(AIndex);
    if (FAudioCodec) {
        audioCodecIndex_ = AIndex;
    }
    return FAudioCodec.get();
}

bool TFFDecoder::ReadingLoop(const char* AName, const std::function<bool(int)>& AAccept,
                             const TDecodeStep& AStep, int ADrainStream) {
    if (!packet_) {
        packet_.reset(ff::av_packet_alloc());
        if (!packet_) {
            DoErrLog(AV_LOG_ERROR, "av_packet_alloc() failed");
            return false;
        }
    }
    AVPacket* pkt = packet_.get();
    for (;;) {
        if (FEOF && FEOFpkt) {
            LogFor(AV_LOG_INFO, AName, "stream eof reached.");
            return false;
        }
        // Pictures that the last packet gave beyond the first, and what a drain gives out.
        int result = AStep(nullptr);
        if (result != 0) {
            return result > 0;
        }
        FLastRead = ff::av_gettime_relative();
        const int err = ff::av_read_frame(FFileHandle, pkt);
        if (err < 0) {
            if (err == AVERROR(EAGAIN)) {
                LogFor(AV_LOG_INFO, AName, "no data, please try again.");
                return false;
            }
            if (FEOFpkt) {
                if (err == AVERROR(EPIPE) || err == AVERROR_EOF ||
                    (FFileHandle->pb && ff::avio_feof(FFileHandle->pb))) {
                    LogFor(AV_LOG_INFO, AName, "stream eof reached.");
                    FEOF = true;
                } else {
                    DoErrLog(AV_LOG_INFO, Format("%s.%s: unknown error #%d.", kClassName, AName, err));
                }
                return false;
            }
            // An empty packet makes the decoder give out what it still holds.
            FEOFpkt = true;
            ff::av_packet_unref(pkt);
            pkt->data = nullptr;
            pkt->size = 0;
            pkt->stream_index = ADrainStream;
        }
        if (!AAccept(pkt->stream_index)) {
            ff::av_packet_unref(pkt);
            continue;
        }
        result = AStep(pkt);
        ff::av_packet_unref(pkt);
        if (result != 0) {
            return result > 0;
        }
    }
}

const AVFrame* TFFDecoder::DeinterlacedFrame(const AVFrame* AFrame) {
    const int size = ff::av_image_get_buffer_size(static_cast<AVPixelFormat>(AFrame->format), AFrame->width,
                                                  AFrame->height, 1);
    if (size <= 0) {
        DoErrLog(AV_LOG_ERROR, "deinterlacing failed.");
        Deinterlace = false;
        return AFrame;
    }
    if (static_cast<int>(FDeintBuf.size()) < size) {
        FDeintBuf.resize(static_cast<size_t>(size));
    }
    uint8_t* data[4] = {};
    int linesize[4] = {};
    ff::av_image_fill_arrays(data, linesize, FDeintBuf.data(), static_cast<AVPixelFormat>(AFrame->format),
                             AFrame->width, AFrame->height, 1);
    const bool supported = AFrame->format == AV_PIX_FMT_YUV420P || AFrame->format == AV_PIX_FMT_YUVJ420P;
    if (!supported ||
        !deinterlace_yuv420p(data, linesize, AFrame->data, AFrame->linesize, AFrame->width, AFrame->height)) {
        DoErrLog(AV_LOG_ERROR, "deinterlacing failed.");
        Deinterlace = false;
        return AFrame;
    }
    // Only the planes change; the frame's other facts stay those of the decoded picture.
    AVFrame* target = videoFrame_.get();
    for (int i = 0; i < 4; ++i) {
        target->data[i] = data[i];
        target->linesize[i] = linesize[i];
    }
    return target;
}

int TFFDecoder::DoDecodeVideo(AVCodecContext* ACodec, AVPacket* APacket) {
    if (APacket) {
        const int err = ff::avcodec_send_packet(ACodec, APacket);
        if (err < 0 && err != AVERROR_EOF) {
            return err;
        }
    }
    if (!videoDecodedFrame_) {
        videoDecodedFrame_.reset(ff::av_frame_alloc());
    }
    if (!videoFrame_) {
        videoFrame_.reset(ff::av_frame_alloc());
    }
    AVFrame* frame = videoDecodedFrame_.get();
    if (!frame || !videoFrame_) {
        return AVERROR(ENOMEM);
    }
    ff::av_frame_unref(frame);
    const int err = ff::avcodec_receive_frame(ACodec, frame);
    if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) {
        return 0;
    }
    if (err < 0) {
        return err;
    }
    FFLogger().Log(this, llDebug, "pkt.st_idx=%d, dts=%lld, pts=%lld, flags=%d, pict_type=%d(%s)",
                   videoCodecIndex_, static_cast<long long>(frame->pkt_dts),
                   static_cast<long long>(frame->pts), frame->key_frame, frame->pict_type,
                   AVPictureTypeCaption(frame->pict_type).c_str());
    const AVFrame* shown = frame;
    if (Deinterlace) {
        ff::av_frame_unref(videoFrame_.get());
        ff::av_frame_copy_props(videoFrame_.get(), frame);
        videoFrame_->format = frame->format;
        videoFrame_->width = frame->width;
        videoFrame_->height = frame->height;
        shown = DeinterlacedFrame(frame);
    }
    DuplicatePicture(shown);
    ff::av_frame_unref(frame);
    return 1;
}

void TFFDecoder::DuplicatePicture(const AVFrame* AFrame) {
    const auto format = static_cast<AVPixelFormat>(AFrame->format);
    const int size = ff::av_image_get_buffer_size(format, AFrame->width, AFrame->height, 1);
    if (static_cast<int>(FPicture.Buffer.size()) < size) {
        FPicture.Buffer.assign(static_cast<size_t>(size), 0);
    }
    FPicture.PixFmt = format;
    FPicture.Width = AFrame->width;
    FPicture.Height = AFrame->height;
    FPicture.IsKeyFrame = AFrame->key_frame != 0;
    FPicture.IsInterlaced = AFrame->interlaced_frame != 0;
    FPicture.IsTopFieldFirst = AFrame->top_field_first != 0;
    FPicture.PictureType = AFrame->pict_type;
    // The packet's presentation stamp travels with the picture through the decoder's reordering; FFmpeg's
    // best effort takes the decoding stamps instead where those it made up for a container without
    // presentation stamps (AVI) run out of order after a seek.
    int64_t source = AFrame->best_effort_timestamp;
    if (source == AV_NOPTS_VALUE) {
        source = AFrame->pts != AV_NOPTS_VALUE ? AFrame->pts : AFrame->pkt_dts;
    }
    int64_t guess = AV_NOPTS_VALUE;
    if (source == AV_NOPTS_VALUE && FEOFpkt && FLastPTS != AV_NOPTS_VALUE && FPicture.PTS != AV_NOPTS_VALUE) {
        guess = 2 * FPicture.PTS - FLastPTS;
    }
    if (FPicture.PTS != AV_NOPTS_VALUE) {
        FLastPTS = FPicture.PTS;
    }
    if (source == AV_NOPTS_VALUE) {
        FPicture.PTS = guess;
    } else {
        const AVStream* st = FFileHandle->streams[videoCodecIndex_];
        if (st->start_time != AV_NOPTS_VALUE) {
            source -= st->start_time;
        }
        FPicture.PTS = ff::av_rescale_q(source, st->time_base, AV_TIME_BASE_Q);
        FFLogger().Log(this, llDebug, "decode PTS: %0.3f", static_cast<double>(FPicture.PTS) / AV_TIME_BASE);
    }
    FPicture.OriginalDTS = AFrame->pkt_dts;
    FPicture.OriginalPTS = AFrame->pts;
    FPicture.StreamIndex = videoCodecIndex_;
    FPicture.Position = AFrame->pkt_pos;
    TAVPicture& picture = FPicture.Picture;
    picture = TAVPicture{};
    ff::av_image_fill_arrays(picture.data, picture.linesize, FPicture.Buffer.data(), format, AFrame->width,
                             AFrame->height, 1);
    ff::av_image_copy(picture.data, picture.linesize, const_cast<const uint8_t**>(AFrame->data),
                      AFrame->linesize, format, AFrame->width, AFrame->height);
    FPicture.Ready = true;
}

bool TFFDecoder::DecodeVideoCall(int AStreamIndex, const char* AName) {
    const int index = SelectVideoStreamIndex(AStreamIndex);
    if (index < 0) {
        return false;
    }
    if (FPicture.Ready && ff::av_strcasecmp(GetFormatName().c_str(), "image2") == 0) {
        return true;  // a still image keeps its one picture
    }
    AVCodecContext* codec = OpenVideoDecoder(index);
    if (!codec) {
        return false;
    }
    return ReadingLoop(
        AName, [index](int AStream) { return AStream == index; },
        [this, codec](AVPacket* APacket) { return DecodeVideoStep(codec, APacket) == 1 ? 1 : 0; }, index);
}

int TFFDecoder::DecodeVideoStep(AVCodecContext* ACodec, AVPacket* APacket) {
    const int result = DoDecodeVideo(ACodec, APacket);
    if (result == 1 && dropPictures_ > 0) {
        --dropPictures_;
        return 0;
    }
    return result;
}

bool TFFDecoder::Decode(int AStreamIndex) {
    return DecodeVideoCall(AStreamIndex, "Decode() for video");
}

TDecodeResult TFFDecoder::Decode(TDecodeType AType) {
    const int video = AType != dtAudio ? SelectVideoStreamIndex(-1) : -1;
    const int audio = AType != dtVideo ? SelectAudioStreamIndex(-1) : -1;
    if (video < 0 && audio < 0) {
        return drError;
    }
    AVCodecContext* videoCodec = video >= 0 ? OpenVideoDecoder(video) : nullptr;
    AVCodecContext* audioCodec = audio >= 0 ? OpenAudioDecoder(audio) : nullptr;
    if ((video >= 0 && !videoCodec) || (audio >= 0 && !audioCodec)) {
        return drError;
    }
    TDecodeResult result = drError;
    const auto step = [&](AVPacket* APacket) {
        if (videoCodec && (!APacket || APacket->stream_index == video)) {
            if (DecodeVideoStep(videoCodec, APacket) == 1) {
                result = drVideo;
                return 1;
            }
            if (APacket) {
                return 0;
            }
        }
        if (audioCodec && (!APacket || APacket->stream_index == audio)) {
            const int r = DoDecodeAudio(&FAudioParam, audioCodec, APacket);
            if (r > 0) {
                result = drAudio;
            }
            return r;
        }
        return 0;
    };
    const bool ok = ReadingLoop(
        "Decode() for video and/or audio", [&](int AStream) { return AStream == video || AStream == audio; },
        step, video >= 0 ? video : audio);
    return ok ? result : drError;
}

bool TFFDecoder::DecodeAudio(int AStreamIndex) {
    const int index = SelectAudioStreamIndex(AStreamIndex);
    if (index < 0) {
        return false;
    }
    AVCodecContext* codec = OpenAudioDecoder(index);
    if (!codec) {
        return false;
    }
    FLastPTS = AV_NOPTS_VALUE;
    return ReadingLoop(
        "DecodeAudio()", [index](int AStream) { return AStream == index; },
        [this, codec](AVPacket* APacket) { return DoDecodeAudio(&FAudioParam, codec, APacket); }, index);
}

int TFFDecoder::DoDecodeAudio(PAudioParam AParam, AVCodecContext* ACodec, AVPacket* APacket) {
    ResetWaveInfo();
    if (!FAudioDecodedFrame) {
        FAudioDecodedFrame.reset(ff::av_frame_alloc());
        if (!FAudioDecodedFrame) {
            return AVERROR(ENOMEM);
        }
    }
    const int streamIndex = APacket ? APacket->stream_index : AParam->st_idx;
    if (APacket) {
        const int err = ff::avcodec_send_packet(ACodec, APacket);
        if (err < 0 && err != AVERROR_EOF) {
            DoErrLog(AV_LOG_ERROR,
                     print_error(Format("Error while decoding audio stream #%d", streamIndex), err));
            return 0;
        }
    }
    AVFrame* frame = FAudioDecodedFrame.get();
    int total = 0;
    int64_t stamp = AV_NOPTS_VALUE;
    int64_t originalDTS = AV_NOPTS_VALUE;
    for (;;) {
        ff::av_frame_unref(frame);
        const int err = ff::avcodec_receive_frame(ACodec, frame);
        if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) {
            break;
        }
        if (err < 0) {
            DoErrLog(AV_LOG_ERROR,
                     print_error(Format("Error while decoding audio stream #%d", streamIndex), err));
            break;
        }
        if (total == 0) {
            stamp = frame->pts != AV_NOPTS_VALUE ? frame->pts : frame->pkt_dts;
            originalDTS = frame->pkt_dts;
        }
        AParam->st_idx = streamIndex;
        const int size = DoAudioResample(total, frame, AParam);
        if (size < 0) {
            ff::av_frame_unref(frame);
            return size;
        }
        total += size;
    }
    ff::av_frame_unref(frame);
    if (total == 0) {
        return 0;
    }
    const AVStream* st = FFileHandle->streams[streamIndex];
    if (stamp == AV_NOPTS_VALUE) {
        FWaveInfo.PTS = AV_NOPTS_VALUE;
    } else {
        FWaveInfo.PTS = ff::av_rescale_q(st->start_time != AV_NOPTS_VALUE ? stamp - st->start_time : stamp,
                                         st->time_base, AV_TIME_BASE_Q);
    }
    FWaveInfo.OriginalDTS = originalDTS;
    FWaveInfo.OriginalPTS = stamp;
    FWaveInfo.StreamIndex = streamIndex;
    FWaveInfo.Ready = true;
    FWaveInfo.Duration = BlockDuration(FWaveInfo.Size);
    // The block's start on the file's clock; a block without a stamp follows the one before.
    const int64_t startUs =
        stamp != AV_NOPTS_VALUE ? ff::av_rescale_q(stamp, st->time_base, AV_TIME_BASE_Q) : AParam->next_pts;
    if (startUs != AV_NOPTS_VALUE) {
        AParam->next_pts = startUs + FWaveInfo.Duration;
    }
    if (!TrimAudioBlock(startUs, AParam)) {
        ResetWaveInfo();
        return 0;
    }
    return 1;
}

int64_t TFFDecoder::BlockDuration(int ASize) const {
    return std::llround(static_cast<double>(ASize) * 1000000.0 / FWaveInfo.BytesPerSample /
                        FDesireAudioSampleRate / FDesireAudioChannels);
}

bool TFFDecoder::TrimAudioBlock(int64_t AStartUs, PAudioParam AParam) {
    if (dropAudioBefore_ == AV_NOPTS_VALUE || AStartUs == AV_NOPTS_VALUE ||
        AParam->seek_serial == seekSerial_) {
        return true;
    }
    const int frameBytes = FWaveInfo.BytesPerSample * FDesireAudioChannels;
    const int64_t blockFrames = FWaveInfo.Size / frameBytes;
    const int64_t cutFrames =
        std::llround(static_cast<double>(dropAudioBefore_ - AStartUs) * FDesireAudioSampleRate / 1000000.0);
    if (cutFrames >= blockFrames) {
        return false;  // the whole block lies before the place sought
    }
    AParam->seek_serial = seekSerial_;
    if (cutFrames <= 0) {
        return true;
    }
    const int cutBytes = static_cast<int>(cutFrames) * frameBytes;
    FWaveInfo.Buffer += cutBytes;
    FWaveInfo.Size -= cutBytes;
    const AVStream* st = FFileHandle->streams[AParam->st_idx];
    const int64_t streamStart = st->start_time != AV_NOPTS_VALUE
                                    ? ff::av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q)
                                    : 0;
    FWaveInfo.PTS = AStartUs - streamStart +
                    std::llround(static_cast<double>(cutFrames) * 1000000.0 / FDesireAudioSampleRate);
    FWaveInfo.Duration = BlockDuration(FWaveInfo.Size);
    return true;
}

int TFFDecoder::DoAudioResample(int AOffset, const AVFrame* AFrame, PAudioParam AParam) {
    AVChannelLayout layout{};
    if (AFrame->ch_layout.nb_channels > 0 && AFrame->ch_layout.order != AV_CHANNEL_ORDER_UNSPEC) {
        layout = AFrame->ch_layout;
    } else {
        ff::av_channel_layout_default(&layout, AFrame->ch_layout.nb_channels);
    }
    const int channels = layout.nb_channels;
    if (ff::av_channel_layout_compare(&layout, &AParam->channel_layout) != 0 ||
        channels != AParam->channels || AFrame->sample_rate != AParam->freq ||
        AFrame->format != AParam->fmt) {
        if (AParam->channels != -1) {
            DoErrLog(
                AV_LOG_INFO,
                Format("Audio stream #%d frame changed from %d Hz %s %d channels to %d Hz %s %d "
                       "channels",
                       AParam->st_idx, AParam->freq, SampleFmtName(AParam->fmt).c_str(), AParam->channels,
                       AFrame->sample_rate, SampleFmtName(AFrame->format).c_str(), channels));
            AParam->swr_ctx.reset();
        }
        AParam->channel_layout = layout;
        AParam->channels = channels;
        AParam->freq = AFrame->sample_rate;
        AParam->fmt = AFrame->format;
    }
    if (FDesireChannelLayout.nb_channels == 0) {
        ff::av_channel_layout_default(&FDesireChannelLayout, FDesireAudioChannels);
    }
    const uint8_t* data = nullptr;
    int size = 0;
    if (ff::av_channel_layout_compare(&FDesireChannelLayout, &AParam->channel_layout) == 0 &&
        FDesireAudioChannels == AParam->channels && FDesireAudioSampleRate == AParam->freq &&
        FDesireAudioSampleFormat == AParam->fmt) {
        size = ff::av_samples_get_buffer_size(nullptr, channels, AFrame->nb_samples,
                                              static_cast<AVSampleFormat>(AFrame->format), 1);
        data = AFrame->extended_data[0];
    } else {
        const auto desiredFormat = static_cast<AVSampleFormat>(FDesireAudioSampleFormat);
        if (!AParam->swr_ctx) {
            SwrContext* swr = nullptr;
            if (ff::swr_alloc_set_opts2(&swr, &FDesireChannelLayout, desiredFormat, FDesireAudioSampleRate,
                                        &AParam->channel_layout, static_cast<AVSampleFormat>(AParam->fmt),
                                        AParam->freq, 0, nullptr) >= 0) {
                AParam->swr_ctx.reset(swr);
                if (ff::swr_init(swr) < 0) {
                    DoErrLog(AV_LOG_FATAL, "swr_init() failed");
                    AParam->swr_ctx.reset();
                }
            }
            const std::string formats =
                Format("%d Hz %s %d channels to %d Hz %s %d channels", AParam->freq,
                       SampleFmtName(AParam->fmt).c_str(), AParam->channels, FDesireAudioSampleRate,
                       SampleFmtName(FDesireAudioSampleFormat).c_str(), FDesireAudioChannels);
            if (!AParam->swr_ctx) {
                DoErrLog(AV_LOG_ERROR, "Can not resample " + formats);
                return -1;
            }
            DoErrLog(AV_LOG_INFO, "need resample " + formats);
        }
        const int capacity = static_cast<int>(static_cast<int64_t>(AFrame->nb_samples) *
                                              FDesireAudioSampleRate / AFrame->sample_rate) +
                             256;
        const int bytes =
            ff::av_samples_get_buffer_size(nullptr, FDesireAudioChannels, capacity, desiredFormat, 1);
        if (bytes < 0) {
            DoErrLog(AV_LOG_ERROR, "av_fast_malloc() failed");
            return AVERROR(ENOMEM);
        }
        if (static_cast<int>(FResampledBuffer.size()) < bytes) {
            FResampledBuffer.resize(static_cast<size_t>(bytes));
        }
        uint8_t* out = FResampledBuffer.data();
        const int converted =
            ff::swr_convert(AParam->swr_ctx.get(), &out, capacity,
                            const_cast<const uint8_t**>(AFrame->extended_data), AFrame->nb_samples);
        if (converted < 0) {
            DoErrLog(AV_LOG_ERROR, print_error("swr_convert() failed", converted));
            return converted;
        }
        if (converted == capacity) {
            DoErrLog(AV_LOG_ERROR, "warning: audio buffer is probably too small");
            ff::swr_init(AParam->swr_ctx.get());
        }
        size = converted * FDesireAudioChannels * FWaveInfo.BytesPerSample;
        data = FResampledBuffer.data();
    }
    if (static_cast<int>(FAudioBuffer.size()) < AOffset + size) {
        FAudioBuffer.resize(static_cast<size_t>(AOffset + size));
    }
    std::memcpy(FAudioBuffer.data() + AOffset, data, static_cast<size_t>(size));
    FWaveInfo.Buffer = FAudioBuffer.data();
    FWaveInfo.Size = AOffset + size;
    return size;
}

int TFFDecoder::ReadAudio(void* ABuffer, int ACount, int AStreamIndex) {
    if (FRemainsAudioSize <= 0) {
        if (!DecodeAudio(AStreamIndex)) {
            return -1;
        }
        FRemainsAudioSize = FWaveInfo.Size;
    }
    const int count = std::min(ACount, FRemainsAudioSize);
    if (ABuffer && count > 0) {
        std::memcpy(ABuffer, FWaveInfo.Buffer + (FWaveInfo.Size - FRemainsAudioSize),
                    static_cast<size_t>(count));
        FRemainsAudioSize -= count;
    }
    return count;
}

int64_t TFFDecoder::FrameInterval() const {
    return GetFrameInterval(FFrameRate);
}

int64_t TFFDecoder::IOPosition() const {
    return FFileHandle && FFileHandle->pb ? ff::avio_seek(FFileHandle->pb, 0, SEEK_CUR) : -1;
}

int64_t TFFDecoder::GetPosition() {
    if (!FFileHandle) {
        DoErrLog(AV_LOG_WARNING, "file not loaded.");
        return -1;
    }
    if (!FFileHandle->pb) {
        DoErrLog(AV_LOG_WARNING, "cannot get position");
        return -1;
    }
    return IOPosition();
}

void TFFDecoder::FlushDecoders() {
    if (FVideoCodec) {
        ff::avcodec_flush_buffers(FVideoCodec.get());
    }
    if (FAudioCodec) {
        ff::avcodec_flush_buffers(FAudioCodec.get());
    }
}

int TFFDecoder::SeekCall(int64_t ATarget, int AFlags) {
    FLastRead = ff::av_gettime_relative();
    if (FFileHandle->iformat && FFileHandle->iformat->read_seek2) {
        return ff::avformat_seek_file(FFileHandle, FSeekIndex, INT64_MIN, ATarget, INT64_MAX, AFlags);
    }
    return ff::av_seek_frame(FFileHandle, FSeekIndex, ATarget, AFlags);
}

bool TFFDecoder::IsSeekStreamOfType(AVMediaType AType) const {
    return FSeekIndex >= 0 && FSeekIndex < FStreamCount &&
           FFileHandle->streams[FSeekIndex]->codecpar->codec_type == AType;
}

void TFFDecoder::ResetSeekState() {
    FlushDecoders();
    FEOF = FEOFpkt = false;
    ResetPicture();
    ResetWaveInfo();
    // What was left of the previous audio block is gone with it.
    FRemainsAudioSize = 0;
}

bool TFFDecoder::Seek(int64_t APTS, TSeekFlags ASeekFlags) {
    if (!CanSeek()) {
        return false;
    }
    if (FFileHandle->pb) {
        FFLogger().Log(this, llDebug, "%s.%s: current position %lld bytes", kClassName, "Seek()",
                       static_cast<long long>(IOPosition()));
    }
    int64_t target = APTS;
    const bool video = IsSeekStreamOfType(AVMEDIA_TYPE_VIDEO);
    if (APTS == 0 && FFrameRate.num != 0 && FFrameRate.den != 0 && video) {
        target = -(FrameInterval() / 2);
    }
    const bool byBytes = ASeekFlags.Contains(sfByte);
    if (!byBytes) {
        int64_t base = AV_NOPTS_VALUE;
        if (FSeekIndex < 0) {
            base = FFileHandle->start_time;
        } else {
            const AVStream* st = FFileHandle->streams[FSeekIndex];
            target = ff::av_rescale_q(target, AV_TIME_BASE_Q, st->time_base);
            base = st->start_time;
        }
        if (base != AV_NOPTS_VALUE) {
            target += base;
        }
    }
    ResetSeekState();
    dropPictures_ = 0;
    dropAudioBefore_ = AV_NOPTS_VALUE;
    // Audio is decoded again from the new place: the resamplers must not hold samples from the old one.
    CloseAudioResampler();
    FAudioParam.next_pts = AV_NOPTS_VALUE;
    const bool audio = IsSeekStreamOfType(AVMEDIA_TYPE_AUDIO) ||
                       (FSeekIndex < 0 && FDesireVideoIndex < 0 && FAudioStreamCount > 0);
    int err;
    if (!byBytes && video && !ASeekFlags.Contains(sfAny)) {
        err = SeekVideoExact(target, ASeekFlags.Contains(sfBackward));
    } else if (!byBytes && audio) {
        err = SeekAudioExact(target);
    } else {
        const int flags = MakeSeekFlags(ASeekFlags);
        err = SeekCall(target, flags);
        if (err < 0) {
            err = SeekCall(target, flags ^ AVSEEK_FLAG_BACKWARD);
        }
    }
    if (err < 0) {
        if (byBytes) {
            DoErrLog(AV_LOG_ERROR, Format("%s.%s: could not seek to position %lld bytes", kClassName,
                                          "Seek()", static_cast<long long>(APTS)));
        } else {
            DoErrLog(AV_LOG_ERROR, Format("%s.%s: could not seek to position %0.3f seconds", kClassName,
                                          "Seek()", static_cast<double>(APTS) / AV_TIME_BASE));
        }
    }
    if (FFileHandle->pb) {
        FFLogger().Log(this, llDebug, "%s.%s: seek to position %lld bytes", kClassName, "Seek()",
                       static_cast<long long>(IOPosition()));
    }
    return err >= 0;
}

int TFFDecoder::PositionAtStart() {
    // Streams whose times may jump (MPEG-TS, -PS) have no index: a time search lands near the start, but
    // possibly after the first key frame. Their start is byte 0.
    if (FFileHandle->iformat->flags & AVFMT_TS_DISCONT) {
        FLastRead = ff::av_gettime_relative();
        if (ff::av_seek_frame(FFileHandle, -1, 0, AVSEEK_FLAG_BYTE) >= 0) {
            return 0;
        }
    }
    const AVStream* st = FFileHandle->streams[FSeekIndex];
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    int err = SeekCall(start, AVSEEK_FLAG_BACKWARD);
    if (err < 0) {
        err = SeekCall(start, 0);
    }
    return err;
}

int TFFDecoder::PositionBefore(int64_t ATarget) {
    const AVStream* st = FFileHandle->streams[FSeekIndex];
    if (st->start_time != AV_NOPTS_VALUE && ATarget <= st->start_time) {
        return PositionAtStart();
    }
    const int err = SeekCall(ATarget, AVSEEK_FLAG_BACKWARD);
    return err < 0 ? PositionAtStart() : err;
}

int TFFDecoder::FindKeyPicture(int64_t ATargetUs, bool ABackward, bool AFromStart) {
    AVCodecContext* codec = OpenVideoDecoder(FSeekIndex);
    if (!codec) {
        return -1;
    }
    int found = -1;
    int firstKey = -1;
    int count = 0;
    const int index = FSeekIndex;
    // Pictures leave the decoder in presentation order: the first one past the target ends the search.
    const auto step = [&](AVPacket* APacket) {
        if (DoDecodeVideo(codec, APacket) != 1) {
            return 0;
        }
        const int number = count++;
        const int64_t pts = FPicture.PTS;
        if (pts == AV_NOPTS_VALUE) {
            return 0;
        }
        if (FPicture.IsKeyFrame && firstKey < 0) {
            firstKey = number;
        }
        if (ABackward) {
            if (pts > ATargetUs) {
                return 1;
            }
            if (FPicture.IsKeyFrame) {
                found = number;
            }
            return 0;
        }
        if (FPicture.IsKeyFrame && pts >= ATargetUs) {
            found = number;
            return 1;
        }
        return 0;
    };
    ReadingLoop(
        "Seek()", [index](int AStream) { return AStream == index; }, step, index);
    if (found < 0 && ABackward && AFromStart) {
        found = firstKey;  // the target lies before the first picture
    }
    return found;
}

int TFFDecoder::SeekVideoExact(int64_t ATarget, bool ABackward) {
    const AVStream* st = FFileHandle->streams[FSeekIndex];
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const int64_t targetUs = ff::av_rescale_q(ATarget - start, st->time_base, AV_TIME_BASE_Q);
    // A second covers the reordering of every common codec; a key frame further back is found by
    // going back further.
    const int64_t step = std::max<int64_t>(ff::av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, st->time_base), 1);
    int key = -1;
    int64_t from = ATarget;
    for (int64_t back = step;; back *= 2) {
        from = ATarget - back;
        const bool fromStart = from <= start;
        int err = fromStart ? PositionAtStart() : PositionBefore(from);
        if (err < 0) {
            return err;
        }
        ResetSeekState();
        key = FindKeyPicture(targetUs, ABackward, fromStart);
        if (key >= 0 || fromStart || !ABackward) {
            break;
        }
    }
    const int err = from <= start ? PositionAtStart() : PositionBefore(from);
    ResetSeekState();
    if (err < 0) {
        return err;
    }
    if (key < 0) {
        return AVERROR(ERANGE);  // no key frame at or after the target
    }
    // The same place and a flushed decoder give the same pictures again: the key frame comes after
    // as many pictures as it did in the search.
    dropPictures_ = key;
    return 0;
}

int TFFDecoder::SeekAudioExact(int64_t ATarget) {
    // A second before the target: decoders need their pre-roll, and the Ogg reader mislabels the first
    // pages it reads after a seek by a few hundred samples, then reads them again with the right
    // stamps; what it mislabels then lies before the target and is dropped.
    const AVRational base = FSeekIndex < 0 ? AV_TIME_BASE_Q : FFileHandle->streams[FSeekIndex]->time_base;
    const int64_t preRoll = ff::av_rescale_q(AV_TIME_BASE, AV_TIME_BASE_Q, base);
    const int64_t start =
        FSeekIndex < 0 ? FFileHandle->start_time : FFileHandle->streams[FSeekIndex]->start_time;
    const int64_t from = start != AV_NOPTS_VALUE ? std::max(ATarget - preRoll, start) : ATarget - preRoll;
    int err = SeekCall(from, AVSEEK_FLAG_BACKWARD);
    if (err < 0) {
        // Before the first indexed place: the file's start is before the target too.
        FLastRead = ff::av_gettime_relative();
        err = ff::av_seek_frame(FFileHandle, -1, 0, AVSEEK_FLAG_BYTE);
        if (err < 0) {
            err = SeekCall(ATarget, 0);
        }
    }
    if (err >= 0) {
        dropAudioBefore_ = ff::av_rescale_q(ATarget, base, AV_TIME_BASE_Q);
        ++seekSerial_;
    }
    return err;
}

bool TFFDecoder::DecodeNextKeyFrame(int AStreamIndex) {
    if (SelectVideoStreamIndex(AStreamIndex) < 0) {
        return false;
    }
    const int64_t interval = FrameInterval();
    const int64_t target =
        FPicture.PTS != AV_NOPTS_VALUE && FPicture.PTS > 0 ? FPicture.PTS + interval : interval;
    if (!Seek(target)) {
        return false;
    }
    return Decode(AStreamIndex);
}

bool TFFDecoder::DecodePreviousKeyFrame(int AStreamIndex) {
    if (SelectVideoStreamIndex(AStreamIndex) < 0) {
        return false;
    }
    const int64_t interval = FrameInterval();
    int64_t reference = 0;
    if (FPicture.PTS != AV_NOPTS_VALUE) {
        reference = FPicture.PTS;
    } else if (FLastPTS != AV_NOPTS_VALUE) {
        reference = FLastPTS;
    } else if (FFileHandle->duration != AV_NOPTS_VALUE) {
        reference = FFileHandle->duration;
    }
    int64_t p0 = IOPosition();
    int64_t memo = -2;
    int64_t n = 1;
    for (;;) {
        int64_t after = -1;
        for (;;) {
            const int64_t before = IOPosition();
            Seek(reference - n * interval, {sfBackward});
            if (!FFileHandle->pb) {
                break;
            }
            after = IOPosition();
            if (after >= p0 && p0 > 0 && after != before && n * interval <= reference) {
                ++n;  // the seek did not get behind the start position
                continue;
            }
            if (memo == -1) {
                memo = after;
            } else if (memo > 0 && after >= memo && n * interval <= reference) {
                ++n;  // the same landing place as before
                continue;
            }
            break;
        }
        if (memo == -2) {
            memo = -1;
        }
        if (Decode(AStreamIndex)) {
            const int64_t pts = FPicture.PTS;
            if (pts < reference || pts <= 0 || (pts == reference && n * interval > reference)) {
                return true;
            }
            if (after < memo) {
                memo = -1;
            }
            ++n;
            continue;
        }
        if (n * interval > reference || FEOF) {
            FLastErrMsg = "Could not seek to the previous key-frame. " + FLastErrMsg;
            return false;
        }
        ++n;
    }
}

bool TFFDecoder::DecodePreviousFrame(int AStreamIndex) {
    if (SelectVideoStreamIndex(AStreamIndex) < 0) {
        return false;
    }
    const int64_t interval = FrameInterval();
    int64_t reference = 0;
    if (FPicture.PTS != AV_NOPTS_VALUE) {
        reference = FPicture.PTS;
    } else if (FLastPTS != AV_NOPTS_VALUE) {
        reference = FLastPTS;
    }
    const int64_t lowest = reference - 2 * interval;
    int64_t below = AV_NOPTS_VALUE;
    if (!DecodePreviousKeyFrame(AStreamIndex)) {
        return false;
    }
    for (;;) {
        if (FPicture.PTS > lowest) {
            return true;
        }
        if (!Decode(AStreamIndex)) {
            return false;
        }
        if (FPicture.PTS < reference) {
            below = FPicture.PTS;
        }
        if (FPicture.PTS == reference) {
            if (!DecodePreviousKeyFrame(AStreamIndex)) {
                continue;
            }
            if (below != AV_NOPTS_VALUE) {
                while (FPicture.PTS < below && Decode(AStreamIndex)) {
                }
            }
            return true;
        }
    }
}

bool TFFDecoder::CopyToBitmap(TBitmap& ABitmap) {
    if (!FPicture.Ready) {
        DoErrLog(AV_LOG_ERROR, "picture not ready, please decode first");
        return false;
    }
    if (FFormatConv.PictureToRGB(FPicture.Picture, static_cast<AVPixelFormat>(FPicture.PixFmt),
                                 FPicture.Width, FPicture.Height, true)) {
        TBitmap& source = FFormatConv.Bitmap();
        ABitmap.SetPixelFormat(source.PixelFormat());
        ABitmap.SetSize(source.Width(), source.Height());
        for (int row = 0; row < source.Height(); ++row) {
            std::memcpy(ABitmap.ScanLine(row), source.ScanLine(row),
                        static_cast<size_t>(source.BytesPerLine()));
        }
        return true;
    }
    ABitmap.SetSize(FPicture.Width, FPicture.Height);
    for (int row = 0; row < ABitmap.Height(); ++row) {
        std::memset(ABitmap.ScanLine(row), 0, static_cast<size_t>(ABitmap.BytesPerLine()));
    }
    DoErrLog(AV_LOG_ERROR, FFormatConv.LastErrMsg());
    return false;
}

const TDIB* TFFDecoder::GetBitmapPtr() {
    if (!FPicture.Ready) {
        DoErrLog(AV_LOG_ERROR, "picture not ready, please decode first");
        return nullptr;
    }
    if (!FFormatConv.PictureToRGB(FPicture.Picture, static_cast<AVPixelFormat>(FPicture.PixFmt),
                                  FPicture.Width, FPicture.Height, false)) {
        DoErrLog(AV_LOG_ERROR, FFormatConv.LastErrMsg());
        return nullptr;
    }
    return FFormatConv.DIB();
}
