#include "engine/tools/FrameDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include <openssl/evp.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include "engine/load/FFAPI.h"
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

// Shows what the decoder keeps from its options and its streams.
class TOpenFrameDecoder : public TFFDecoder {
public:
    int ScalerFlags() const { return FFormatConv.sws_flags(); }
    AVRational FrameRate() const { return FFrameRate; }
    AVStream* Stream(int AIndex) { return FFileHandle->streams[AIndex]; }
    int SelectVideo(int AIndex) { return SelectVideoStreamIndex(AIndex); }
};

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

TEST_F(FrameDecoderTest, TheScalerFlagsOfTheOptionsReachThePictureConverter) {
    TOpenFrameDecoder d;
    ASSERT_TRUE(d.LoadFile(NumberedFrames())) << d.LastErrMsg();
    EXPECT_EQ(d.ScalerFlags(), SWS_BICUBIC);
    ASSERT_TRUE(d.opt_default("sws_flags", "neighbor"));
    ASSERT_TRUE(d.LoadFile(NumberedFrames())) << d.LastErrMsg();
    EXPECT_EQ(d.ScalerFlags(), SWS_POINT);
}

// Without an average rate the codec's rate is taken when it agrees with the container's real base
// rate; h264 counts two ticks per frame, so its codec time base of 1/50 is 25 frames per second.
TEST_F(FrameDecoderTest, WithoutAnAverageRateTheCodecRateIsCheckedAgainstTheContainer) {
    const std::string clip = testsupport::MakeClip(testsupport::Clip::VideoAudio).string();
    struct TCase {
        AVRational real;
        AVRational expected;
        const char* log;
    };
    const TCase cases[] = {
        {{25, 1}, {25, 1}, nullptr},
        {{30, 1},
         {30, 1},
         "Seems stream 0 codec frame rate differs from container frame rate: 50.00 (50/1) -> 30.00 (30/1)"},
    };
    for (const TCase& c : cases) {
        TOpenFrameDecoder d;
        ASSERT_TRUE(d.LoadFile(clip)) << d.LastErrMsg();
        d.Stream(0)->avg_frame_rate = AVRational{0, 0};
        d.Stream(0)->r_frame_rate = c.real;
        playertest::LogCapture log;
        ASSERT_EQ(d.SelectVideo(0), 0);
        EXPECT_EQ(av_cmp_q(d.FrameRate(), c.expected), 0)
            << d.FrameRate().num << "/" << d.FrameRate().den << " for " << c.real.num;
        if (c.log) {
            EXPECT_TRUE(log.Contains(c.log)) << log.All();
        } else {
            EXPECT_FALSE(log.Contains("Seems stream")) << log.All();
        }
    }
}

// h264 with two B-frames between references and a key frame every 12 frames (0.48 s): 4 s at 25 fps
// of a picture that differs in every frame.
std::vector<std::string> BFramesVideo(const std::string& AGop) {
    return {"-f",
            "lavfi",
            "-i",
            "testsrc2=size=64x48:rate=25:duration=4",
            "-c:v",
            "libx264",
            "-bf",
            "2",
            "-g",
            AGop,
            "-keyint_min",
            AGop,
            "-sc_threshold",
            "0",
            "-pix_fmt",
            "yuv420p"};
}

std::string BFramesClip(const std::string& AFile, const std::string& AGop, const std::string& AFormat) {
    std::vector<std::string> args = BFramesVideo(AGop);
    for (const char* a : {"-f", AFormat.c_str(), "{out}"}) {
        args.emplace_back(a);
    }
    return testsupport::MakeFixture(AFile, args).string();
}

// The AVI copy without its index chunk: readers then find key frames only by reading.
std::string WithoutIndex(const std::string& AAvi) {
    const std::filesystem::path target = testsupport::FixtureDir() / "h14_bframes_noidx.avi";
    if (!std::filesystem::exists(target)) {
        std::ifstream in(AAvi, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t index = bytes.rfind("idx1");
        EXPECT_NE(index, std::string::npos);
        const std::filesystem::path tmp = target.string() + ".part";
        std::ofstream(tmp, std::ios::binary) << bytes.substr(0, index);
        std::filesystem::rename(tmp, target);
    }
    return target.string();
}

// ffmpeg's own picture digests of the file, in presentation order.
std::vector<std::string> ReferenceDigests(const std::string& AFile) {
    const auto digests =
        testsupport::MakeFixture(std::filesystem::path(AFile).filename().string() + ".framemd5",
                                 {"-i", AFile, "-map", "0:v", "-f", "framemd5", "{out}"});
    std::ifstream in(digests);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') {
            result.push_back(line.substr(line.rfind(' ') + 1));
        }
    }
    return result;
}

// The MD5 of the current picture's planes, packed as ffmpeg's raw video packs them.
std::string PictureDigest(const TFFDecoder& d) {
    const TFrameInfo& picture = d.FrameInfo();
    const int size = ff::av_image_get_buffer_size(static_cast<AVPixelFormat>(picture.PixFmt), picture.Width,
                                                  picture.Height, 1);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned length = 0;
    EVP_Digest(picture.Buffer.data(), static_cast<size_t>(size), digest, &length, EVP_md5(), nullptr);
    std::string text;
    for (unsigned i = 0; i < length; ++i) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        text += hex;
    }
    return text;
}

// Each container's seeks land on the key frame asked for and step to the exact frame, picture for
// picture as ffmpeg decodes the file.
class ExactSeekTest : public FrameDecoderTest, public ::testing::WithParamInterface<const char*> {
protected:
    // Decodes the whole file once: every picture must be ffmpeg's, in order; keeps their times.
    void DecodeAll(const std::string& AFile) {
        fReference = ReferenceDigests(AFile);
        ASSERT_EQ(fReference.size(), 100u);
        ASSERT_TRUE(fDecoder.LoadFile(AFile)) << fDecoder.LastErrMsg();
        while (fDecoder.Decode()) {
            ASSERT_LT(fTimes.size(), fReference.size());
            ASSERT_EQ(PictureDigest(fDecoder), fReference[fTimes.size()]) << "picture " << fTimes.size();
            if (fDecoder.FrameInfo().IsKeyFrame) {
                fKeys.push_back(static_cast<int>(fTimes.size()));
            }
            fTimes.push_back(fDecoder.FrameInfo().PTS);
        }
        ASSERT_EQ(fTimes.size(), fReference.size());
    }
    // The index of the current picture, checked against ffmpeg's digest.
    int Current() {
        const auto at = std::find(fTimes.begin(), fTimes.end(), fDecoder.FrameInfo().PTS);
        if (at == fTimes.end()) {
            ADD_FAILURE() << "no picture at " << fDecoder.FrameInfo().PTS;
            return -1;
        }
        const int index = static_cast<int>(at - fTimes.begin());
        EXPECT_EQ(PictureDigest(fDecoder), fReference[static_cast<size_t>(index)]) << "picture " << index;
        return index;
    }
    // Seeks to the key frame before picture AIndex and decodes on to it.
    void GoTo(int AIndex) {
        ASSERT_TRUE(fDecoder.Seek(fTimes[static_cast<size_t>(AIndex)], {sfBackward}));
        ASSERT_TRUE(fDecoder.Decode());
        while (fDecoder.FrameInfo().PTS < fTimes[static_cast<size_t>(AIndex)]) {
            ASSERT_TRUE(fDecoder.Decode());
        }
        ASSERT_EQ(Current(), AIndex);
    }

    TFFDecoder fDecoder;
    std::vector<std::string> fReference;
    std::vector<int64_t> fTimes;
    std::vector<int> fKeys;
};

std::string ExactSeekClip(const std::string& AName) {
    if (AName == "avi without index") {
        return WithoutIndex(BFramesClip("h14_bframes.avi", "12", "avi"));
    }
    if (AName == "ts with one key frame") {
        return BFramesClip("h14_bframes_one_key.ts", "1000", "mpegts");
    }
    static const std::map<std::string, std::string> kFormats = {
        {"mp4", "mp4"}, {"mkv", "matroska"}, {"flv", "flv"}, {"ts", "mpegts"}, {"avi", "avi"}};
    return BFramesClip("h14_bframes." + AName, "12", kFormats.at(AName));
}

TEST_P(ExactSeekTest, SeeksAndStepsLandOnTheExactPicture) {
    const std::string name = GetParam();
    ASSERT_NO_FATAL_FAILURE(DecodeAll(ExactSeekClip(name)));
    const bool oneKey = name == "ts with one key frame";
    if (oneKey) {
        EXPECT_EQ(fKeys, std::vector<int>{0});
    } else {
        EXPECT_EQ(fKeys, (std::vector<int>{0, 12, 24, 36, 48, 60, 72, 84, 96}));
    }
    // The start, from the end of the file.
    ASSERT_TRUE(fDecoder.Seek(0));
    ASSERT_TRUE(fDecoder.Decode()) << fDecoder.LastErrMsg();
    EXPECT_EQ(Current(), 0);
    // Backward: the last key frame at or before the time.
    ASSERT_TRUE(fDecoder.Seek(fTimes[30] + 10000, {sfBackward}));
    ASSERT_TRUE(fDecoder.Decode());
    EXPECT_EQ(Current(), oneKey ? 0 : 24);
    ASSERT_TRUE(fDecoder.Seek(fTimes[24], {sfBackward}));
    ASSERT_TRUE(fDecoder.Decode());
    EXPECT_EQ(Current(), oneKey ? 0 : 24);
    if (!oneKey) {
        // Forward: the first key frame at or after the time.
        ASSERT_TRUE(fDecoder.Seek(fTimes[13]));
        ASSERT_TRUE(fDecoder.Decode());
        EXPECT_EQ(Current(), 24);
        ASSERT_TRUE(fDecoder.Seek(fTimes[12]));
        ASSERT_TRUE(fDecoder.Decode());
        EXPECT_EQ(Current(), 12);
        // Key frame steps.
        ASSERT_NO_FATAL_FAILURE(GoTo(10));
        ASSERT_TRUE(fDecoder.DecodeNextKeyFrame());
        EXPECT_EQ(Current(), 12);
        ASSERT_NO_FATAL_FAILURE(GoTo(30));
        ASSERT_TRUE(fDecoder.DecodePreviousKeyFrame()) << fDecoder.LastErrMsg();
        EXPECT_EQ(Current(), 24);
    }
    // The previous frame, from a frame between key frames and from a key frame.
    for (const int from : {30, 24, 1}) {
        ASSERT_NO_FATAL_FAILURE(GoTo(from));
        ASSERT_TRUE(fDecoder.DecodePreviousFrame()) << fDecoder.LastErrMsg() << " from " << from;
        EXPECT_EQ(Current(), from - 1) << "from " << from;
    }
}

INSTANTIATE_TEST_SUITE_P(Containers, ExactSeekTest,
                         ::testing::Values("mp4", "mkv", "flv", "ts", "avi", "avi without index",
                                           "ts with one key frame"),
                         [](const ::testing::TestParamInfo<const char*>& AInfo) {
                             std::string name = AInfo.param;
                             std::replace(name.begin(), name.end(), ' ', '_');
                             return name;
                         });

}  // namespace
