// The video rules that need no file: where a picture goes, how long it stays, how subtitles are coloured
// and blended, and the deinterlacer.
#include "engine/play/FFPlayVideo.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct RectCase {
    const char* name;
    int areaW, areaH, picW, picH;
    AVRational sar;
    float aspect;
    TDisplayRect expected;
};

void PrintTo(const RectCase& c, std::ostream* os) { *os << c.name; }

class DisplayRect : public ::testing::TestWithParam<RectCase> {};

TEST_P(DisplayRect, PlacesThePicture) {
    const RectCase& c = GetParam();
    EXPECT_EQ(display_rect_for_picture(0, 0, c.areaW, c.areaH, c.picW, c.picH, c.sar, c.aspect), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DisplayRect,
    ::testing::Values(
        // 16/15 x 720 / 576 is 1.3333334 as a float: exactly the 640x480 area.
        RectCase{"pal_sar_fills_4_3", 640, 480, 720, 576, {16, 15}, 0.0f, {0, 0, 640, 480}},
        // Fill the area (AspectRatio -1): 500/300 as a float gives 499, made even.
        RectCase{"fill_500x300", 500, 300, 320, 240, {1, 1}, 500.0f / 300.0f, {1, 0, 498, 300}},
        RectCase{"aspect_2_in_640x480", 640, 480, 320, 240, {1, 1}, 2.0f, {0, 80, 640, 320}},
        // No sample aspect: square pixels. A 4:3 picture in a wide area is centred with side borders.
        RectCase{"square_pixels_pillarbox", 500, 300, 320, 240, {0, 1}, 0.0f, {50, 0, 400, 300}},
        // Too wide for the height: the width is the area's (not made even), the height follows, even.
        RectCase{"letterbox_odd_width", 301, 400, 320, 240, {1, 1}, 0.0f, {0, 88, 301, 224}},
        // A rectangle never has a side of 0.
        RectCase{"zero_area", 0, 0, 320, 240, {1, 1}, 0.0f, {0, 0, 1, 1}}),
    [](const ::testing::TestParamInfo<RectCase>& info) { return info.param.name; });

TEST(DisplayRectRules, AreaOffsetMovesTheRectangle) {
    EXPECT_EQ(display_rect_for_picture(10, 20, 500, 300, 320, 240, {1, 1}, 0.0f),
              (TDisplayRect{60, 20, 400, 300}));
}

TEST(DisplayRectRules, OutputAspect) {
    EXPECT_FLOAT_EQ(output_aspect(-1.0f, 500, 300), 500.0f / 300.0f);
    EXPECT_EQ(output_aspect(-1.0f, 0, 300), 0.0f);
    EXPECT_EQ(output_aspect(0.0f, 500, 300), 0.0f);
    EXPECT_EQ(output_aspect(2.0f, 500, 300), 2.0f);
}

TEST(DisplayRectRules, DefaultWindowSizeFollowsThePictureAspect) {
    int w = 0;
    int h = 0;
    default_window_size(720, 576, {16, 15}, w, h);
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 576);
    default_window_size(641, 481, {1, 1}, w, h);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(h, 480);
}

TEST(DisplayRectRules, BordersSurroundTheInnerRectangle) {
    const TBorderRects b = border_rects(0, 0, 500, 300, TDisplayRect{50, 0, 400, 300});
    EXPECT_EQ(b.r[0], (TDisplayRect{0, 0, 50, 300}));
    EXPECT_EQ(b.r[1], (TDisplayRect{450, 0, 50, 300}));
    EXPECT_EQ(b.r[2], (TDisplayRect{50, 0, 400, 0}));
    EXPECT_EQ(b.r[3], (TDisplayRect{50, 300, 400, 0}));
    const TBorderRects v = border_rects(0, 0, 300, 400, TDisplayRect{0, 88, 300, 224});
    EXPECT_EQ(v.r[0].w, 0);
    EXPECT_EQ(v.r[1].w, 0);
    EXPECT_EQ(v.r[2], (TDisplayRect{0, 0, 300, 88}));
    EXPECT_EQ(v.r[3], (TDisplayRect{0, 312, 300, 88}));
}

struct DelayCase {
    const char* name;
    double delay;
    TSyncFacts facts;
    double expected;
};

void PrintTo(const DelayCase& c, std::ostream* os) { *os << c.name; }

TSyncFacts AudioMaster(double ADiff) {
    TSyncFacts f;
    f.Diff = ADiff;
    return f;
}

TSyncFacts External(double ADiff, double ASpeed) {
    TSyncFacts f;
    f.ExternalMaster = true;
    f.ExternalSpeed = ASpeed;
    f.Diff = ADiff;
    return f;
}

class TargetDelay : public ::testing::TestWithParam<DelayCase> {};

TEST_P(TargetDelay, CorrectsTheDelay) {
    const DelayCase& c = GetParam();
    EXPECT_NEAR(compute_target_delay(c.delay, c.facts), c.expected, 1e-9);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TargetDelay,
    ::testing::Values(DelayCase{"video_behind_shows_at_once", 0.04, AudioMaster(-0.05), 0.0},
                      DelayCase{"video_ahead_doubles", 0.04, AudioMaster(0.05), 0.08},
                      DelayCase{"long_picture_ahead_adds_the_difference", 0.2, AudioMaster(0.3), 0.5},
                      DelayCase{"exactly_the_threshold_counts", 0.04, AudioMaster(-0.04), 0.0},
                      DelayCase{"within_the_threshold_unchanged", 0.04, AudioMaster(0.02), 0.04},
                      DelayCase{"slightly_behind_shortens", 0.2, AudioMaster(-0.15), 0.05},
                      DelayCase{"no_clock_value_unchanged", 0.04, AudioMaster(NAN), 0.04},
                      DelayCase{"beyond_max_frame_duration_unchanged", 0.04, AudioMaster(4000.0), 0.04},
                      DelayCase{"external_master_slow_divides", 0.04, External(0.05, 0.5), 0.08},
                      DelayCase{"external_master_normal_speed_doubles", 0.04, External(0.05, 1.0), 0.08},
                      DelayCase{"external_master_fast_divides", 0.04, External(0.05, 2.0), 0.02},
                      DelayCase{"video_master_unchanged", 0.04, TSyncFacts{true, false, 1.0, 5.0, 3600.0},
                                0.04}),
    [](const ::testing::TestParamInfo<DelayCase>& info) { return info.param.name; });

TEST(PictureDuration, FromTheNextPictureOrItsOwn) {
    TVideoPicture a;
    TVideoPicture b;
    a.pts = 1.0;
    a.duration = 0.04;
    a.serial = b.serial = 3;
    b.pts = 1.1;
    EXPECT_NEAR(compute_picture_duration(a, b, 3600.0), 0.1, 1e-9);
    // A jump beyond the longest picture, a step back or no time: the picture's own duration.
    b.pts = 20.0;
    EXPECT_NEAR(compute_picture_duration(a, b, 10.0), 0.04, 1e-9);
    b.pts = 0.5;
    EXPECT_NEAR(compute_picture_duration(a, b, 3600.0), 0.04, 1e-9);
    b.pts = NAN;
    EXPECT_NEAR(compute_picture_duration(a, b, 3600.0), 0.04, 1e-9);
    // Another run (a seek between them): nothing.
    b.pts = 1.1;
    b.serial = 4;
    EXPECT_EQ(compute_picture_duration(a, b, 3600.0), 0.0);
}

struct PaletteCase {
    uint32_t rgba;
    uint32_t ayuv;
};

TEST(SubtitlePalette, StudioRangeBT601WithAlphaKept) {
    const PaletteCase cases[] = {
        {0xFFFFFFFFu, 0xFFEB8080u},  // white: Y 235, U 128, V 128
        {0xFFFF0000u, 0xFF515AF0u},  // red: Y 81, U 90, V 240
        {0xFF000000u, 0xFF108080u},  // black: Y 16, U 128, V 128
        {0x80000000u, 0x80108080u},  // half-transparent black
        {0x0000FF00u, 0x00913622u},  // green, transparent: Y 145, U 54, V 34
    };
    for (const PaletteCase& c : cases) {
        EXPECT_EQ(subtitle_palette_entry(c.rgba), c.ayuv) << std::hex << c.rgba;
    }
}

// A YUV420P picture of W x H filled with one value per plane.
struct Picture {
    Picture(int AW, int AH, uint8_t AY, uint8_t AU, uint8_t AV)
        : w(AW),
          h(AH),
          y(static_cast<size_t>(AW * AH), AY),
          u(static_cast<size_t>(AW * AH / 4), AU),
          v(static_cast<size_t>(AW * AH / 4), AV) {}
    uint8_t* data[3] = {};
    int linesize[3] = {};
    void Bind() {
        data[0] = y.data();
        data[1] = u.data();
        data[2] = v.data();
        linesize[0] = w;
        linesize[1] = w / 2;
        linesize[2] = w / 2;
    }
    int w;
    int h;
    std::vector<uint8_t> y, u, v;
};

// A subtitle rectangle of one palette entry everywhere.
struct SubRect {
    SubRect(int x, int y, int w, int h, uint32_t AEntry) : indices(static_cast<size_t>(w * h), 0) {
        palette[0] = AEntry;
        rect.x = x;
        rect.y = y;
        rect.w = w;
        rect.h = h;
        rect.nb_colors = 1;
        rect.data[0] = indices.data();
        rect.data[1] = reinterpret_cast<uint8_t*>(palette);
        rect.linesize[0] = w;
    }
    std::vector<uint8_t> indices;
    uint32_t palette[4] = {};
    AVSubtitleRect rect{};
};

TEST(SubtitleBlend, OpaqueCoversTransparentKeeps) {
    Picture pic(16, 16, 16, 128, 128);
    pic.Bind();
    SubRect opaque(4, 4, 4, 4, 0xFFEB8080u);  // opaque white
    blend_subtitle_rect(pic.data, pic.linesize, opaque.rect, 16, 16);
    EXPECT_EQ(pic.y[5 * 16 + 5], 235);
    EXPECT_EQ(pic.y[3 * 16 + 3], 16);  // outside
    EXPECT_EQ(pic.y[8 * 16 + 8], 16);
    SubRect clear(8, 8, 4, 4, 0x00EB8080u);
    blend_subtitle_rect(pic.data, pic.linesize, clear.rect, 16, 16);
    EXPECT_EQ(pic.y[9 * 16 + 9], 16);
}

TEST(SubtitleBlend, HalfAlphaMixesLumaAndChroma) {
    Picture pic(8, 8, 16, 128, 128);
    pic.Bind();
    SubRect red(0, 0, 8, 8, 0x80515AF0u);  // red at alpha 128
    blend_subtitle_rect(pic.data, pic.linesize, red.rect, 8, 8);
    EXPECT_EQ(pic.y[0], (127 * 16 + 128 * 81) / 255);
    // Each chroma sample covers four pixels: alpha (4 x 128) >> 2.
    EXPECT_EQ(pic.u[0], (4 * 127 * 128 + 128 * 4 * 90) / 1020);
    EXPECT_EQ(pic.v[0], (4 * 127 * 128 + 128 * 4 * 240) / 1020);
}

TEST(SubtitleBlend, OddPlacementBlendsEdgeChromaOnceAndClips) {
    Picture pic(8, 8, 16, 128, 128);
    pic.Bind();
    // One opaque pixel at (1, 1): its chroma sample covers it alone, alpha 255 >> 2.
    SubRect dot(1, 1, 1, 1, 0xFF515AF0u);
    blend_subtitle_rect(pic.data, pic.linesize, dot.rect, 8, 8);
    EXPECT_EQ(pic.y[1 * 8 + 1], 81);
    EXPECT_EQ(pic.u[0], (192 * 128 + 63 * 90) / 255);
    // A rectangle larger than the picture is held inside it.
    SubRect big(-5, -5, 20, 20, 0xFFEB8080u);
    blend_subtitle_rect(pic.data, pic.linesize, big.rect, 8, 8);
    for (const uint8_t value : pic.y) {
        EXPECT_EQ(value, 235);
    }
}

TEST(RightColumn, CopiesTheLastVisiblePixelWhereThePitchIsWider) {
    std::vector<uint8_t> y(6 * 4, 0);
    std::vector<uint8_t> u(3 * 2, 0);
    std::vector<uint8_t> v(2 * 2, 0);
    for (int row = 0; row < 4; ++row) {
        y[static_cast<size_t>(row * 6 + 3)] = static_cast<uint8_t>(10 + row);
    }
    u[1] = 7;
    uint8_t* planes[3] = {y.data(), u.data(), v.data()};
    const int pitches[3] = {6, 3, 2};
    duplicate_right_column(planes, pitches, 4, 4);
    for (int row = 0; row < 4; ++row) {
        EXPECT_EQ(y[static_cast<size_t>(row * 6 + 4)], 10 + row);
    }
    EXPECT_EQ(u[2], 7);
    EXPECT_EQ(v[2], 0);  // pitch equal to its width: left alone (the row after it starts there)
}

TEST(Deinterlace, RebuildsOddLinesFromTheirNeighbours) {
    // Even lines 100, odd lines 200: every rebuilt line sees 100 above and below.
    const int w = 4;
    const int h = 8;
    std::vector<uint8_t> src(static_cast<size_t>(w * h));
    for (int row = 0; row < h; ++row) {
        for (int x = 0; x < w; ++x) {
            src[static_cast<size_t>(row * w + x)] = row % 2 ? 200 : 100;
        }
    }
    std::vector<uint8_t> chroma(static_cast<size_t>(w * h / 4), 128);
    std::vector<uint8_t> dst(src.size());
    std::vector<uint8_t> dstU(chroma.size());
    std::vector<uint8_t> dstV(chroma.size());
    const uint8_t* in[3] = {src.data(), chroma.data(), chroma.data()};
    uint8_t* out[3] = {dst.data(), dstU.data(), dstV.data()};
    const int inLs[3] = {w, w / 2, w / 2};
    const int outLs[3] = {w, w / 2, w / 2};
    ASSERT_TRUE(deinterlace_yuv420p(out, outLs, in, inLs, w, h));
    EXPECT_EQ(dst[0], 100);
    // (-200 + 4x100 + 2x200 + 4x100 - 200) / 8 = 100
    EXPECT_EQ(dst[static_cast<size_t>(3 * w)], 100);
    EXPECT_EQ(dstU[0], 128);
    EXPECT_FALSE(deinterlace_yuv420p(out, outLs, in, inLs, w, 6));
}

}  // namespace
