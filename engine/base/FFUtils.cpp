#include "engine/base/FFUtils.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <stdexcept>

bool isprint(uint8_t AByte) {
    return AByte >= 32 && AByte <= 126;
}

std::string GetTimeZoneAbbreviation() {
    tzset();
    const long biasMinutes = timezone / 60;  // UTC minus local time, standard time
    const auto seconds =
        static_cast<int64_t>(std::nearbyint(static_cast<double>(biasMinutes) / 1440.0 * 86400.0));
    if (seconds == 0) {
        return "UTC";
    }
    const int64_t magnitude = seconds < 0 ? -seconds : seconds;
    return Format("%s%s%.2d:%.2d", "UTC", biasMinutes < 0 ? "-" : "+", static_cast<int>(magnitude / 3600),
                  static_cast<int>(magnitude % 3600 / 60));
}

int64_t DateTimeToUnix(TDateTime ADateTime) {
    return static_cast<int64_t>(std::nearbyint((ADateTime - kUnixDateDelta) * 86400.0));
}

int64_t DateTimeToUnixEx(TDateTime ADateTime) {
    return static_cast<int64_t>(std::nearbyint((ADateTime - kUnixDateDelta - DateTimeOffset()) * 86400.0));
}

TDateTime UnixToDateTime(int64_t AUnixTime) {
    return static_cast<double>(AUnixTime) / 86400.0 + kUnixDateDelta;
}

std::string DurationToStr(int64_t ADuration) {
    if (ADuration == AV_NOPTS_VALUE) {
        return "N/A";
    }
    const int64_t shifted = ADuration + 5000;
    const int64_t secs = shifted / 1000000;
    const int64_t us = shifted % 1000000;
    return Format("%.2d:%.2d:%.2d.%.3d", static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                  static_cast<int>(secs % 60), static_cast<int>(us * 1000 / 1000000));
}

std::string DurationToStr(int64_t ADuration, AVRational ATimeBase) {
    const AVRational microseconds{1, AV_TIME_BASE};
    if (ADuration != AV_NOPTS_VALUE && av_cmp_q(ATimeBase, microseconds) != 0) {
        ADuration = ff::av_rescale_q(ADuration, ATimeBase, microseconds);
    }
    return DurationToStr(ADuration);
}

int64_t GetFrameInterval(AVRational AFrameRate) {
    if (AFrameRate.num != 0 && AFrameRate.den != 0) {
        return int64_t{1000000} * AFrameRate.den / AFrameRate.num;
    }
    return 1000000 / 25;
}

std::string GetMetaValue(const AVDictionary* ADict, const std::string& AKey, const std::string& ADefault) {
    const AVDictionaryEntry* entry = ff::av_dict_get(ADict, AKey.c_str(), nullptr, 0);
    return entry && entry->value ? std::string(entry->value) : ADefault;
}

namespace {

std::string TrimSpaces(const std::string& AText) {
    const size_t first = AText.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    return AText.substr(first, AText.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string GetCodecName(const AVCodecContext* AContext, bool AEncoder) {
    const AVCodec* codec = AEncoder ? ff::avcodec_find_encoder(AContext->codec_id)
                                    : ff::avcodec_find_decoder(AContext->codec_id);
    if (codec) {
        const std::string longName = TrimSpaces(codec->long_name ? codec->long_name : "");
        return longName.empty() ? std::string(codec->name) : Format("%s(%s)", codec->name, longName.c_str());
    }
    if (AContext->codec_id == 0x20000) {
        return "mpeg2ts";
    }
    const unsigned tag = AContext->codec_tag;
    const uint8_t bytes[4] = {static_cast<uint8_t>(tag), static_cast<uint8_t>(tag >> 8),
                              static_cast<uint8_t>(tag >> 16), static_cast<uint8_t>(tag >> 24)};
    if (std::all_of(bytes, bytes + 4, [](uint8_t b) { return isprint(b); })) {
        return Format("%c%c%c%c / 0x%04X", bytes[0], bytes[1], bytes[2], bytes[3], tag);
    }
    return Format("0x%04x", tag);
}

std::string AVMediaTypeCaption(int AMediaType) {
    static const char* const kCaptions[] = {"Video", "Audio", "Data", "Subtitle", "Attachment"};
    return AMediaType >= 0 && AMediaType < 5 ? kCaptions[AMediaType] : "Unknown";
}

std::string AVPictureTypeCaption(int APictureType) {
    static const char* const kCaptions[] = {
        "Intra",           "Predicted",           "Bi-dir predicted", "S(GMC)-VOP MPEG4",
        "Switching Intra", "Switching Predicted", "BI type"};
    return APictureType >= 1 && APictureType <= 7 ? kCaptions[APictureType - 1] : "Unknown";
}

bool RegisterProtocol(TURLProtocol* AProtocol) {
    if (!ff::ffurl_protocol_next || !ff::ffurl_register_protocol) {
        return false;
    }
    for (const TURLProtocol* p = ff::ffurl_protocol_next(nullptr); p; p = ff::ffurl_protocol_next(p)) {
        if (p->name && std::strcmp(p->name, AProtocol->name) == 0) {
            return true;
        }
    }
    ff::ffurl_register_protocol(AProtocol);
    return true;
}

void RegisterInputFormat(AVInputFormat* AFormat) {
    if (!ff::av_iformat_next || !ff::av_register_input_format) {
        throw std::logic_error("Assertion failure");
    }
    for (const AVInputFormat* f = ff::av_iformat_next(nullptr); f; f = ff::av_iformat_next(f)) {
        if (f->name && std::strcmp(f->name, AFormat->name) == 0) {
            return;
        }
    }
    ff::av_register_input_format(AFormat);
}

void RegisterOutputFormat(AVOutputFormat* AFormat) {
    if (!ff::av_oformat_next || !ff::av_register_output_format) {
        throw std::logic_error("Assertion failure");
    }
    for (const AVOutputFormat* f = ff::av_oformat_next(nullptr); f; f = ff::av_oformat_next(f)) {
        if (f->name && std::strcmp(f->name, AFormat->name) == 0) {
            return;
        }
    }
    ff::av_register_output_format(AFormat);
}

namespace {

// Unsigned 8-bit samples after the sum: silence is 128 and the result never exceeds 254.
uint8_t ClampU8(int AValue) {
    if (AValue <= 128) {
        return 0;
    }
    return static_cast<uint8_t>(AValue <= 382 ? AValue - 128 : 254);
}

template <typename TSample, typename TWide>
void MixSigned(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume) {
    const int count = ALength / static_cast<int>(sizeof(TSample));
    for (int i = 0; i < count; ++i) {
        TSample src;
        TSample dst;
        std::memcpy(&src, ASource + i * sizeof(TSample), sizeof src);
        std::memcpy(&dst, ADest + i * sizeof(TSample), sizeof dst);
        const TWide scaled = AVolume == 128 ? TWide{src} : TWide{src} * AVolume / 128;
        const TWide sum = std::clamp<TWide>(scaled + dst, std::numeric_limits<TSample>::min(),
                                            std::numeric_limits<TSample>::max());
        dst = static_cast<TSample>(sum);
        std::memcpy(ADest + i * sizeof(TSample), &dst, sizeof dst);
    }
}

}  // namespace

void MixAudioU8(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume) {
    if (AVolume == 0) {
        return;
    }
    for (int i = 0; i < ALength; ++i) {
        const int src = ASource[i];
        const int dst = ADest[i];
        ADest[i] = AVolume == 128 ? ClampU8(src + dst) : ClampU8((src - 128) * AVolume / 128 + dst + 128);
    }
}

void MixAudioS16(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume) {
    if (AVolume != 0) {
        MixSigned<int16_t, int32_t>(ASource, ADest, ALength, AVolume);
    }
}

void MixAudioS32(const uint8_t* ASource, uint8_t* ADest, int ALength, int AVolume) {
    if (AVolume != 0) {
        MixSigned<int32_t, int64_t>(ASource, ADest, ALength, AVolume);
    }
}
