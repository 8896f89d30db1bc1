// The display scaler writes exactly the pixels of its area, whatever the area's width: the surface around
// it (the rest of each line, and what follows the last line) stays as it was, and the last columns are
// converted like the others.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/load/FFAPI.h"
#include "engine/tools/DisplayScaler.h"
#include "tests/engine/EngineTestSupport.h"

extern "C" {
#include <libavutil/imgutils.h>
}

namespace {

constexpr uint8_t kUntouched = 0xAB;
constexpr int kGuardBytes = 64;

// A YUV 4:2:0 picture, its left half red and its right half blue.
struct HalvesPicture {
    HalvesPicture(int AWidth, int AHeight) {
        const int size = ff::av_image_get_buffer_size(AV_PIX_FMT_YUV420P, AWidth, AHeight, 1);
        bytes.assign(static_cast<size_t>(size), 0);
        ff::av_image_fill_arrays(picture.data, picture.linesize, bytes.data(), AV_PIX_FMT_YUV420P, AWidth,
                                 AHeight, 1);
        for (int y = 0; y < AHeight; ++y) {
            for (int x = 0; x < AWidth; ++x) {
                picture.data[0][y * picture.linesize[0] + x] = x < AWidth / 2 ? 81 : 41;
            }
        }
        for (int y = 0; y < (AHeight + 1) / 2; ++y) {
            for (int x = 0; x < (AWidth + 1) / 2; ++x) {
                const bool left = 2 * x < AWidth / 2;
                picture.data[1][y * picture.linesize[1] + x] = left ? 90 : 240;
                picture.data[2][y * picture.linesize[2] + x] = left ? 240 : 110;
            }
        }
    }
    std::vector<uint8_t> bytes;
    TAVPicture picture;
};

struct Case {
    int SourceWidth;
    int SourceHeight;
    int Width;
    int Height;
    bool TightPitch;  // the area fills the whole line, as when the picture spans the window
    AVPixelFormat Format;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.SourceWidth << "x" << c.SourceHeight << " to " << c.Width << "x" << c.Height
        << (c.TightPitch ? " tight" : " wide") << (c.Format == AV_PIX_FMT_RGB565 ? " 565" : " 32-bit");
}

// Red and blue channels of a pixel as 0..255.
void RedBlue(const uint8_t* APixel, AVPixelFormat AFormat, int& ARed, int& ABlue) {
    if (AFormat == AV_PIX_FMT_RGB565) {
        const int v = APixel[0] | (APixel[1] << 8);
        ARed = (v >> 11) << 3;
        ABlue = (v & 0x1F) << 3;
    } else {
        ARed = APixel[2];
        ABlue = APixel[0];
    }
}

class DisplayScalerTest : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

TEST_P(DisplayScalerTest, WritesExactlyItsAreaAndEveryColumnOfIt) {
    const Case& c = GetParam();
    const int bytesPerPixel = c.Format == AV_PIX_FMT_RGB565 ? 2 : 4;
    const int pitch = (c.Width + (c.TightPitch ? 0 : 16)) * bytesPerPixel;
    std::vector<uint8_t> surface(static_cast<size_t>(pitch) * c.Height + kGuardBytes, kUntouched);
    HalvesPicture source(c.SourceWidth, c.SourceHeight);
    TDisplayScaler scaler;
    ASSERT_TRUE(scaler.Draw(source.picture, c.SourceWidth, c.SourceHeight,
                            {surface.data(), pitch, c.Width, c.Height, bytesPerPixel, c.Format}));
    for (int y = 0; y < c.Height; ++y) {
        const uint8_t* row = surface.data() + static_cast<ptrdiff_t>(y) * pitch;
        for (int x = 0; x < c.Width; ++x) {
            int red = 0;
            int blue = 0;
            RedBlue(row + x * bytesPerPixel, c.Format, red, blue);
            // Far enough from the halves' boundary, the pixel is its half's colour.
            const int border = 4 + 2 * ((c.Width + c.SourceWidth - 1) / c.SourceWidth);
            if (x < c.Width / 2 - border) {
                ASSERT_TRUE(red > 200 && blue < 40) << x << "," << y << ": red " << red << " blue " << blue;
            } else if (x >= c.Width / 2 + border) {
                ASSERT_TRUE(blue > 200 && red < 40) << x << "," << y << ": red " << red << " blue " << blue;
            }
        }
        for (int b = c.Width * bytesPerPixel; b < pitch; ++b) {
            ASSERT_EQ(row[b], kUntouched) << "byte " << b << " of line " << y << ", right of the area";
        }
    }
    for (size_t b = static_cast<size_t>(pitch) * c.Height; b < surface.size(); ++b) {
        ASSERT_EQ(surface[b], kUntouched) << "byte " << b << ", after the last line";
    }
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    // At its own size, and scaled down and up, every width from 1 to 17 and a few large ones, with an
    // odd and an even height.
    for (int width = 1; width <= 17; ++width) {
        for (const bool tight : {true, false}) {
            cases.push_back({width, 10, width, 10, tight, AV_PIX_FMT_BGR0});
            cases.push_back({64, 48, width, 9, tight, AV_PIX_FMT_BGR0});
        }
    }
    for (const int width : {331, 854, 1918}) {
        for (const bool tight : {true, false}) {
            cases.push_back({width, 36, width, 36, tight, AV_PIX_FMT_BGR0});
            cases.push_back({640, 36, width, 37, tight, AV_PIX_FMT_BGR0});
        }
    }
    // A 16-bit surface.
    cases.push_back({331, 20, 331, 20, true, AV_PIX_FMT_RGB565});
    cases.push_back({640, 20, 333, 21, true, AV_PIX_FMT_RGB565});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Areas, DisplayScalerTest, ::testing::ValuesIn(Cases()));

}  // namespace
