#include "engine/tools/AudioDecoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "tests/engine/EngineTestSupport.h"
#include "tests/support/Fixtures.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Each stereo track carries a sine on the left and its own sample number (modulo 16384) on the right,
// so that every sample frame read says where in the file it comes from.
std::vector<std::string> Track(int AFrequency, double AAmplitude, int ASeconds = 2) {
    return {"-f", "lavfi", "-i",
            "aevalsrc=exprs='" + std::to_string(AAmplitude) + "*sin(2*PI*" + std::to_string(AFrequency) +
                "*t)|mod(n\\,16384)/32768':s=44100:d=" + std::to_string(ASeconds) + ":c=stereo"};
}

std::string OneTrack() {
    std::vector<std::string> args = Track(441, 0.5);
    for (const char* a : {"-c:a", "pcm_s16le", "{out}"}) {
        args.emplace_back(a);
    }
    return testsupport::MakeFixture("h19_sine_numbered_1.mov", args).string();
}

std::string TwoTracks() {
    std::vector<std::string> args = Track(441, 0.5);
    const auto second = Track(882, 0.25);
    args.insert(args.end(), second.begin(), second.end());
    for (const char* a : {"-map", "0", "-map", "1", "-c:a", "pcm_s16le", "{out}"}) {
        args.emplace_back(a);
    }
    return testsupport::MakeFixture("h19_sine_numbered_2.mov", args).string();
}

double Sine(int AFrequency, double AAmplitude, int64_t ASample) {
    return AAmplitude * 32768.0 * std::sin(2 * kPi * AFrequency * static_cast<double>(ASample) / 44100.0);
}

struct TFrame {
    int16_t Left;
    int16_t Right;
};

std::vector<TFrame> Frames(const std::vector<uint8_t>& ABytes, int ACount) {
    std::vector<TFrame> frames(static_cast<size_t>(ACount) / sizeof(TFrame));
    std::memcpy(frames.data(), ABytes.data(), frames.size() * sizeof(TFrame));
    return frames;
}

// The file sample number of a frame whose numbered channel reads ANumber, near AExpected.
int64_t Unwrap(int ANumber, int64_t AExpected) {
    const int64_t base = AExpected - AExpected % 16384;
    int64_t best = base + ANumber;
    for (const int64_t candidate : {base - 16384 + ANumber, base + 16384 + ANumber}) {
        if (std::llabs(candidate - AExpected) < std::llabs(best - AExpected)) {
            best = candidate;
        }
    }
    return best;
}

// Checks that AFrames are consecutive samples of one track from AFirst on; returns AFirst.
void ExpectTrack(const std::vector<TFrame>& AFrames, size_t AFrom, size_t AStep, int64_t AFirst,
                 int AFrequency, double AAmplitude) {
    for (size_t i = AFrom, m = 0; i < AFrames.size(); i += AStep, ++m) {
        const int64_t n = AFirst + static_cast<int64_t>(m);
        ASSERT_EQ(AFrames[i].Right, n % 16384) << "frame " << i;
        ASSERT_NEAR(AFrames[i].Left, Sine(AFrequency, AAmplitude, n), 2.0) << "frame " << i;
    }
}

class AudioDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

TEST_F(AudioDecoderTest, AStoppedDecoderRefusesReadsAndSeeks) {
    TAudioDecoder d;
    EXPECT_FALSE(d.Seek(0));
    std::vector<uint8_t> buffer(64);
    EXPECT_EQ(d.DoReadCombined(buffer.data(), 64), -1);
    ASSERT_TRUE(d.LoadFile(OneTrack()));
    EXPECT_EQ(d.DoReadMixed(buffer.data(), 64), -1);
    d.DoStart(true);
    d.DoStop();
    EXPECT_FALSE(d.Seek(0));
    EXPECT_EQ(d.DoReadCombined(buffer.data(), 64), -1);
}

TEST_F(AudioDecoderTest, OneTrackIsReadWholeAndInOrderThenReadsGiveNothing) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(OneTrack()));
    d.DoStart(false);
    std::vector<uint8_t> buffer(6000);
    int64_t next = 0;
    int zeros = 0;
    for (int round = 0; round < 20000 && zeros < 3; ++round) {
        const int got = d.DoReadCombined(buffer.data(), 6002);  // cut to whole sample frames
        ASSERT_GE(got, 0);
        ASSERT_EQ(got % 4, 0);
        ASSERT_LE(got, 6000);
        if (got == 0) {
            ++zeros;
            continue;
        }
        const auto frames = Frames(buffer, got);
        ExpectTrack(frames, 0, 1, next, 441, 0.5);
        next += static_cast<int64_t>(frames.size());
    }
    EXPECT_EQ(next, 88200);
    EXPECT_EQ(zeros, 3);
}

TEST_F(AudioDecoderTest, TwoTracksAreInterleavedFrameByFrame) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(TwoTracks()));
    ASSERT_EQ(d.AudioStreamCount(), 2);
    d.DoStart(true);
    // 1001 bytes ask for the same as 1000: 125 frames of each track.
    EXPECT_EQ(d.DoReadCombined(nullptr, 1001) % 8, 0);
    std::vector<uint8_t> buffer(1001);
    int got = 0;
    for (int i = 0; i < 100 && got == 0; ++i) {
        got = d.DoReadCombined(buffer.data(), 1001);
    }
    ASSERT_EQ(got, 1000);
    const auto frames = Frames(buffer, got);
    ExpectTrack(frames, 0, 2, 0, 441, 0.5);
    ExpectTrack(frames, 1, 2, 0, 882, 0.25);

    // A size query consumes nothing: the next read goes on at frame 125.
    const int available = d.DoReadCombined(nullptr, 1 << 20);
    EXPECT_EQ(available % 8, 0);
    ASSERT_EQ(d.DoReadCombined(buffer.data(), 1000), 1000);
    const auto more = Frames(buffer, 1000);
    ExpectTrack(more, 0, 2, 125, 441, 0.5);
    ExpectTrack(more, 1, 2, 125, 882, 0.25);
}

TEST_F(AudioDecoderTest, TwoTracksAreMixedIntoOne) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(TwoTracks()));
    d.DoStart(true);
    std::vector<uint8_t> buffer(4000);
    int got = 0;
    for (int i = 0; i < 100 && got == 0; ++i) {
        got = d.DoReadMixed(buffer.data(), 4000);
    }
    ASSERT_GT(got, 0);
    const auto frames = Frames(buffer, got);
    for (size_t m = 0; m < frames.size(); ++m) {
        const auto n = static_cast<int64_t>(m);
        ASSERT_EQ(frames[m].Right, 2 * (n % 16384)) << m;
        ASSERT_NEAR(frames[m].Left, Sine(441, 0.5, n) + Sine(882, 0.25, n), 3.0) << m;
    }
}

// Reads from APTS and returns the file sample number that the read started at.
int64_t ReadAt(TAudioDecoder& d, int64_t APTS, int ABytes) {
    std::vector<uint8_t> buffer(static_cast<size_t>(ABytes));
    const int got = d.DoReadCombined(buffer.data(), ABytes, APTS, 0);
    EXPECT_GT(got, 0);
    if (got <= 0) {
        return -1;
    }
    const auto frames = Frames(buffer, got);
    const int64_t first = Unwrap(frames[0].Right, APTS * 441 / 10000);
    ExpectTrack(frames, 0, 1, first, 441, 0.5);
    return first;
}

TEST_F(AudioDecoderTest, JumpsByTimeDropBufferedBytesSeekOrAreIgnoredWhenSmall) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(OneTrack()));
    d.DoStart(true);
    const int64_t tolerance = 4410 + 1024;  // the threshold and one packet
    int64_t first = ReadAt(d, 0, 4000);
    EXPECT_EQ(first, 0);

    // Forward by 1 s: dropped from the buffers or sought, the read starts there.
    first = ReadAt(d, 1000000, 4000);
    EXPECT_NEAR(static_cast<double>(first), 44100.0, static_cast<double>(tolerance));

    // Backward always seeks.
    first = ReadAt(d, 300000, 4000);
    EXPECT_NEAR(static_cast<double>(first), 13230.0, static_cast<double>(tolerance));

    // A jump within the threshold is ignored: the read goes straight on.
    const int64_t after = first + 1000;
    first = ReadAt(d, (after * 10000 / 441) + 50000, 4000);
    EXPECT_EQ(first, after);

    // A duration limits the read.
    std::vector<uint8_t> buffer(40000);
    EXPECT_EQ(d.DoReadCombined(buffer.data(), 40000, AV_NOPTS_VALUE, 10000), 441 * 4);
}

TEST_F(AudioDecoderTest, ASeekOnTheRunningDecoderRestartsFromThere) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(TwoTracks()));
    d.DoStart(false);
    ASSERT_TRUE(d.Seek(1500000, {sfBackward}));
    std::vector<uint8_t> buffer(800);
    int got = 0;
    for (int i = 0; i < 100 && got == 0; ++i) {
        got = d.DoReadCombined(buffer.data(), 800);
    }
    ASSERT_EQ(got, 800);
    const auto frames = Frames(buffer, got);
    const int64_t first = Unwrap(frames[0].Right, 66150);
    EXPECT_LE(first, 66150);
    EXPECT_GT(first, 66150 - 2048);
    ExpectTrack(frames, 0, 2, first, 441, 0.5);
    ExpectTrack(frames, 1, 2, first, 882, 0.25);
}

TEST_F(AudioDecoderTest, AVideoStreamDoesNotHoldTheReadsBack) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(testsupport::MakeClip(testsupport::Clip::VideoAudio).string()));
    d.DoStart(true);
    std::vector<uint8_t> buffer(4096);
    int64_t total = 0;
    for (int i = 0; i < 5000; ++i) {
        const int got = d.DoReadCombined(buffer.data(), 4096);
        ASSERT_GE(got, 0);
        total += got;
        if (got == 0 && total > 0) {
            break;
        }
    }
    EXPECT_NEAR(static_cast<double>(total), 2.0 * 44100 * 4, 4096.0 * 4);
}

TEST_F(AudioDecoderTest, EightAndThirtyTwoBitOutputsKeepTheSine) {
    for (const int format : {AV_SAMPLE_FMT_U8, AV_SAMPLE_FMT_S32}) {
        TAudioDecoder d;
        ASSERT_TRUE(d.LoadFile(OneTrack()));
        d.SetDesireAudioSampleFormat(format);
        d.DoStart(true);
        const int bytes = format == AV_SAMPLE_FMT_U8 ? 1 : 4;
        std::vector<uint8_t> buffer(static_cast<size_t>(200 * 2 * bytes));
        int got = 0;
        for (int i = 0; i < 100 && got == 0; ++i) {
            got = d.DoReadCombined(buffer.data(), static_cast<int>(buffer.size()));
        }
        ASSERT_EQ(got, 200 * 2 * bytes);
        for (int m = 0; m < 200; ++m) {
            double left = 0;
            if (format == AV_SAMPLE_FMT_U8) {
                left = (buffer[static_cast<size_t>(2 * m)] - 128) * 256.0;
            } else {
                int32_t value = 0;
                std::memcpy(&value, buffer.data() + 8 * m, 4);
                left = value / 65536.0;
            }
            ASSERT_NEAR(left, Sine(441, 0.5, m), format == AV_SAMPLE_FMT_U8 ? 300.0 : 2.0)
                << format << " " << m;
        }
    }
}

TEST_F(AudioDecoderTest, ANonIntegerOutputFormatBecomesSixteenBit) {
    TAudioDecoder d;
    ASSERT_TRUE(d.LoadFile(OneTrack()));
    d.SetDesireAudioSampleFormat(AV_SAMPLE_FMT_FLT);
    d.DoStart(true);
    EXPECT_EQ(d.DesireAudioSampleFormat(), AV_SAMPLE_FMT_S16);
}

// 6 s numbered tracks in containers whose seeks land before or after the place asked for (Matroska
// without cues, Ogg by bisection, MP4 and MOV by their index), and beside a video track whose only key
// frame is at the start. A read by time starts at that time's sample; Matroska stamps blocks in whole
// milliseconds, so its reads may start up to half a millisecond off.
TEST_F(AudioDecoderTest, ReadsByTimeStartAtThatTimesSampleInEveryContainer) {
    struct TCase {
        const char* file;
        std::vector<std::string> codec;
        int64_t tolerance;
        bool withVideo;
    };
    const TCase cases[] = {
        {"h14_numbered.mkv", {"-c:a", "flac"}, 23, false},
        {"h14_numbered.mp4", {"-c:a", "alac"}, 0, false},
        {"h14_numbered.mov", {"-c:a", "pcm_s16le"}, 0, false},
        {"h14_numbered.ogg", {"-c:a", "flac"}, 0, false},
        {"h14_numbered_one_key.mkv",
         {"-c:a", "flac", "-c:v", "libx264", "-g", "1000", "-pix_fmt", "yuv420p"},
         23,
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.file);
        std::vector<std::string> args = Track(441, 0.5, 6);
        if (c.withVideo) {
            for (const char* a : {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=6"}) {
                args.emplace_back(a);
            }
        }
        args.insert(args.end(), c.codec.begin(), c.codec.end());
        args.emplace_back("{out}");
        TAudioDecoder d;
        ASSERT_TRUE(d.LoadFile(testsupport::MakeFixture(c.file, args).string())) << d.LastErrMsg();
        d.DoStart(true);
        // Forward from the start, backward, then forward past what is buffered.
        for (const int64_t at : {2500000LL, 1000000LL, 4200000LL, 500000LL}) {
            const int64_t expected = (at * 441 + 5000) / 10000;
            const int64_t first = ReadAt(d, at, 4000);
            EXPECT_NEAR(static_cast<double>(first), static_cast<double>(expected),
                        static_cast<double>(c.tolerance))
                << "read at " << at;
        }
    }
}

}  // namespace
