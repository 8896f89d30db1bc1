#include "engine/tools/FFFileInfoText.h"

#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <vector>

#include "engine/base/FFLog.h"
#include "engine/base/FFUtils.h"
#include "engine/base/Myutils.h"
#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"
#include "engine/tools/FFDecoder.h"

namespace {

using TLines = std::vector<std::string>;

constexpr size_t kMaxPiece = 255;

// At most AMax bytes of a UTF-8 text, cut at a character boundary.
std::string CutText(const std::string& AText, size_t AMax) {
    if (AText.size() <= AMax) {
        return AText;
    }
    size_t length = AMax;
    while (length > 0 && (static_cast<unsigned char>(AText[length]) & 0xC0) == 0x80) {
        --length;
    }
    return AText.substr(0, length);
}

// The key left-aligned in 16 columns, counted in characters.
std::string PadKey(const std::string& AKey) {
    size_t characters = 0;
    for (char c : AKey) {
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }
    return characters < 16 ? AKey + std::string(16 - characters, ' ') : AKey;
}

std::string EntryPrefix(const std::string& AIndent, const std::string& AKey) {
    return AIndent + "  " + PadKey(AKey) + ": ";
}

void AppendMetadata(TLines& ALines, const AVDictionary* AMetadata, const std::string& AIndent) {
    if (!AMetadata) {
        return;
    }
    if (ff::av_dict_count(AMetadata) == 1 && ff::av_dict_get(AMetadata, "language", nullptr, 0)) {
        return;
    }
    ALines.push_back(AIndent + "Metadata:");
    const AVDictionaryEntry* entry = nullptr;
    while ((entry = ff::av_dict_get(AMetadata, "", entry, AV_DICT_IGNORE_SUFFIX))) {
        if (std::strcmp(entry->key, "language") == 0) {
            continue;
        }
        std::string line = EntryPrefix(AIndent, entry->key);
        const char* p = entry->value ? entry->value : "";
        while (*p) {
            const size_t length = std::strcspn(p, "\x08\x0a\x0b\x0c\x0d");
            line += CutText(std::string(p, length), kMaxPiece);
            p += length;
            if (*p == '\x0d') {
                line += ' ';
            } else if (*p == '\x0a') {
                ALines.push_back(line);
                line = EntryPrefix(AIndent, "");
            }
            if (*p) {
                ++p;
            }
        }
        ALines.push_back(line);
    }
}

int64_t FileSizeOf(AVFormatContext* ic) {
    int64_t size = 0;
    if (!(ic->iformat && (ic->iformat->flags & AVFMT_NOFILE)) && ic->pb) {
        size = ff::avio_size(ic->pb);
        size = size < 0 ? 0 : size;
    }
    if (size == 0 && ic->url) {
        const int64_t onDisk = GetFileSize(native_filename(ic->url));
        size = onDisk > 0 ? onDisk : 0;
    }
    return size;
}

std::string DurationLine(const AVFormatContext* ic) {
    std::string line = "Duration: " + DurationToStr(ic->duration);
    if (ic->start_time != AV_NOPTS_VALUE) {
        line += ", start: " + TimeText(ic->start_time, AVRational{1, AV_TIME_BASE});
    }
    line += ", bitrate: ";
    line += ic->bit_rate > 0 ? Format("%" PRId64 " kb/s", ic->bit_rate / 1000) : std::string("N/A");
    return line;
}

void AppendChapters(TLines& ALines, const AVFormatContext* ic) {
    for (unsigned i = 0; i < ic->nb_chapters; ++i) {
        const AVChapter* chapter = ic->chapters[i];
        const double base = av_q2d(chapter->time_base);
        ALines.push_back(Format("Chapter #%u: start %.6f, end %.6f", i,
                                static_cast<double>(chapter->start) * base,
                                static_cast<double>(chapter->end) * base));
        AppendMetadata(ALines, chapter->metadata, "  ");
    }
}

// The library's one-line description of the stream's codec, decoder side.
std::string CodecDescription(const AVStream* st) {
    AVCodecContext* ctx = ff::avcodec_alloc_context3(nullptr);
    if (!ctx) {
        return {};
    }
    char buffer[256] = {};
    if (ff::avcodec_parameters_to_context(ctx, st->codecpar) >= 0) {
        ff::avcodec_string(buffer, sizeof(buffer), ctx, 0);
    }
    ff::avcodec_free_context(&ctx);
    return buffer;
}

std::string AspectText(const AVStream* st) {
    const AVCodecParameters* par = st->codecpar;
    if (st->sample_aspect_ratio.num == 0 ||
        av_cmp_q(st->sample_aspect_ratio, par->sample_aspect_ratio) == 0) {
        return {};
    }
    AVRational dar{0, 1};
    ff::av_reduce(&dar.num, &dar.den, static_cast<int64_t>(par->width) * st->sample_aspect_ratio.num,
                  static_cast<int64_t>(par->height) * st->sample_aspect_ratio.den, 1024 * 1024);
    return Format(", SAR %d:%d DAR %d:%d", st->sample_aspect_ratio.num, st->sample_aspect_ratio.den, dar.num,
                  dar.den);
}

bool BothTerms(AVRational ARate) {
    return ARate.num != 0 && ARate.den != 0;
}

std::string VideoRates(const AVStream* st) {
    std::string text;
    if (BothTerms(st->avg_frame_rate)) {
        text += RateText(av_q2d(st->avg_frame_rate), "fps");
    }
    if (BothTerms(st->r_frame_rate)) {
        text += RateText(av_q2d(st->r_frame_rate), "tbr");
    }
    if (BothTerms(st->time_base)) {
        text += RateText(1 / av_q2d(st->time_base), "tbn");
    }
    // The time base of the codec context that the stream search decoded with.
    const AVRational codecTimeBase = ff::av_stream_get_codec_timebase(st);
    if (BothTerms(codecTimeBase)) {
        text += RateText(1 / av_q2d(codecTimeBase), "tbc");
    }
    return text;
}

std::string Dispositions(int ADisposition) {
    static const char* const kNames[] = {
        " (default)", " (dub)",    " (original)",         " (comment)",         " (lyrics)",
        " (karaoke)", " (forced)", " (hearing impaired)", " (visual impaired)", " (clean effects)"};
    std::string text;
    for (size_t bit = 0; bit < std::size(kNames); ++bit) {
        if (ADisposition & (1 << bit)) {
            text += kNames[bit];
        }
    }
    return text;
}

void AppendStream(TLines& ALines, const AVFormatContext* ic, unsigned AIndex) {
    const AVStream* st = ic->streams[AIndex];
    std::string line = Format("  Stream #%u", AIndex);
    if (ic->iformat && (ic->iformat->flags & AVFMT_SHOW_IDS)) {
        line += Format("[0x%x]", static_cast<unsigned>(st->id));
    }
    if (const AVDictionaryEntry* language = ff::av_dict_get(st->metadata, "language", nullptr, 0)) {
        line += Format("(%s)", language->value);
    }
    int64_t divisor =
        std::gcd(static_cast<int64_t>(st->time_base.num), static_cast<int64_t>(st->time_base.den));
    divisor = divisor == 0 ? 1 : divisor;
    line += Format(", %d/%d", static_cast<int>(st->time_base.num / divisor),
                   static_cast<int>(st->time_base.den / divisor));
    line += ": " + CodecDescription(st);
    line += AspectText(st);
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        line += VideoRates(st);
    }
    line += Dispositions(st->disposition);
    if (st->start_time != AV_NOPTS_VALUE) {
        line += ", start: " + TimeText(st->start_time, st->time_base);
    }
    if (st->duration != AV_NOPTS_VALUE) {
        line += ", duration: " + DurationToStr(st->duration, st->time_base);
    }
    ALines.push_back(line);
    AppendMetadata(ALines, st->metadata, "  ");
}

void AppendPrograms(TLines& ALines, const AVFormatContext* ic, std::vector<bool>& AShown) {
    if (ic->nb_programs == 0) {
        return;
    }
    unsigned listed = 0;
    for (unsigned p = 0; p < ic->nb_programs; ++p) {
        const AVProgram* program = ic->programs[p];
        const AVDictionaryEntry* name = ff::av_dict_get(program->metadata, "name", nullptr, 0);
        ALines.push_back(Format("Program %d %s", program->id, name && name->value ? name->value : ""));
        AppendMetadata(ALines, program->metadata, "  ");
        for (unsigned k = 0; k < program->nb_stream_indexes; ++k) {
            const unsigned index = program->stream_index[k];
            if (index < ic->nb_streams) {  // a damaged program list must not reach past the streams
                AppendStream(ALines, ic, index);
                AShown[index] = true;
            }
        }
        listed += program->nb_stream_indexes;
    }
    if (listed < ic->nb_streams) {
        ALines.push_back("No Program");
    }
}

}  // namespace

std::string RateText(double AValue, const char* AUnit) {
    const auto v = static_cast<int64_t>(std::nearbyint(AValue * 100));
    if (v % 100 != 0) {
        return Format(", %3.2f %s", AValue, AUnit);
    }
    if (v % (100 * 1000) != 0) {
        return Format(", %1.0f %s", AValue, AUnit);
    }
    return Format(", %1.0fk %s", AValue / 1000, AUnit);
}

std::string TimeText(int64_t ATime, AVRational ATimeBase) {
    if (ATime == AV_NOPTS_VALUE) {
        return {};
    }
    const AVRational microseconds{1, AV_TIME_BASE};
    if (av_cmp_q(ATimeBase, microseconds) != 0) {
        ATime = ff::av_rescale_q(ATime, ATimeBase, microseconds);
    }
    // The sign is written apart so that a time between -1 s and 0 keeps it.
    const uint64_t magnitude = ATime < 0 ? 0 - static_cast<uint64_t>(ATime) : static_cast<uint64_t>(ATime);
    return Format("%s%" PRIu64 ".%.6" PRIu64, ATime < 0 ? "-" : "", magnitude / 1000000, magnitude % 1000000);
}

std::string MetadataBlock(const AVDictionary* AMetadata, const std::string& AIndent) {
    TLines lines;
    AppendMetadata(lines, AMetadata, AIndent);
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string FileInfoText(AVFormatContext* AContext) {
    AVFormatContext* ic = AContext;
    TLines lines;
    lines.push_back("File Name: " + (ic->url ? native_filename(ic->url) : std::string()));
    lines.push_back("Format Name: " + std::string(ic->iformat && ic->iformat->name ? ic->iformat->name : ""));
    if (ic->iformat && ic->iformat->long_name && *ic->iformat->long_name) {
        lines.push_back("Format Long Name: " + std::string(ic->iformat->long_name));
    }
    lines.push_back("File Size: " + FileSizeToStr(static_cast<uint64_t>(FileSizeOf(ic))));
    AppendMetadata(lines, ic->metadata, "");
    lines.push_back(DurationLine(ic));
    AppendChapters(lines, ic);
    std::vector<bool> shown(ic->nb_streams, false);
    AppendPrograms(lines, ic, shown);
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (!shown[i]) {
            AppendStream(lines, ic, i);
        }
    }
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\r\n";
    }
    return text;
}

std::string TCustomDecoder::GetFileInfoText() {
    if (!FFileHandle) {
        DoErrLog(AV_LOG_WARNING, "file not loaded.");
        return {};
    }
    return FileInfoText(FFileHandle);
}
