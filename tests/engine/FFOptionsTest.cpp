#include <gtest/gtest.h>

#include <algorithm>

#include "engine/base/FFLog.h"
#include "engine/base/FFOptions.h"
#include "engine/load/FFLoad.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/Fixtures.h"

namespace {

std::string DictValue(const AVDictionary* ADict, const char* AKey) {
    const AVDictionaryEntry* entry = ff::av_dict_get(ADict, AKey, nullptr, 0);
    return entry ? entry->value : "<none>";
}

class FFOptionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        options.init_opts();
    }
    TFFOptions options;
};

}  // namespace

TEST_F(FFOptionsTest, OptionsRouteToTheLayerThatKnowsThem) {
    EXPECT_EQ(options.opt_default("threads", "auto"), 0);
    EXPECT_EQ(DictValue(options.codec_opts(), "threads"), "auto");
    EXPECT_EQ(DictValue(options.format_opts(), "threads"), "<none>");

    EXPECT_EQ(options.opt_default("probesize", "5000000"), 0);
    EXPECT_EQ(DictValue(options.format_opts(), "probesize"), "5000000");
    EXPECT_EQ(DictValue(options.codec_opts(), "probesize"), "<none>");

    EXPECT_EQ(options.opt_default("sws_flags", "bilinear"), 0);
    uint8_t* value = nullptr;
    ASSERT_GE(ff::av_opt_get(options.sws_opts(), "sws_flags", 0, &value), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(value)), Format("0x%08X", SWS_BILINEAR));
    ff::av_free(value);
    EXPECT_EQ(ff::av_dict_count(options.codec_opts()), 1);
    EXPECT_EQ(ff::av_dict_count(options.format_opts()), 1);

    EXPECT_EQ(options.opt_default("resampler", "soxr"), 0);
    EXPECT_EQ(DictValue(options.swr_opts(), "resampler"), "soxr");
}

TEST_F(FFOptionsTest, UnknownNameIsRefusedAndChangesNothing) {
    const int result = options.opt_default("no_such_option", "1");
    EXPECT_EQ(result, AVERROR_OPTION_NOT_FOUND);
    EXPECT_EQ(print_error("", result), "Option not found");
    EXPECT_EQ(options.codec_opts(), nullptr);
    EXPECT_EQ(options.format_opts(), nullptr);
    EXPECT_EQ(options.swr_opts(), nullptr);
}

TEST_F(FFOptionsTest, BadScalerOrResamplerValueIsReported) {
    EXPECT_LT(options.opt_default("sws_flags", "no_such_flag"), 0);
    EXPECT_EQ(GOptionError, "Error setting option \"sws_flags\"");
    GOptionError.clear();
    EXPECT_LT(options.opt_default("resampler", "no_such_resampler"), 0);
    EXPECT_EQ(GOptionError, "Error setting option \"resampler\"");
    EXPECT_EQ(options.swr_opts(), nullptr);
}

TEST_F(FFOptionsTest, FlagsValueIsAppendedOnlyWithASign) {
    EXPECT_EQ(options.opt_default("flags", "+gray"), 0);
    EXPECT_EQ(options.opt_default("flags", "+bitexact"), 0);
    EXPECT_EQ(DictValue(options.codec_opts(), "flags"), "+gray+bitexact");
    EXPECT_EQ(options.opt_default("flags", "-gray"), 0);
    EXPECT_EQ(DictValue(options.codec_opts(), "flags"), "+gray+bitexact-gray");
    EXPECT_EQ(options.opt_default("flags", "gray"), 0);
    EXPECT_EQ(DictValue(options.codec_opts(), "flags"), "gray");
    // A value that is not of the flags type is replaced even when it starts with a sign.
    EXPECT_EQ(options.opt_default("threads", "2"), 0);
    EXPECT_EQ(options.opt_default("threads", "+3"), 0);
    EXPECT_EQ(DictValue(options.codec_opts(), "threads"), "+3");
}

TEST_F(FFOptionsTest, OptionKnownToBothLayersGoesToBothAndIsLogged) {
    std::vector<std::string> lines;
    FFLogger().SetTriggerEventInMainThread(false);
    FFLogger().SetLogLevel(llVerbose);
    FFLogger().SetOnLog([&](TObject*, int, TLogLevel, const std::string& AMsg) { lines.push_back(AMsg); });
    EXPECT_EQ(options.opt_default("err_detect", "crccheck"), 0);
    FFLogger().SetOnLog(nullptr);
    FFLogger().SetLogLevel(llInfo);
    EXPECT_EQ(DictValue(options.codec_opts(), "err_detect"), "crccheck");
    EXPECT_EQ(DictValue(options.format_opts(), "err_detect"), "crccheck");
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "Routing option err_detect to both codec and muxer layer"),
        lines.end());
}

TEST_F(FFOptionsTest, DebugAlsoRaisesTheEngineLogLevel) {
    EXPECT_EQ(options.opt_default("debug", "mb_type"), 0);
    EXPECT_EQ(FFLogger().LogLevel(), llDebug);
    FFLogger().SetLogLevel(llInfo);
}

TEST_F(FFOptionsTest, StreamSpecifiersFilterPerStream) {
    EXPECT_EQ(options.opt_default("threads:v", "3"), 0);
    EXPECT_EQ(options.opt_default("ar:a", "8000"), 0);
    EXPECT_EQ(options.opt_default("vthreads", "5"), 0);  // the type prefix form
    EXPECT_EQ(DictValue(options.codec_opts(), "threads:v"), "3");

    AVFormatContext* context = nullptr;
    const std::string clip = testsupport::MakeClip(testsupport::Clip::VideoAudio).string();
    ASSERT_EQ(ff::avformat_open_input(&context, clip.c_str(), nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(context, nullptr), 0);
    AVDictionary** perStream = setup_find_stream_info_opts(context, options.codec_opts());
    ASSERT_NE(perStream, nullptr);
    for (unsigned i = 0; i < context->nb_streams; ++i) {
        const AVMediaType type = context->streams[i]->codecpar->codec_type;
        if (type == AVMEDIA_TYPE_VIDEO) {
            EXPECT_EQ(DictValue(perStream[i], "threads"), "5");  // the later entry wins
            EXPECT_EQ(DictValue(perStream[i], "ar"), "<none>");
        } else if (type == AVMEDIA_TYPE_AUDIO) {
            EXPECT_EQ(DictValue(perStream[i], "threads"), "<none>");
            EXPECT_EQ(DictValue(perStream[i], "ar"), "8000");
        }
        ff::av_dict_free(&perStream[i]);
    }
    ff::av_freep(&perStream);

    AVDictionary* bad = nullptr;
    ff::av_dict_set(&bad, "threads:zz", "1", 0);
    EXPECT_EQ(filter_codec_opts(bad, AV_CODEC_ID_H264, context, context->streams[0], nullptr), nullptr);
    ff::av_dict_free(&bad);
    ff::avformat_close_input(&context);
}

TEST(FFOptions, PrintErrorTexts) {
    EXPECT_EQ(print_error("clip.mp4", -2), "clip.mp4: No such file or directory");
    EXPECT_EQ(print_error("", -10060), "Connection timed out");
    EXPECT_EQ(print_error("", -12345), "Error number -12345 occurred");
    EXPECT_EQ(print_error("", AVERROR_EOF), "End of file");
    EXPECT_EQ(print_error("", AVERROR_INVALIDDATA), "Invalid data found when processing input");
    EXPECT_EQ(print_error("", -11004), "WSANO_DATA");
    EXPECT_EQ(print_error("", -22), "Invalid argument / Invalid data found when processing input");
}

TEST(FFOptions, WithoutLibrariesOptionsAreRefused) {
    FFLoader().Unload(CAllLibraries);
    TFFOptions options;
    EXPECT_LT(options.opt_default("threads", "1"), 0);
    EXPECT_EQ(GOptionError, "Library avcodec not loaded.");
}
