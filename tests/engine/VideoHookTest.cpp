#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "engine/load/FFAPI.h"
#include "engine/play/PlayEvent.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"

namespace {

struct OwnedPicture {
    OwnedPicture(AVPixelFormat AFormat, int AWidth, int AHeight, uint8_t AFill) {
        const int size = ff::av_image_get_buffer_size(AFormat, AWidth, AHeight, 1);
        bytes.assign(static_cast<size_t>(size), AFill);
        ff::av_image_fill_arrays(picture.data, picture.linesize, bytes.data(), AFormat, AWidth, AHeight, 1);
    }
    int Luma(int x, int y) const { return picture.data[0][y * picture.linesize[0] + x]; }
    std::vector<uint8_t> bytes;
    TAVPicture picture;
};

// Loads the libraries before any picture of the fixture is made.
struct LoadedLibraries {
    LoadedLibraries() { enginetest::LoadPlayerLibraries(); }
};

// A grey 64x48 picture whose handler paints the top-left 16x16 block white.
class VideoHookTest : public ::testing::Test {
protected:

    bool Run(const TVideoHookEvent& AHandler, AVPixelFormat ADestFormat = AV_PIX_FMT_YUV420P) {
        return DoVideoHook(converter, &sender, AHandler, source.picture, dest.picture, 2.5, 500000, 64, 48,
                           ADestFormat, AV_PIX_FMT_YUV420P);
    }

    static void PaintWhiteBlock(TObject* ABitmap) {
        auto* bitmap = dynamic_cast<TBitmap*>(ABitmap);
        ASSERT_NE(bitmap, nullptr);
        ASSERT_EQ(bitmap->PixelFormat(), pf32bit);
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16 * 4; ++x) {
                bitmap->ScanLine(y)[x] = 0xFF;
            }
        }
    }

    LoadedLibraries libraries;
    TObject sender;
    TFormatConverter converter;
    OwnedPicture source{AV_PIX_FMT_YUV420P, 64, 48, 128};
    OwnedPicture dest{AV_PIX_FMT_YUV420P, 64, 48, 0};
};

}  // namespace

TEST_F(VideoHookTest, DrawingOnTheBitmapLandsInThePicture) {
    int64_t seen = 0;
    bool locked = false;
    const bool filled = Run([&](TObject*, TObject* ABitmap, const int64_t& APTS, bool&) {
        seen = APTS;
        locked = !dynamic_cast<TBitmap*>(ABitmap)->try_lock();
        PaintWhiteBlock(ABitmap);
    });
    EXPECT_TRUE(filled);
    EXPECT_EQ(seen, 2000000);
    EXPECT_TRUE(locked);  // the drawing lock is held for the handler
    EXPECT_NEAR(dest.Luma(4, 4), 235, 3);
    EXPECT_NEAR(dest.Luma(40, 30), source.Luma(40, 30), 3);
}

TEST_F(VideoHookTest, HandlerThatKeepsThePictureOrFailsLeavesItAlone) {
    struct Case {
        const char* Name;
        TVideoHookEvent Handler;
        const char* Logged;
    };
    const Case cases[] = {
        {"handler clears AUpdate",
         [](TObject*, TObject* ABitmap, const int64_t&, bool& AUpdate) {
             PaintWhiteBlock(ABitmap);
             AUpdate = false;
         },
         nullptr},
        {"handler throws",
         [](TObject*, TObject* ABitmap, const int64_t&, bool&) {
             PaintWhiteBlock(ABitmap);
             throw std::runtime_error("drawing failed");
         },
         "Error occurs OnVideoHook: drawing failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        playertest::LogCapture log;
        EXPECT_FALSE(Run(c.Handler));
        EXPECT_EQ(dest.Luma(4, 4), 0);
        if (c.Logged) {
            EXPECT_TRUE(log.Contains(c.Logged)) << log.All();
        }
        EXPECT_TRUE(converter.Bitmap().try_lock());  // released on every way out
        converter.Bitmap().unlock();
    }
}

TEST_F(VideoHookTest, ConversionFailureIsLogged) {
    playertest::LogCapture log;
    bool called = false;
    EXPECT_FALSE(Run([&](TObject*, TObject*, const int64_t&, bool&) { called = true; }, AV_PIX_FMT_VAAPI));
    EXPECT_TRUE(called);
    EXPECT_TRUE(log.Contains("Cannot initialize the fromRGB conversion context")) << log.All();
}

TEST_F(VideoHookTest, FrameHookGetsThePlanesAndItsExceptionsAreLogged) {
    playertest::LogCapture log;
    const uint8_t* plane = nullptr;
    int64_t seen = 0;
    DoFrameHook(
        &sender,
        [&](TObject*, uint8_t* const AData[4], const int[4], AVPixelFormat AFormat, int AWidth, int,
            const int64_t& APTS) {
            plane = AData[0];
            seen = APTS;
            EXPECT_EQ(AFormat, AV_PIX_FMT_YUV420P);
            EXPECT_EQ(AWidth, 64);
            throw std::runtime_error("frame handler broke");
        },
        source.picture, AV_PIX_FMT_YUV420P, 64, 48, 1.0, 0);
    EXPECT_EQ(plane, source.picture.data[0]);
    EXPECT_EQ(seen, 1000000);
    EXPECT_TRUE(log.Contains("Error occurs OnFrameHook: frame handler broke"));
}
