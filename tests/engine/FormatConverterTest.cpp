#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "engine/load/FFAPI.h"
#include "engine/tools/FormatConverter.h"
#include "tests/engine/EngineTestSupport.h"

namespace {

// A picture that owns its pixels, laid out as FFmpeg lays out a buffer of that format (align 1).
struct OwnedPicture {
    OwnedPicture(AVPixelFormat AFormat, int AWidth, int AHeight) {
        const int size = ff::av_image_get_buffer_size(AFormat, AWidth, AHeight, 1);
        bytes.assign(static_cast<size_t>(size), 0);
        ff::av_image_fill_arrays(picture.data, picture.linesize, bytes.data(), AFormat, AWidth, AHeight, 1);
    }
    std::vector<uint8_t> bytes;
    TAVPicture picture;
};

// Colours as 0xRRGGBB.
constexpr uint32_t kRed = 0xFF0000;
constexpr uint32_t kGreen = 0x00FF00;
constexpr uint32_t kBlue = 0x0000FF;
constexpr uint32_t kWhite = 0xFFFFFF;

// Four quadrants: red, green / blue, white.
uint32_t QuadrantColour(int x, int y, int width, int height) {
    const bool right = x >= width / 2;
    const bool bottom = y >= height / 2;
    return bottom ? (right ? kWhite : kBlue) : (right ? kGreen : kRed);
}

void FillBGRA(TAVPicture& APicture, int AWidth, int AHeight) {
    for (int y = 0; y < AHeight; ++y) {
        uint8_t* row = APicture.data[0] + y * APicture.linesize[0];
        for (int x = 0; x < AWidth; ++x) {
            const uint32_t c = QuadrantColour(x, y, AWidth, AHeight);
            row[x * 4 + 0] = c & 0xFF;
            row[x * 4 + 1] = (c >> 8) & 0xFF;
            row[x * 4 + 2] = (c >> 16) & 0xFF;
            row[x * 4 + 3] = 0xFF;
        }
    }
}

uint32_t BitmapColour32(TBitmap& ABitmap, int x, int y) {
    const uint8_t* p = ABitmap.ScanLine(y) + x * 4;
    return (uint32_t{p[2]} << 16) | (uint32_t{p[1]} << 8) | p[0];
}

bool Near(uint32_t a, uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) >
            tolerance) {
            return false;
        }
    }
    return true;
}

class FormatConverterTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

}  // namespace

TEST_F(FormatConverterTest, EvenBGRAPictureIsUsedInPlaceAndDrawingGoesStraightBack) {
    OwnedPicture source(AV_PIX_FMT_BGRA, 8, 6);
    FillBGRA(source.picture, 8, 6);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 8, 6));
    ASSERT_NE(converter.RGBPictureRef(), nullptr);
    EXPECT_EQ(converter.RGBPictureRef()->data[0], source.picture.data[0]);
    EXPECT_EQ(converter.RGBBufSize(), 0);
    EXPECT_EQ(converter.DIB()->bmBits, source.picture.data[0]);
    EXPECT_EQ(converter.DIB()->bmWidthBytes, 32);
    EXPECT_EQ(BitmapColour32(converter.Bitmap(), 0, 0), kRed);
    EXPECT_EQ(BitmapColour32(converter.Bitmap(), 7, 5), kWhite);

    // The application draws a blue pixel on the bitmap; it lands in the caller's own picture.
    uint8_t* pixel = converter.Bitmap().ScanLine(1) + 2 * 4;
    pixel[0] = 0xFF;
    pixel[1] = 0;
    pixel[2] = 0;
    converter.BitmapToRGB();
    const uint8_t* target = source.picture.data[0] + source.picture.linesize[0] + 2 * 4;
    EXPECT_EQ(target[0], 0xFF);
    EXPECT_EQ(target[1], 0);
    EXPECT_EQ(target[2], 0);
}

TEST_F(FormatConverterTest, BufferIsSizedForTheLargestPictureAndNeverShrinks) {
    OwnedPicture big(AV_PIX_FMT_YUV420P, 640, 360);
    OwnedPicture small(AV_PIX_FMT_YUV420P, 320, 240);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToRGB(big.picture, AV_PIX_FMT_YUV420P, 640, 360));
    EXPECT_EQ(converter.RGBBufSize(), 921600);
    uint8_t* const buffer = converter.RGBPicture()->data[0];
    ASSERT_TRUE(converter.PictureToRGB(small.picture, AV_PIX_FMT_YUV420P, 320, 240));
    EXPECT_EQ(converter.RGBBufSize(), 921600);
    EXPECT_EQ(converter.RGBPicture()->data[0], buffer);
    EXPECT_EQ(converter.Bitmap().Width(), 320);
    EXPECT_EQ(converter.Bitmap().Height(), 240);
}

TEST_F(FormatConverterTest, OddSizedRGBPictureIsConverted) {
    OwnedPicture source(AV_PIX_FMT_BGRA, 7, 5);
    FillBGRA(source.picture, 7, 5);
    TFormatConverter converter;
    ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 7, 5));
    EXPECT_EQ(converter.RGBPictureRef(), converter.RGBPicture());
    EXPECT_NE(converter.RGBPictureRef()->data[0], source.picture.data[0]);
    EXPECT_EQ(BitmapColour32(converter.Bitmap(), 0, 0), kRed);
    EXPECT_EQ(BitmapColour32(converter.Bitmap(), 6, 4), kWhite);
}

// RGB -> YUV -> RGB keeps the colours, at even and odd sizes; the YUV side holds the known values of
// the standard-definition matrix.
TEST_F(FormatConverterTest, RoundTripThroughYUVKeepsKnownColours) {
    struct Case {
        AVPixelFormat Format;
        int Width;
        int Height;
    };
    // 72x48 and 70x48: an even height and a width that is no whole number of the vector conversion's
    // groups of pixels.
    for (const Case& c : {Case{AV_PIX_FMT_YUV444P, 33, 17}, Case{AV_PIX_FMT_YUV420P, 64, 48},
                          Case{AV_PIX_FMT_YUV420P, 65, 49}, Case{AV_PIX_FMT_YUV420P, 72, 48},
                          Case{AV_PIX_FMT_YUV420P, 70, 48}}) {
        SCOPED_TRACE(testing::Message() << c.Width << "x" << c.Height);
        OwnedPicture source(AV_PIX_FMT_BGRA, c.Width, c.Height);
        FillBGRA(source.picture, c.Width, c.Height);
        OwnedPicture yuv(c.Format, c.Width, c.Height);
        TFormatConverter converter;
        ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, c.Width, c.Height));
        ASSERT_TRUE(converter.RGBToPicture(yuv.picture, c.Format, c.Width, c.Height))
            << converter.LastErrMsg();
        // Red: Y 81, U 90, V 240; white: Y 235, U and V 128.
        const auto luma = [&](int x, int y) {
            return int{yuv.picture.data[0][y * yuv.picture.linesize[0] + x]};
        };
        EXPECT_NEAR(luma(1, 1), 81, 2);
        EXPECT_NEAR(luma(c.Width - 2, c.Height - 2), 235, 2);
        if (c.Format == AV_PIX_FMT_YUV444P) {
            EXPECT_NEAR(yuv.picture.data[1][yuv.picture.linesize[1] + 1], 90, 2);
            EXPECT_NEAR(yuv.picture.data[2][yuv.picture.linesize[2] + 1], 240, 2);
        }

        TFormatConverter back;
        ASSERT_TRUE(back.PictureToRGB(yuv.picture, c.Format, c.Width, c.Height));
        // The middle of each quadrant: at the edges subsampled chroma blends neighbours.
        const int left = c.Width / 4;
        const int right = c.Width * 3 / 4;
        const int top = c.Height / 4;
        const int bottom = c.Height * 3 / 4;
        // And the last column, where a width that is no whole number of groups ends. (At an odd width
        // the last chroma sample also takes in the pixel after the line, so it is left out there.)
        const int last = c.Width % 2 == 0 ? c.Width - 1 : right;
        for (const auto& [x, y] : {std::pair{left, top}, std::pair{right, top}, std::pair{left, bottom},
                                   std::pair{right, bottom}, std::pair{last, top}, std::pair{last, bottom}}) {
            const uint32_t want = QuadrantColour(x, y, c.Width, c.Height);
            EXPECT_TRUE(Near(BitmapColour32(back.Bitmap(), x, y), want, 6))
                << std::hex << BitmapColour32(back.Bitmap(), x, y) << " at " << std::dec << x << "," << y;
        }
    }
}

// Every bitmap depth holds the known colours in its own pixel layout, also at widths whose rows are
// padded in the bitmap but packed in the picture.
TEST_F(FormatConverterTest, BitmapDepthsHoldTheColoursInTheirLayout) {
    struct Case {
        int Bits;
        int ReadBits;
        std::vector<uint8_t> Red;
        std::vector<uint8_t> Blue;
    };
    const Case cases[] = {
        {15, 16, {0x00, 0x7C}, {0x1F, 0x00}},
        {16, 16, {0x00, 0xF8}, {0x1F, 0x00}},
        {24, 24, {0x00, 0x00, 0xFF}, {0xFF, 0x00, 0x00}},
        {32, 32, {0x00, 0x00, 0xFF, 0xFF}, {0xFF, 0x00, 0x00, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Bits);
        OwnedPicture source(AV_PIX_FMT_BGRA, 7, 6);
        FillBGRA(source.picture, 7, 6);
        TFormatConverter converter;
        converter.SetBitsPixel(c.Bits);
        EXPECT_EQ(converter.BitsPixel(), c.ReadBits);
        ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 7, 6));
        TBitmap& bitmap = converter.Bitmap();
        EXPECT_EQ(bitmap.BytesPerLine() % 4, 0);
        const size_t bytes = c.Red.size();
        const uint8_t* red = bitmap.ScanLine(0);
        const uint8_t* blue = bitmap.ScanLine(5);
        EXPECT_EQ(std::vector<uint8_t>(red, red + bytes), c.Red);
        EXPECT_EQ(std::vector<uint8_t>(blue, blue + bytes), c.Blue);

        // And back: the bitmap converts into a BGRA picture with the same colours.
        OwnedPicture out(AV_PIX_FMT_BGRA, 7, 6);
        converter.BitmapToRGB();
        ASSERT_TRUE(converter.RGBToPicture(out.picture, AV_PIX_FMT_BGRA, 7, 6));
        EXPECT_EQ(out.picture.data[0][2], 0xFF);                            // red's red byte in row 0
        EXPECT_EQ(out.picture.data[0][5 * out.picture.linesize[0]], 0xFF);  // blue's blue byte in row 5
    }
}

TEST_F(FormatConverterTest, PixelFormatSettings) {
    TFormatConverter converter;
    EXPECT_EQ(converter.BitsPixel(), 32);
    EXPECT_EQ(converter.BMPPixFmt(), pf32bit);
    converter.SetBitsPixel(15);
    EXPECT_EQ(converter.BitsPixel(), 16);
    EXPECT_EQ(converter.BMPPixFmt(), pf15bit);
    converter.SetBitsPixel(16);  // equal to what BitsPixel reads: nothing changes
    EXPECT_EQ(converter.BMPPixFmt(), pf15bit);
    EXPECT_EQ(converter.AVPixFmt(), AV_PIX_FMT_RGB555LE);
    converter.SetBMPPixFmt(pf24bit);
    EXPECT_EQ(converter.BitsPixel(), 24);
    EXPECT_EQ(converter.AVPixFmt(), AV_PIX_FMT_BGR24);
    EXPECT_EQ(converter.Bitmap().PixelFormat(), pf24bit);

    try {
        converter.SetBitsPixel(12);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid BitsPixel 12");
    }
    try {
        converter.SetBMPPixFmt(pf1bit);
        FAIL() << "no exception";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid PixelFormat 1");
    }
    EXPECT_EQ(converter.BitsPixel(), 24);
}

TEST_F(FormatConverterTest, BitmapOperationsNeedAnRGBPicture) {
    TFormatConverter converter;
    OwnedPicture out(AV_PIX_FMT_YUV420P, 8, 8);
    EXPECT_THROW(converter.RGBToBitmap(), std::logic_error);
    EXPECT_THROW(converter.BitmapToRGB(), std::logic_error);
    EXPECT_THROW(converter.RGBToPicture(out.picture, AV_PIX_FMT_YUV420P, 8, 8), std::logic_error);

    OwnedPicture source(AV_PIX_FMT_BGRA, 8, 8);
    ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 8, 8));
    converter.SetBitsPixel(24);  // a format change forgets the picture in use
    EXPECT_EQ(converter.RGBPictureRef(), nullptr);
    try {
        converter.RGBToBitmap();
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "Assertion failure");
    }
}

TEST_F(FormatConverterTest, ImpossibleConversionsFailWithTheirText) {
    TFormatConverter converter;
    OwnedPicture source(AV_PIX_FMT_BGRA, 8, 8);
    EXPECT_FALSE(converter.PictureToRGB(source.picture, AV_PIX_FMT_NONE, 9, 8));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the toRGB conversion context");
    EXPECT_EQ(converter.RGBPictureRef(), nullptr);
    EXPECT_FALSE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 0, 0));

    ASSERT_TRUE(converter.PictureToRGB(source.picture, AV_PIX_FMT_BGRA, 8, 8));
    OwnedPicture out(AV_PIX_FMT_YUV420P, 8, 8);
    EXPECT_FALSE(converter.RGBToPicture(out.picture, AV_PIX_FMT_NONE, 8, 8));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the fromRGB conversion context");
    // A hardware format that the scaler cannot write.
    EXPECT_FALSE(converter.RGBToPicture(out.picture, AV_PIX_FMT_VAAPI, 8, 8));
    EXPECT_EQ(converter.LastErrMsg(), "Cannot initialize the fromRGB conversion context");
}
