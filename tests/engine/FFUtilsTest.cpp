#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "engine/base/FFUtils.h"
#include "engine/load/FFLoad.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TestEnv.h"

TEST(FFUtils, DurationTexts) {
    EXPECT_EQ(DurationToStr(AV_NOPTS_VALUE), "N/A");
    EXPECT_EQ(DurationToStr(3723004000), "01:02:03.009");
    EXPECT_EQ(DurationToStr(1000000), "00:00:01.005");
    EXPECT_EQ(DurationToStr(0), "00:00:00.005");
    enginetest::LoadPlayerLibraries();
    EXPECT_EQ(DurationToStr(90000, AVRational{1, 90000}), "00:00:01.005");
    EXPECT_EQ(DurationToStr(2000000, AVRational{1, 1000000}), "00:00:02.005");
    EXPECT_EQ(DurationToStr(AV_NOPTS_VALUE, AVRational{1, 90000}), "N/A");
}

TEST(FFUtils, FrameInterval) {
    EXPECT_EQ(GetFrameInterval(AVRational{30000, 1001}), 33366);
    EXPECT_EQ(GetFrameInterval(AVRational{0, 0}), 40000);
    EXPECT_EQ(GetFrameInterval(AVRational{25, 1}), 40000);
}

TEST(FFUtils, CodecNames) {
    enginetest::LoadPlayerLibraries();
    AVCodecContext* context = ff::avcodec_alloc_context3(nullptr);
    ASSERT_NE(context, nullptr);
    context->codec_id = AV_CODEC_ID_H264;
    EXPECT_EQ(GetCodecName(context, false), "h264(H.264 / AVC / MPEG-4 AVC / MPEG-4 part 10)");
    context->codec_id = AV_CODEC_ID_MPEG2TS;
    EXPECT_EQ(GetCodecName(context, false), "mpeg2ts");
    context->codec_id = AV_CODEC_ID_FIRST_UNKNOWN;  // no encoder or decoder
    context->codec_tag = MKTAG('X', 'V', 'I', 'D');
    EXPECT_EQ(GetCodecName(context, false), "XVID / 0x44495658");
    context->codec_tag = 0x01020304;
    EXPECT_EQ(GetCodecName(context, true), "0x1020304");
    ff::avcodec_free_context(&context);
}

TEST(FFUtils, MetaValues) {
    enginetest::LoadPlayerLibraries();
    AVDictionary* dict = nullptr;
    ff::av_dict_set(&dict, "Title", "Clip", 0);
    EXPECT_EQ(GetMetaValue(dict, "title", "none"), "Clip");
    EXPECT_EQ(GetMetaValue(dict, "tit", "none"), "none");
    EXPECT_EQ(GetMetaValue(nullptr, "title", "none"), "none");
    ff::av_dict_free(&dict);
}

TEST(FFUtils, Captions) {
    EXPECT_EQ(AVMediaTypeCaption(AVMEDIA_TYPE_SUBTITLE), "Subtitle");
    EXPECT_EQ(AVMediaTypeCaption(AVMEDIA_TYPE_UNKNOWN), "Unknown");
    EXPECT_EQ(AVMediaTypeCaption(9), "Unknown");
    EXPECT_EQ(AVPictureTypeCaption(AV_PICTURE_TYPE_I), "Intra");
    EXPECT_EQ(AVPictureTypeCaption(AV_PICTURE_TYPE_BI), "BI type");
    EXPECT_EQ(AVPictureTypeCaption(0), "Unknown");
    EXPECT_TRUE(isprint(uint8_t{32}));
    EXPECT_FALSE(isprint(uint8_t{127}));
}

TEST(FFUtils, UnixTimeConversions) {
    testsupport::ScopedEnv tz("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    EXPECT_EQ(DateTimeToUnix(kUnixDateDelta + 1.5), 129600);
    EXPECT_DOUBLE_EQ(UnixToDateTime(86400), kUnixDateDelta + 1);
    EXPECT_EQ(DateTimeToUnixEx(UnixToDateTimeEx(1234567890)), 1234567890);
    EXPECT_EQ(GetTimeZoneAbbreviation(), "UTC-01:00");
    testsupport::ScopedEnv utc("TZ", "UTC0");
    EXPECT_EQ(GetTimeZoneAbbreviation(), "UTC");
    testsupport::ScopedEnv west("TZ", "XST5:30");
    EXPECT_EQ(GetTimeZoneAbbreviation(), "UTC+05:30");
}

TEST(FFUtils, MixingUnsigned8) {
    uint8_t dst[] = {200, 100, 128, 0};
    const uint8_t src[] = {200, 100, 128, 0};
    MixAudioU8(src, dst, 4, 128);
    EXPECT_EQ(dst[0], 254);
    EXPECT_EQ(dst[1], 72);
    EXPECT_EQ(dst[2], 128);
    EXPECT_EQ(dst[3], 0);
    uint8_t half[] = {128};
    const uint8_t loud[] = {255};
    MixAudioU8(loud, half, 1, 64);  // (127 * 64 / 128) + 128 + 128 = 319 -> 191
    EXPECT_EQ(half[0], 191);
    uint8_t same[] = {17};
    MixAudioU8(loud, same, 1, 0);
    EXPECT_EQ(same[0], 17);
}

TEST(FFUtils, MixingSigned16And32) {
    std::vector<int16_t> dst16 = {0, 30000, -30000, 5};
    const std::vector<int16_t> src16 = {-3, 10000, -10000, 5};
    std::vector<int16_t> scaled = dst16;
    MixAudioS16(reinterpret_cast<const uint8_t*>(src16.data()), reinterpret_cast<uint8_t*>(scaled.data()), 8,
                64);
    EXPECT_EQ(scaled[0], -1);
    MixAudioS16(reinterpret_cast<const uint8_t*>(src16.data()), reinterpret_cast<uint8_t*>(dst16.data()), 8,
                128);
    EXPECT_EQ(dst16, (std::vector<int16_t>{-3, 32767, -32768, 10}));

    std::vector<int32_t> dst32 = {2000000000, -2000000000, 1};
    const std::vector<int32_t> src32 = {2000000000, -2000000000, -3};
    MixAudioS32(reinterpret_cast<const uint8_t*>(src32.data()), reinterpret_cast<uint8_t*>(dst32.data()), 12,
                128);
    EXPECT_EQ(dst32, (std::vector<int32_t>{INT32_MAX, INT32_MIN, -2}));
    // A length that is not a whole number of samples leaves the partial sample alone.
    std::vector<int32_t> partial = {1, 1};
    MixAudioS32(reinterpret_cast<const uint8_t*>(src32.data()), reinterpret_cast<uint8_t*>(partial.data()), 6,
                128);
    EXPECT_EQ(partial[1], 1);
}

namespace {

// A stand-in for FFmpeg's protocol list, for the registration walk that FFmpeg 5.1 no longer offers.
std::vector<TURLProtocol*> gProtocols;

TURLProtocol* NextProtocol(const TURLProtocol* APrev) {
    if (!APrev) {
        return gProtocols.empty() ? nullptr : gProtocols.front();
    }
    for (size_t i = 0; i + 1 < gProtocols.size(); ++i) {
        if (gProtocols[i] == APrev) {
            return gProtocols[i + 1];
        }
    }
    return nullptr;
}

int AddProtocol(TURLProtocol* AProtocol) {
    gProtocols.push_back(AProtocol);
    return 0;
}

}  // namespace

TEST(FFUtils, RegisterProtocolNeedsBothEntryPointsAndSkipsKnownNames) {
    enginetest::LoadPlayerLibraries();
    TURLProtocol file{"file"};
    TURLProtocol mine{"mine"};
    EXPECT_FALSE(RegisterProtocol(&mine));  // this FFmpeg has no protocol registration
    EXPECT_THROW(RegisterInputFormat(nullptr), std::logic_error);
    EXPECT_THROW(RegisterOutputFormat(nullptr), std::logic_error);

    gProtocols = {&file};
    ff::ffurl_protocol_next = NextProtocol;
    ff::ffurl_register_protocol = AddProtocol;
    EXPECT_TRUE(RegisterProtocol(&mine));
    TURLProtocol sameName{"mine"};
    EXPECT_TRUE(RegisterProtocol(&sameName));
    EXPECT_EQ(gProtocols, (std::vector<TURLProtocol*>{&file, &mine}));
    ff::ffurl_protocol_next = nullptr;
    ff::ffurl_register_protocol = nullptr;
}

TEST(FFUtils, IndexHelpers) {
    int64_t values[] = {5, 6, 7};
    EXPECT_EQ(PPtrIdx(values, 2), 7);
    EXPECT_EQ(PtrIdx(values, 1), &values[1]);
}
