#include "engine/tools/FFDecoder.h"

#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/base/FFUtils.h"
#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"

namespace {

constexpr int kLevelError = AV_LOG_ERROR;
constexpr int kLevelWarning = AV_LOG_WARNING;
const char* const kNotLoaded = "file not loaded.";
const char* const kReadOnly = "file cannot be seeked, handle is readonly.";

// Copies a UTF-8 text into a fixed array, cut at a character boundary so that a terminator fits.
template <size_t N>
void CopyText(char (&ADest)[N], const std::string& ASource) {
    size_t length = ASource.size() < N - 1 ? ASource.size() : N - 1;
    while (length > 0 && length < ASource.size() &&
           (static_cast<unsigned char>(ASource[length]) & 0xC0) == 0x80) {
        --length;
    }
    std::fill(std::begin(ADest), std::end(ADest), '\0');
    ASource.copy(ADest, length);
}

// A metadata number: 0 when missing or not a number.
int32_t MetaNumber(const AVDictionary* ADict, const char* AKey) {
    const std::string text = GetMetaValue(ADict, AKey, "");
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    return (text.empty() || *end != '\0') ? 0 : static_cast<int32_t>(value);
}

// The decoder-side codec name of a stream, through a context made from its parameters.
std::string StreamCodecName(const AVStream* st) {
    AVCodecContext* ctx = ff::avcodec_alloc_context3(nullptr);
    if (!ctx) {
        return {};
    }
    std::string name;
    if (ff::avcodec_parameters_to_context(ctx, st->codecpar) >= 0) {
        name = GetCodecName(ctx, false);
    }
    ff::avcodec_free_context(&ctx);
    return name;
}

// A time base with denominator 0 is repaired in the library's own stream.
void RepairTimeBase(AVStream* st) {
    if (st->time_base.den == 0) {
        st->time_base.den = st->time_base.num != 0 ? st->time_base.num : 1;
    }
}

template <typename TInfo>
void FillTimes(TInfo& AInfo, AVStream* st) {
    AInfo.StartTime = st->start_time;
    AInfo.Duration = st->duration;
    RepairTimeBase(st);
    if (st->start_time != AV_NOPTS_VALUE) {
        AInfo.StartTimeScaled = ff::av_rescale_q(st->start_time, st->time_base, AV_TIME_BASE_Q);
    }
    if (st->duration != AV_NOPTS_VALUE) {
        AInfo.DurationScaled = ff::av_rescale_q(st->duration, st->time_base, AV_TIME_BASE_Q);
    }
}

}  // namespace

TCustomDecoder::TCustomDecoder() : FOptions(std::make_unique<TFFOptions>()) {
    RefreshStreamsInfo();
}

TCustomDecoder::~TCustomDecoder() {
    // Virtual calls do not reach a derived class here; a derived class closes its own file first.
    TCustomDecoder::CloseFile();
}

bool TCustomDecoder::AVLibLoaded() {
    return FFLoader().Loaded(CDecoderLibraries);
}

bool TCustomDecoder::LoadAVLib(const TPathFileName& APath) {
    FFLoader().SetLibraryPath(APath);
    const bool loaded = FFLoader().Load(CDecoderLibraries);
    if (loaded) {
        FOptions->init_opts();
    } else {
        FLastErrMsg = FFLoader().LastErrMsg();
    }
    return loaded;
}

void TCustomDecoder::UnloadAVLib() {
    FFLoader().Unload(CDecoderLibraries);
}

void TCustomDecoder::CheckLibAV() {
    FFLoader().CheckLibAV(CDecoderLibraries);
}

void TCustomDecoder::DoErrLog(int ALevel, const std::string& AMsg) {
    FLastErrMsg = AMsg;
    FFLogger().Log(this, IntToLogLevel(ALevel), AMsg);
}

int TCustomDecoder::interrupt_callback(void* opaque) {
    auto* self = static_cast<TCustomDecoder*>(opaque);
    if (self->ReadTimeout() <= 0) {
        return 0;
    }
    if (ff::av_gettime_relative() - self->FLastRead > static_cast<int64_t>(self->ReadTimeout()) * 1000) {
        FFLogger().Log(self, llInfo, "connecting/reading timeout");
        return 1;
    }
    return 0;
}

void TCustomDecoder::CallBeforeFindStreamInfo() {
    if (OnBeforeFindStreamInfo) {
        OnBeforeFindStreamInfo(this, FFileHandle);
    }
}

bool TCustomDecoder::LoadFile(const TPathFileName& AFileName, const std::string& AFormatName) {
    CheckLibAV();
    CloseFile();
    if (!FOptions->sws_opts()) {
        FOptions->init_opts();
    }
    const AVInputFormat* format = nullptr;
    if (!AFormatName.empty()) {
        format = ff::av_find_input_format(AFormatName.c_str());
        if (!format) {
            DoErrLog(kLevelError, Format("Unknown input format: %s", AFormatName.c_str()));
            FOptions->init_opts();
            CloseFile();
            return false;
        }
    }
    FFileHandle = ff::avformat_alloc_context();
    if (!FFileHandle) {
        DoErrLog(kLevelError, "avformat_alloc_context() failed.");
        return false;
    }
    FFileHandle->interrupt_callback.callback = interrupt_callback;
    FFileHandle->interrupt_callback.opaque = this;
    FOwnHandle = true;
    FLastRead = ff::av_gettime_relative();
    const std::string name = ffmpeg_filename(AFileName);
    int err = ff::avformat_open_input(&FFileHandle, name.c_str(), format, &FOptions->format_opts());
    if (err < 0) {
        FFileHandle = nullptr;  // freed by the failed open
        FLastErrMsg = print_error(AFileName, err);
        FOptions->init_opts();
        CloseFile();
        return false;
    }
    const AVDictionaryEntry* left = nullptr;
    while ((left = ff::av_dict_get(FOptions->format_opts(), "", left, AV_DICT_IGNORE_SUFFIX))) {
        DoErrLog(kLevelError, Format("Option %s not found, ignored.", left->key));
    }
    FFileHandle->flags |= AVFMT_FLAG_GENPTS;
    if (OnBeforeFindStreamInfo) {
        if (TriggerEventInMainThread) {
            MySynchronize([this] { CallBeforeFindStreamInfo(); });
        } else {
            CallBeforeFindStreamInfo();
        }
    }
    const unsigned streams = FFileHandle->nb_streams;
    AVDictionary** opts = setup_find_stream_info_opts(FFileHandle, FOptions->codec_opts());
    FLastRead = ff::av_gettime_relative();
    err = ff::avformat_find_stream_info(FFileHandle, opts);
    if (opts) {
        for (unsigned i = 0; i < streams; ++i) {
            ff::av_dict_free(&opts[i]);
        }
        ff::av_freep(&opts);
    }
    if (err < 0) {
        FLastErrMsg = Format("%s: could not find codec parameters", AFileName.c_str());
        FOptions->init_opts();
        CloseFile();
        return false;
    }
    if (FFileHandle->pb) {
        FFileHandle->pb->eof_reached = 0;
        FFileHandle->pb->error = 0;
    }
    RefreshStreamsInfo();
    FileLoaded();
    FOptions->init_opts();
    FForceFormat = AFormatName;
    return true;
}

void TCustomDecoder::SetFileHandle(AVFormatContext* AFormatContext) {
    if (AFormatContext == FFileHandle) {
        return;
    }
    CheckLibAV();
    CloseFile();
    FOwnHandle = false;
    FFileHandle = AFormatContext;
    RefreshStreamsInfo();
}

void TCustomDecoder::CloseFile() {
    FForceFormat.clear();
    if (FFileHandle) {
        if (FOwnHandle && ff::avformat_close_input) {
            ff::avformat_close_input(&FFileHandle);
        }
        FFileHandle = nullptr;
    }
    FOwnHandle = false;
    RefreshStreamsInfo();
}

void TCustomDecoder::RefreshStreamsInfo() {
    FFileSize = -1;
    FStreamCount = FProgramCount = -1;
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = -1;
    FFirstAudioStreamIndex = FFirstVideoStreamIndex = FFirstSubtitleStreamIndex = -1;
    if (!FFileHandle) {
        return;
    }
    if (FFileHandle->iformat && (FFileHandle->iformat->flags & AVFMT_NOFILE)) {
        FFileSize = 0;
    } else {
        FFileSize = FFileHandle->pb ? ff::avio_size(FFileHandle->pb) : 0;
        if (FFileSize < 0) {
            FFileSize = 0;
        }
    }
    if (FFileSize == 0 && FFileHandle->url) {
        const int64_t size = ::GetFileSize(native_filename(FFileHandle->url));
        if (size >= 0) {
            FFileSize = size;
        }
    }
    FStreamCount = static_cast<int32_t>(FFileHandle->nb_streams);
    FProgramCount = static_cast<int32_t>(FFileHandle->nb_programs);
    FAudioStreamCount = FVideoStreamCount = FSubtitleStreamCount = 0;
    for (int i = 0; i < FStreamCount; ++i) {
        switch (FFileHandle->streams[i]->codecpar->codec_type) {
            case AVMEDIA_TYPE_VIDEO:
                ++FVideoStreamCount;
                FFirstVideoStreamIndex = FFirstVideoStreamIndex < 0 ? i : FFirstVideoStreamIndex;
                break;
            case AVMEDIA_TYPE_AUDIO:
                ++FAudioStreamCount;
                FFirstAudioStreamIndex = FFirstAudioStreamIndex < 0 ? i : FFirstAudioStreamIndex;
                break;
            case AVMEDIA_TYPE_SUBTITLE:
                ++FSubtitleStreamCount;
                FFirstSubtitleStreamIndex = FFirstSubtitleStreamIndex < 0 ? i : FFirstSubtitleStreamIndex;
                break;
            default:
                break;
        }
    }
}

bool TCustomDecoder::CheckHandle() {
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return false;
    }
    if (!FOwnHandle) {
        DoErrLog(kLevelWarning, kReadOnly);
        throw std::runtime_error(kReadOnly);
    }
    return true;
}

namespace {

bool StreamIs(AVFormatContext* ic, int AIndex, AVMediaType AType) {
    return ic->streams[AIndex]->codecpar->codec_type == AType;
}

}  // namespace

bool TCustomDecoder::IsStreamOfType(int AStreamIndex, AVMediaType AType) {
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return false;
    }
    if (AStreamIndex < 0 || AStreamIndex >= FStreamCount) {
        DoErrLog(kLevelError, Format("stream index #%d is invalid.", AStreamIndex));
        return false;
    }
    return StreamIs(FFileHandle, AStreamIndex, AType);
}

bool TCustomDecoder::IsAudioStream(int AStreamIndex) { return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_AUDIO); }

bool TCustomDecoder::IsVideoStream(int AStreamIndex) { return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_VIDEO); }

bool TCustomDecoder::IsSubtitleStream(int AStreamIndex) {
    return IsStreamOfType(AStreamIndex, AVMEDIA_TYPE_SUBTITLE);
}

TPathFileName TCustomDecoder::GetFileName() {
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return {};
    }
    return FFileHandle->url ? native_filename(FFileHandle->url) : TPathFileName();
}

std::string TCustomDecoder::GetFormatName() {
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return {};
    }
    return FFileHandle->iformat && FFileHandle->iformat->name ? FFileHandle->iformat->name : "";
}

std::string TCustomDecoder::GetFormatLongName() {
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return {};
    }
    return FFileHandle->iformat && FFileHandle->iformat->long_name ? FFileHandle->iformat->long_name : "";
}

int TCustomDecoder::CheckStreamIndex(int AIndex, AVMediaType AType) {
    const char* typeName = AType == AVMEDIA_TYPE_AUDIO   ? "audio"
                           : AType == AVMEDIA_TYPE_VIDEO ? "video"
                                                         : "subtitle";
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return -1;
    }
    if (AIndex < 0) {
        const int first = AType == AVMEDIA_TYPE_AUDIO   ? FFirstAudioStreamIndex
                          : AType == AVMEDIA_TYPE_VIDEO ? FFirstVideoStreamIndex
                                                        : FFirstSubtitleStreamIndex;
        if (first < 0) {
            DoErrLog(kLevelError, Format("no %s stream.", typeName));
        }
        return first;
    }
    if (AIndex >= FStreamCount) {
        DoErrLog(kLevelError, Format("stream index #%d is invalid.", AIndex));
        return -1;
    }
    if (!StreamIs(FFileHandle, AIndex, AType)) {
        DoErrLog(kLevelError, Format("stream #%d is not %s stream.", AIndex, typeName));
        return -1;
    }
    return AIndex;
}

TFileStreamInfo TCustomDecoder::GetFileStreamInfo() {
    TFileStreamInfo info;
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
        return info;
    }
    const AVDictionary* meta = FFileHandle->metadata;
    info.StartTime = FFileHandle->start_time;
    info.Duration = FFileHandle->duration == AV_NOPTS_VALUE ? -1 : FFileHandle->duration;
    info.BitRate = static_cast<int32_t>(FFileHandle->bit_rate);
    info.Year = MetaNumber(meta, "year");
    info.Track = MetaNumber(meta, "track");
    CopyText(info.Title, GetMetaValue(meta, "title", ""));
    CopyText(info.Author, GetMetaValue(meta, "author", ""));
    CopyText(info.Copyright, GetMetaValue(meta, "copyright", ""));
    CopyText(info.Comment, GetMetaValue(meta, "comment", ""));
    CopyText(info.Album, GetMetaValue(meta, "album", ""));
    CopyText(info.Genre, GetMetaValue(meta, "genre", ""));
    return info;
}

AVProgram TCustomDecoder::GetProgrames(int Index) {
    AVProgram program{};
    program.id = -1;
    program.flags = -1;
    program.discard = AVDISCARD_NONE;
    if (!FFileHandle) {
        DoErrLog(kLevelWarning, kNotLoaded);
    } else if (FProgramCount <= 0) {
        DoErrLog(kLevelError, "no program found.");
    } else if (Index < 0 || Index >= FProgramCount) {
        DoErrLog(kLevelError, Format("program index #%d is invalid.", Index));
    } else {
        program = *FFileHandle->programs[Index];
    }
    return program;
}

TAudioStreamInfo TCustomDecoder::GetAudioStreamInfos(int Index) {
    TAudioStreamInfo info;
    const int index = CheckStreamIndex(Index, AVMEDIA_TYPE_AUDIO);
    if (index < 0) {
        return info;
    }
    AVStream* st = FFileHandle->streams[index];
    CopyText(info.Language, GetMetaValue(st->metadata, "language", ""));
    CopyText(info.CodecName, StreamCodecName(st));
    FillTimes(info, st);
    info.BitRate = static_cast<int32_t>(st->codecpar->bit_rate);
    info.Channels = st->codecpar->ch_layout.nb_channels;
    info.SampleRate = st->codecpar->sample_rate;
    info.SampleFormat = st->codecpar->format;
    return info;
}

TVideoStreamInfo TCustomDecoder::GetVideoStreamInfos(int Index) {
    TVideoStreamInfo info;
    const int index = CheckStreamIndex(Index, AVMEDIA_TYPE_VIDEO);
    if (index < 0) {
        return info;
    }
    AVStream* st = FFileHandle->streams[index];
    const AVCodecParameters* par = st->codecpar;
    CopyText(info.Language, GetMetaValue(st->metadata, "language", ""));
    CopyText(info.CodecName, StreamCodecName(st));
    FillTimes(info, st);
    info.BitRate = static_cast<int32_t>(par->bit_rate);
    info.Height = par->height;
    info.Width = par->width;
    info.SAR = st->sample_aspect_ratio.num != 0 ? st->sample_aspect_ratio : par->sample_aspect_ratio;
    if (info.SAR.den != 0) {
        info.SampleAspectRatio = static_cast<float>(info.SAR.num) / static_cast<float>(info.SAR.den);
    }
    if (info.SAR.num != 0 && par->height > 0) {
        ff::av_reduce(&info.DAR.num, &info.DAR.den, static_cast<int64_t>(par->width) * info.SAR.num,
                      static_cast<int64_t>(par->height) * info.SAR.den, 1024 * 1024);
        info.DisplayAspectRatio = static_cast<float>(info.DAR.num) / static_cast<float>(info.DAR.den);
    }
    info.PixFmt = par->format;
    info.FrameRate =
        (st->avg_frame_rate.num != 0 && st->avg_frame_rate.den != 0) ? st->avg_frame_rate : st->r_frame_rate;
    return info;
}

TSubtitleStreamInfo TCustomDecoder::GetSubtitleStreamInfos(int Index) {
    TSubtitleStreamInfo info;
    const int index = CheckStreamIndex(Index, AVMEDIA_TYPE_SUBTITLE);
    if (index < 0) {
        return info;
    }
    AVStream* st = FFileHandle->streams[index];
    CopyText(info.Language, GetMetaValue(st->metadata, "language", ""));
    CopyText(info.CodecName, StreamCodecName(st));
    if (const AVCodecDescriptor* desc = ff::avcodec_descriptor_get(st->codecpar->codec_id)) {
        if (desc->props & AV_CODEC_PROP_BITMAP_SUB) {
            info.SubFormat = 0;
        } else if (desc->props & AV_CODEC_PROP_TEXT_SUB) {
            info.SubFormat = 1;
        }
    }
    return info;
}

bool TCustomDecoder::opt_default(const std::string& AName, const std::string& AValue) {
    if (!AVLibLoaded()) {
        DoErrLog(kLevelError, "FFmpeg libraries not loaded.");
        return false;
    }
    return FOptions->opt_default(AName, AValue) >= 0;
}

bool TCustomDecoder::DefaultOptions(const std::string& AOptions) {
    return ParseDefaultOptions(this, AOptions, [this](const std::string& AName, const std::string& AValue) {
        return opt_default(AName, AValue);
    });
}
