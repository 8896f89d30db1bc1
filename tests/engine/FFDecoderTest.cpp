#include "engine/tools/FFDecoder.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

class FFDecoderTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

void ExpectNoFile(const TCustomDecoder& d) {
    EXPECT_EQ(d.FileSize(), -1);
    EXPECT_EQ(d.StreamCount(), -1);
    EXPECT_EQ(d.ProgramCount(), -1);
    EXPECT_EQ(d.AudioStreamCount(), -1);
    EXPECT_EQ(d.VideoStreamCount(), -1);
    EXPECT_EQ(d.SubtitleStreamCount(), -1);
    EXPECT_EQ(d.FirstAudioStreamIndex(), -1);
    EXPECT_EQ(d.FirstVideoStreamIndex(), -1);
    EXPECT_EQ(d.FirstSubtitleStreamIndex(), -1);
}

TEST_F(FFDecoderTest, WithoutAFileEveryCountIsMinusOne) {
    TCustomDecoder d;
    ExpectNoFile(d);
    EXPECT_EQ(d.GetAudioStreamInfos(-1).Channels, -1);
    EXPECT_EQ(d.LastErrMsg(), "file not loaded.");
    EXPECT_FALSE(d.CheckHandle());
}

TEST_F(FFDecoderTest, CountsAndFirstIndexesOfTwoAudioStreamsAndASubtitle) {
    TCustomDecoder d;
    const auto clip = playertest::TwoAudioSubtitleClip();
    ASSERT_TRUE(d.LoadFile(clip.string())) << d.LastErrMsg();
    EXPECT_EQ(d.StreamCount(), 4);
    EXPECT_EQ(d.VideoStreamCount(), 1);
    EXPECT_EQ(d.AudioStreamCount(), 2);
    EXPECT_EQ(d.SubtitleStreamCount(), 1);
    EXPECT_EQ(d.FirstVideoStreamIndex(), 0);
    EXPECT_EQ(d.FirstAudioStreamIndex(), 1);
    EXPECT_EQ(d.FirstSubtitleStreamIndex(), 2);
    EXPECT_EQ(d.FileSize(), static_cast<int64_t>(std::filesystem::file_size(clip)));
    EXPECT_EQ(d.GetFormatName(), "matroska,webm");
    EXPECT_EQ(d.GetFileName(), clip.string());
    EXPECT_TRUE(d.IsAudioStream(3));
    EXPECT_FALSE(d.IsAudioStream(2));
    EXPECT_TRUE(d.IsSubtitleStream(2));
    EXPECT_FALSE(d.IsVideoStream(4));
    EXPECT_EQ(d.LastErrMsg(), "stream index #4 is invalid.");
    EXPECT_TRUE(d.CheckHandle());  // a file it opened itself may be decoded

    const TAudioStreamInfo second = d.GetAudioStreamInfos(3);
    EXPECT_EQ(second.SampleRate, 44100);
    EXPECT_EQ(second.Channels, 1);
    EXPECT_EQ(std::string(second.CodecName).rfind("aac", 0), 0u) << second.CodecName;
    const TVideoStreamInfo video = d.GetVideoStreamInfos(-1);
    EXPECT_EQ(video.Width, 160);
    EXPECT_EQ(video.Height, 120);
    EXPECT_EQ(video.FrameRate.num, 25);
    EXPECT_EQ(video.FrameRate.den, 1);
    EXPECT_EQ(d.GetSubtitleStreamInfos(-1).SubFormat, 1);  // text subtitles
    EXPECT_EQ(d.GetVideoStreamInfos(1).Width, -1);
    EXPECT_EQ(d.LastErrMsg(), "stream #1 is not video stream.");

    d.CloseFile();
    ExpectNoFile(d);
}

TEST_F(FFDecoderTest, FileFactsMetadataAndPrograms) {
    const std::vector<std::string> tags{"-metadata", "title=\u00dcn\u00efcode title",
                                        "-metadata", "year=2012",
                                        "-metadata", "track=7",
                                        "-metadata", "genre=Test"};
    std::vector<std::string> mkvArgs{"-f", "lavfi", "-i", "sine=duration=1", "-c:a", "mp2"};
    mkvArgs.insert(mkvArgs.end(), tags.begin(), tags.end());
    std::vector<std::string> tsArgs = mkvArgs;
    mkvArgs.push_back("{out}");
    tsArgs.push_back("{out}");
    TCustomDecoder d;
    ASSERT_TRUE(d.LoadFile(testsupport::MakeFixture("h8_tags.mkv", mkvArgs).string()));
    const TFileStreamInfo info = d.GetFileStreamInfo();
    EXPECT_STREQ(info.Title, "\u00dcn\u00efcode title");
    EXPECT_STREQ(info.Genre, "Test");
    EXPECT_EQ(info.Year, 2012);
    EXPECT_EQ(info.Track, 7);
    EXPECT_STREQ(info.Album, "");
    EXPECT_NEAR(static_cast<double>(info.Duration), 1000000.0, 50000.0);
    EXPECT_EQ(d.ProgramCount(), 0);
    EXPECT_EQ(d.GetProgrames(0).id, -1);
    EXPECT_EQ(d.LastErrMsg(), "no program found.");

    ASSERT_TRUE(d.LoadFile(testsupport::MakeFixture("h8_tags.ts", tsArgs).string()));
    EXPECT_EQ(d.ProgramCount(), 1);
    const AVProgram program = d.GetProgrames(0);
    EXPECT_EQ(program.id, 1);
    EXPECT_EQ(program.nb_stream_indexes, 1u);
    EXPECT_EQ(d.GetProgrames(1).id, -1);
    EXPECT_EQ(d.LastErrMsg(), "program index #1 is invalid.");
    EXPECT_EQ(d.GetAudioStreamInfos(-1).StartTimeScaled, d.GetFileStreamInfo().StartTime);
}

TEST_F(FFDecoderTest, UnknownFormatNameIsRefused) {
    TCustomDecoder d;
    EXPECT_FALSE(d.LoadFile(testsupport::MakeClip(testsupport::Clip::AudioOnly).string(), "no_such_format"));
    EXPECT_EQ(d.LastErrMsg(), "Unknown input format: no_such_format");
    ExpectNoFile(d);
}

TEST_F(FFDecoderTest, MissingFileLeavesTheErrorText) {
    TCustomDecoder d;
    testsupport::TempDir dir;
    const std::string missing = (dir / "missing.mp4").string();
    EXPECT_FALSE(d.LoadFile(missing));
    EXPECT_EQ(d.LastErrMsg(), missing + ": No such file or directory");
    ExpectNoFile(d);
}

TEST_F(FFDecoderTest, AdoptedContextIsReadButNeverClosedOrDecoded) {
    TCustomDecoder owner;
    ASSERT_TRUE(owner.LoadFile(testsupport::MakeClip(testsupport::Clip::MultiAudio).string()));
    {
        TCustomDecoder adopter;
        adopter.SetFileHandle(owner.FileHandle());
        EXPECT_EQ(adopter.AudioStreamCount(), 2);
        EXPECT_EQ(adopter.FirstAudioStreamIndex(), 1);
        try {
            adopter.CheckHandle();
            ADD_FAILURE() << "an adopted context must be refused";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "file cannot be seeked, handle is readonly.");
        }
        adopter.SetFileHandle(owner.FileHandle());  // the same context again: nothing happens
        EXPECT_EQ(adopter.AudioStreamCount(), 2);
    }
    // The adopter's end did not close the owner's context.
    EXPECT_EQ(owner.GetAudioStreamInfos(2).SampleRate, 44100);
}

TEST_F(FFDecoderTest, OptionsRouteOrFail) {
    TCustomDecoder d;
    EXPECT_TRUE(d.DefaultOptions(""));
    EXPECT_TRUE(d.DefaultOptions("-threads 2 -probesize 100000"));
    EXPECT_FALSE(d.DefaultOptions("-threads 2 -no_such_option 1"));
}

}  // namespace
