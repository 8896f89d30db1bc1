#include "engine/FrameDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"

namespace {

// 2 s of 64x48 pictures at 25 fps whose red level is 5 x the frame number, a key frame every 10 frames.
std::string NumberedFrames() {
    return testsupport::MakeFixture(
               "h19_numbered_frames_g10.mkv",
               {"-f", "lavfi", "-i",
                "color=c=black:s=64x48:r=25:d=2,format=rgb24,geq=r='5*N':g='128':b='255-5*N'", "-c:v",
                "mpeg4", "-q:v", "2", "-g", "10", "-bf", "0", "-sc_threshold", "1000000000", "-pix_fmt",
                "yuv420p", "{out}"})
        .string();
}

// 1 s of a 441 Hz sine in 48 kHz stereo AAC (float planar once decoded).
std::string Aac48k() {
    return testsupport::MakeFixture("h19_sine_48k.mp4",
                                    {"-f", "lavfi", "-i", "sine=frequency=441:sample_rate=48000:duration=1",
                                     "-ac", "2", "-c:a", "aac", "{out}"})
        .string();
}

class FrameDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

// The red level of the picture's centre through the decoder's own bitmap copy.
int CentreRed(TFFDecoder& d) {
    TBitmap bitmap;
    EXPECT_TRUE(d.CopyToBitmap(bitmap)) << d.LastErrMsg();
    EXPECT_EQ(bitmap.Width(), 64);
    EXPECT_EQ(bitmap.Height(), 48);
    if (bitmap.Height() != 48) {
        return -1;
    }
    EXPECT_EQ(bitmap.PixelFormat(), pf32bit);
    return bitmap.ScanLine(24)[32 * 4 + 2];  // B, G, R, A
}

void ExpectPictureOfFrame(TFFDecoder& d, int AFrame) {
    EXPECT_EQ(d.FrameInfo().PTS, AFrame * 40000);
    EXPECT_NEAR(CentreRed(d), 5 * AFrame, 4) << "frame " << AFrame;
}

TEST_F(FrameDecoderTest, PicturesComeInOrderWithTheirTimesAndColoursUntilTheEnd) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames())) << d.LastErrMsg();
    playertest::LogCapture log;
    int count = 0;
    while (d.Decode()) {
        ASSERT_TRUE(d.FrameInfo().Ready);
        EXPECT_EQ(d.FrameInfo().Width, 64);
        EXPECT_EQ(d.FrameInfo().IsKeyFrame, count % 10 == 0) << count;
        ExpectPictureOfFrame(d, count);
        ++count;
        ASSERT_LE(count, 60);
    }
    EXPECT_EQ(count, 50);  // every picture, the ones the decoder still held at the end included
    EXPECT_TRUE(d.IsEOF());
    EXPECT_TRUE(log.Contains("TFFDecoder.Decode() for video: stream eof reached.")) << log.All();
    EXPECT_FALSE(d.Decode());

    // A seek clears the end of stream.
    ASSERT_TRUE(d.Seek(0));
    EXPECT_FALSE(d.IsEOF());
    ASSERT_TRUE(d.Decode());
    ExpectPictureOfFrame(d, 0);
}

TEST_F(FrameDecoderTest, SeekingLandsOnAKeyFrameAndDecodingGoesOnFromThere) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    ASSERT_TRUE(d.Decode());
    ASSERT_TRUE(d.Seek(1200000));
    EXPECT_FALSE(d.FrameInfo().Ready);
    ASSERT_TRUE(d.Decode());
    ExpectPictureOfFrame(d, 30);
    ASSERT_TRUE(d.Decode());
    ExpectPictureOfFrame(d, 31);

    ASSERT_TRUE(d.Seek(400000, {sfBackward}));
    ASSERT_TRUE(d.Decode());
    ExpectPictureOfFrame(d, 10);
}

TEST_F(FrameDecoderTest, SteppingToKeyFramesAndToThePreviousFrame) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    ASSERT_TRUE(d.Seek(1200000));
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(d.Decode());
    }
    ExpectPictureOfFrame(d, 33);

    ASSERT_TRUE(d.DecodePreviousFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 32);

    ASSERT_TRUE(d.DecodePreviousKeyFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 30);
    EXPECT_TRUE(d.FrameInfo().IsKeyFrame);

    ASSERT_TRUE(d.DecodePreviousKeyFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 20);

    ASSERT_TRUE(d.DecodeNextKeyFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 30);

    // The previous frame of a key frame lies before that key frame.
    ASSERT_TRUE(d.DecodePreviousFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 29);
}

TEST_F(FrameDecoderTest, SteppingBackNearTheStartStopsAtTheFirstPicture) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(d.Decode());
    }
    ASSERT_TRUE(d.DecodePreviousKeyFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 0);
    ASSERT_TRUE(d.DecodePreviousFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 0);
    ASSERT_TRUE(d.DecodeNextKeyFrame()) << d.LastErrMsg();
    ExpectPictureOfFrame(d, 10);
}

TEST_F(FrameDecoderTest, DeinterlacingKeepsAFlatPictureAndSwitchesItselfOffWhereItCannotWork) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    d.Deinterlace = true;
    ASSERT_TRUE(d.Decode());
    EXPECT_TRUE(d.Deinterlace);
    ExpectPictureOfFrame(d, 0);

    const auto yuv444 =
        testsupport::MakeFixture("h19_yuv444.mkv", {"-f", "lavfi", "-i", "color=c=red:s=64x48:r=25:d=0.2",
                                                    "-c:v", "ffv1", "-pix_fmt", "yuv444p", "{out}"});
    ASSERT_TRUE(d.LoadFile(yuv444.string()));
    ASSERT_TRUE(d.Decode());
    EXPECT_FALSE(d.Deinterlace);
    EXPECT_EQ(d.LastErrMsg(), "deinterlacing failed.");
    EXPECT_TRUE(d.FrameInfo().Ready);  // the picture is kept as decoded
    EXPECT_GT(CentreRed(d), 200);
}

TEST_F(FrameDecoderTest, ThePictureConvertsToEveryBitmapDepth) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    EXPECT_EQ(d.GetBitmapPtr(), nullptr);
    EXPECT_EQ(d.LastErrMsg(), "picture not ready, please decode first");
    ASSERT_TRUE(d.Decode());
    for (const int bits : {8, 16, 24, 32}) {
        d.SetBitmapBitsPixel(bits);
        const TDIB* dib = d.GetBitmapPtr();
        ASSERT_NE(dib, nullptr) << bits;
        EXPECT_EQ(dib->bmWidth, 64);
        EXPECT_EQ(dib->bmHeight, 48);
        EXPECT_EQ(dib->bmBitsPixel, bits);
    }
}

TEST_F(FrameDecoderTest, AStillImageSequenceCannotBeSeekedAndKeepsItsPicture) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(testsupport::MakeClip(testsupport::Clip::PngSequence).string(), "image2"))
        << d.LastErrMsg();
    EXPECT_FALSE(d.Seek(0));
    EXPECT_EQ(d.LastErrMsg(), "\"image2\" format cannot to be seeked.");
    ASSERT_TRUE(d.Decode());
    const int64_t pts = d.FrameInfo().PTS;
    const int64_t position = d.FrameInfo().Position;
    ASSERT_TRUE(d.Decode());
    EXPECT_EQ(d.FrameInfo().PTS, pts);
    EXPECT_EQ(d.FrameInfo().Position, position);
}

TEST_F(FrameDecoderTest, AnAdoptedFileIsNeverDecodedOrSeeked) {
    TCustomDecoder owner;
    ASSERT_TRUE(owner.LoadFile(NumberedFrames()));
    TFFDecoder d;
    d.SetFileHandle(owner.FileHandle());
    const std::vector<std::function<void()>> calls = {[&] { d.Decode(); }, [&] { d.Decode(dtBoth); },
                                                      [&] { d.DecodeAudio(); }, [&] { d.Seek(0); },
                                                      [&] { d.DecodeNextKeyFrame(); }};
    for (const auto& call : calls) {
        try {
            call();
            ADD_FAILURE() << "no exception";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "file cannot be seeked, handle is readonly.");
        }
    }
    d.SetFileHandle(nullptr);
    EXPECT_FALSE(d.Decode());
    EXPECT_EQ(d.LastErrMsg(), "file not loaded.");
}

TEST_F(FrameDecoderTest, WrongStreamsAreRefusedWithTheirReason) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames()));
    EXPECT_FALSE(d.DecodeAudio());
    EXPECT_EQ(d.LastErrMsg(), "no audio stream.");
    EXPECT_EQ(d.ReadAudio(nullptr, 10), -1);
    EXPECT_FALSE(d.Decode(3));
    EXPECT_EQ(d.LastErrMsg(), "stream index #3 is invalid.");
    EXPECT_EQ(d.Decode(dtAudio), drError);
}

TEST_F(FrameDecoderTest, FloatPlanarAudioIsDeliveredAsStereoSixteenBitAt44100) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(Aac48k())) << d.LastErrMsg();
    playertest::LogCapture log;
    int64_t bytes = 0;
    int blocks = 0;
    int64_t lastPTS = -1;
    while (d.DecodeAudio()) {
        const TWaveInfo& wave = d.WaveInfo();
        ASSERT_TRUE(wave.Ready);
        EXPECT_EQ(wave.SampleRate, 44100);
        EXPECT_EQ(wave.Channels, 2);
        EXPECT_EQ(wave.BytesPerSample, 2);
        EXPECT_EQ(wave.Size % 4, 0);
        EXPECT_GT(wave.PTS, lastPTS);
        lastPTS = wave.PTS;
        bytes += wave.Size;
        ++blocks;
        ASSERT_LT(blocks, 1000);
    }
    EXPECT_TRUE(d.IsEOF());
    // One second, give or take the encoder's priming and the resampler's delay.
    EXPECT_NEAR(static_cast<double>(bytes), 44100.0 * 4, 4096.0 * 4);
    EXPECT_EQ(log.Count("need resample 48000 Hz fltp 2 channels to 44100 Hz s16 2 channels"), 1) << log.All();
}

TEST_F(FrameDecoderTest, ReadAudioHandsOutTheBlockInPiecesAndAnswersSizeQueries) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(Aac48k()));
    const int available = d.ReadAudio(nullptr, 1 << 20);
    ASSERT_GT(available, 0);
    EXPECT_EQ(d.ReadAudio(nullptr, 1 << 20), available);  // nothing consumed
    std::vector<uint8_t> block(static_cast<size_t>(available));
    ASSERT_EQ(d.ReadAudio(block.data(), 10), 10);
    EXPECT_EQ(d.ReadAudio(nullptr, 1 << 20), available - 10);
    ASSERT_EQ(d.ReadAudio(block.data() + 10, available), available - 10);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), d.WaveInfo().Buffer));
    EXPECT_GT(d.ReadAudio(nullptr, 1 << 20), 0);  // the next block

    // A seek drops what was left of the block.
    ASSERT_TRUE(d.Seek(500000));
    EXPECT_GT(d.ReadAudio(block.data(), 4), 0);
    EXPECT_GE(d.WaveInfo().PTS, 400000);
}

TEST_F(FrameDecoderTest, ChangingTheChannelCountGivesMonoBlocks) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(Aac48k()));
    ASSERT_TRUE(d.DecodeAudio());
    d.SetDesireAudioChannels(1);
    EXPECT_EQ(d.WaveInfo().Channels, 1);
    EXPECT_FALSE(d.WaveInfo().Ready);
    ASSERT_TRUE(d.DecodeAudio());
    EXPECT_EQ(d.WaveInfo().Channels, 1);
    EXPECT_EQ(d.WaveInfo().BytesPerSecond, 88200);
    // A block's duration follows from its size in the new format.
    EXPECT_NEAR(static_cast<double>(d.WaveInfo().Duration), d.WaveInfo().Size * 1e6 / 88200.0, 1.0);
}

TEST_F(FrameDecoderTest, DecodingBothKindsGivesPicturesAndSoundInFileOrder) {
    TFFDecoder d;
    ASSERT_TRUE(d.LoadFile(testsupport::MakeClip(testsupport::Clip::VideoAudio).string()));
    int pictures = 0;
    int blocks = 0;
    for (int i = 0; i < 2000; ++i) {
        const TDecodeResult r = d.Decode(dtBoth);
        if (r == drError) {
            break;
        }
        (r == drVideo ? pictures : blocks)++;
    }
    EXPECT_TRUE(d.IsEOF());
    EXPECT_EQ(pictures, 50);
    EXPECT_GT(blocks, 80);  // 2 s of 1024-sample AAC frames at 44.1 kHz
}

}  // namespace
