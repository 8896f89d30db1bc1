#include "engine/tools/FFFileInfoText.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "engine/base/Myutils.h"
#include "engine/load/FFAPI.h"
#include "engine/tools/FFDecoder.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/Fixtures.h"

namespace {

std::vector<std::string> Lines(const std::string& AText) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < AText.size()) {
        const size_t end = AText.find("\r\n", start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "a line without CR LF: " << AText.substr(start);
            break;
        }
        lines.push_back(AText.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The positions of the lines that start with APrefix.
std::vector<size_t> Find(const std::vector<std::string>& ALines, const std::string& APrefix) {
    std::vector<size_t> found;
    for (size_t i = 0; i < ALines.size(); ++i) {
        if (ALines[i].rfind(APrefix, 0) == 0) {
            found.push_back(i);
        }
    }
    return found;
}

bool Has(const std::string& AText, const std::string& APart) {
    return AText.find(APart) != std::string::npos;
}

class FileInfoTextTest : public ::testing::Test {
protected:
    void SetUp() override { enginetest::LoadPlayerLibraries(); }
};

TEST_F(FileInfoTextTest, WithoutAFileTheTextIsEmpty) {
    TCustomDecoder decoder;
    EXPECT_EQ(decoder.GetFileInfoText(), "");
    EXPECT_EQ(decoder.LastErrMsg(), "file not loaded.");
}

TEST_F(FileInfoTextTest, AFileWithVideoAndAudio) {
    const auto clip = testsupport::MakeClip(testsupport::Clip::VideoAudio);
    TCustomDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(clip.string())) << decoder.LastErrMsg();
    const std::string text = decoder.GetFileInfoText();
    const auto lines = Lines(text);
    ASSERT_GE(lines.size(), 6u) << text;
    EXPECT_EQ(lines[0], "File Name: " + clip.string());
    EXPECT_EQ(lines[1], "Format Name: mov,mp4,m4a,3gp,3g2,mj2");
    EXPECT_EQ(lines[2], "Format Long Name: QuickTime / MOV");
    EXPECT_EQ(lines[3], "File Size: " + FileSizeToStr(std::filesystem::file_size(clip)));
    EXPECT_EQ(lines[4], "Metadata:");  // the MP4 writer's own tags
    const auto duration = Find(lines, "Duration: ");
    ASSERT_EQ(duration.size(), 1u) << text;
    EXPECT_TRUE(Has(lines[duration[0]], "Duration: 00:00:02.0")) << lines[duration[0]];
    EXPECT_TRUE(Has(lines[duration[0]], ", start: ")) << lines[duration[0]];
    EXPECT_TRUE(Has(lines[duration[0]], " kb/s")) << lines[duration[0]];

    // The MP4 reader shows the streams' ids.
    const auto video = Find(lines, "  Stream #0[0x1](und), 1/12800: Video: h264");
    const auto audio = Find(lines, "  Stream #1[0x2](und), 1/44100: Audio: aac");
    ASSERT_EQ(video.size(), 1u) << text;
    ASSERT_EQ(audio.size(), 1u) << text;
    EXPECT_GT(video[0], duration[0]);
    EXPECT_GT(audio[0], video[0]);
    const std::string& v = lines[video[0]];
    EXPECT_TRUE(Has(v, "320x240")) << v;
    // h264 counts two ticks per frame: its codec time base is 1/50.
    EXPECT_TRUE(Has(v, ", 25 fps, 25 tbr, 12800 tbn, 50 tbc")) << v;
    EXPECT_TRUE(Has(v, " (default)")) << v;
    EXPECT_TRUE(Has(v, ", duration: 00:00:02.0")) << v;
    const std::string& a = lines[audio[0]];
    EXPECT_TRUE(Has(a, "44100 Hz")) << a;
    EXPECT_TRUE(Find(lines, "No Program").empty());
    // The stream's own tags follow its line, two blanks in.
    EXPECT_EQ(lines[audio[0] + 1], "  Metadata:");
    EXPECT_EQ(Find(lines, "    handler_name    : ").size(), 2u) << text;
}

// Three streams: program 1 lists 0 and 1, program 2 lists 1; stream 2 is in no program.
TEST_F(FileInfoTextTest, ProgramsListTheirStreamsAndTheRestFollow) {
    const auto ts = testsupport::MakeFixture("h18_programs.ts", {"-f",
                                                                 "lavfi",
                                                                 "-i",
                                                                 "testsrc=size=64x48:rate=25:duration=1",
                                                                 "-f",
                                                                 "lavfi",
                                                                 "-i",
                                                                 "sine=duration=1",
                                                                 "-f",
                                                                 "lavfi",
                                                                 "-i",
                                                                 "sine=frequency=880:duration=1",
                                                                 "-map",
                                                                 "0",
                                                                 "-map",
                                                                 "1",
                                                                 "-map",
                                                                 "2",
                                                                 "-c:v",
                                                                 "mpeg2video",
                                                                 "-c:a",
                                                                 "mp2",
                                                                 "-program",
                                                                 "program_num=1:title=First:st=0:st=1",
                                                                 "-program",
                                                                 "program_num=2:title=Second:st=1",
                                                                 "-metadata:s:a:0",
                                                                 "language=eng",
                                                                 "{out}"});
    TCustomDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(ts.string())) << decoder.LastErrMsg();
    ASSERT_EQ(decoder.ProgramCount(), 2);
    const std::string text = decoder.GetFileInfoText();
    const auto lines = Lines(text);
    const auto programs = Find(lines, "Program ");
    ASSERT_EQ(programs.size(), 2u) << text;
    EXPECT_EQ(lines[programs[0]], "Program 1 ");
    EXPECT_EQ(lines[programs[1]], "Program 2 ");
    EXPECT_EQ(lines[programs[0] + 1], "  Metadata:");
    EXPECT_EQ(lines[programs[0] + 2], "    service_name    : First");
    // The stream both programs list is described under each, and not again after them.
    const auto second = Find(lines, "  Stream #1[0x101](eng), 1/90000: Audio: mp2");
    ASSERT_EQ(second.size(), 2u) << text;
    EXPECT_GT(second[0], programs[0]);
    EXPECT_GT(second[1], programs[1]);
    // Three listings for three streams: no "No Program" line, yet the stream outside every program
    // is still described after them.
    EXPECT_TRUE(Find(lines, "No Program").empty()) << text;
    const auto third = Find(lines, "  Stream #2[0x");
    ASSERT_EQ(third.size(), 1u) << text;
    EXPECT_GT(third[0], second[1]);
    // A stream whose only tag is its language has no metadata block.
    EXPECT_NE(lines[second[0] + 1], "  Metadata:");
    const auto video = Find(lines, "  Stream #0[0x100], 1/90000: Video: mpeg2video");
    ASSERT_EQ(video.size(), 1u) << text;
    EXPECT_TRUE(Has(lines[video[0]], ", 25 fps, 25 tbr, 90k tbn, 50 tbc")) << lines[video[0]];
}

TEST_F(FileInfoTextTest, StreamsOutsideTheOnlyProgramGetTheNoProgramLine) {
    const auto ts = testsupport::MakeFixture(
        "h18_one_program.ts", {"-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=1", "-f", "lavfi",
                               "-i", "sine=duration=1", "-map", "0", "-map", "1", "-c:v", "mpeg2video",
                               "-c:a", "mp2", "-program", "program_num=7:st=0", "{out}"});
    TCustomDecoder decoder;
    ASSERT_TRUE(decoder.LoadFile(ts.string())) << decoder.LastErrMsg();
    const auto lines = Lines(decoder.GetFileInfoText());
    const auto program = Find(lines, "Program 7");
    const auto none = Find(lines, "No Program");
    const auto audio = Find(lines, "  Stream #1[");
    ASSERT_EQ(program.size(), 1u);
    ASSERT_EQ(none.size(), 1u);
    ASSERT_EQ(audio.size(), 1u);
    EXPECT_LT(program[0], none[0]);
    EXPECT_LT(none[0], audio[0]);
}

// A context built in memory, for the cases real files rarely show.
class MadeContext {
public:
    MadeContext() {
        ic = ff::avformat_alloc_context();
        ic->iformat = ff::av_find_input_format("matroska");
        ic->duration = AV_NOPTS_VALUE;
        ic->start_time = AV_NOPTS_VALUE;
        ic->bit_rate = 0;
    }
    ~MadeContext() { ff::avformat_free_context(ic); }
    MadeContext(const MadeContext&) = delete;
    MadeContext& operator=(const MadeContext&) = delete;

    AVStream* AddAudio() {
        AVStream* st = ff::avformat_new_stream(ic, nullptr);
        st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
        st->codecpar->codec_id = AV_CODEC_ID_PCM_S16LE;
        st->codecpar->sample_rate = 8000;
        ff::av_channel_layout_default(&st->codecpar->ch_layout, 1);
        st->time_base = AVRational{1, 8000};
        return st;
    }
    void AddChapter(int64_t AStart, int64_t AEnd, AVRational ABase, const char* ATitle) {
        auto** chapters =
            static_cast<AVChapter**>(ff::av_mallocz((ic->nb_chapters + 1) * sizeof(AVChapter*)));
        for (unsigned i = 0; i < ic->nb_chapters; ++i) {
            chapters[i] = ic->chapters[i];
        }
        auto* chapter = static_cast<AVChapter*>(ff::av_mallocz(sizeof(AVChapter)));
        chapter->start = AStart;
        chapter->end = AEnd;
        chapter->time_base = ABase;
        ff::av_dict_set(&chapter->metadata, "title", ATitle, 0);
        chapters[ic->nb_chapters] = chapter;
        ff::av_free(ic->chapters);
        ic->chapters = chapters;
        ++ic->nb_chapters;
    }

    AVFormatContext* ic = nullptr;
};

TEST_F(FileInfoTextTest, UnsetDurationZeroBitRateChaptersAndMetadataBreaks) {
    MadeContext made;
    ff::av_dict_set(&made.ic->metadata, "comment", "a\r\nb", 0);
    ff::av_dict_set(&made.ic->metadata, "language", "fre", 0);
    ff::av_dict_set(&made.ic->metadata, "title", "x\x08y\x0bz", 0);
    made.AddChapter(0, 1500, AVRational{1, 1000}, "Intro");
    made.AddChapter(90000, 180000, AVRational{1, 90000}, "Next");
    AVStream* st = made.AddAudio();
    ff::av_dict_set(&st->metadata, "language", "eng", 0);
    st->disposition = AV_DISPOSITION_DEFAULT | AV_DISPOSITION_FORCED | AV_DISPOSITION_CLEAN_EFFECTS;
    st->start_time = -4000;  // -0.5 s in 1/8000
    st->duration = 16000;

    TCustomDecoder decoder;
    decoder.SetFileHandle(made.ic);
    const std::string text = decoder.GetFileInfoText();
    decoder.SetFileHandle(nullptr);
    const auto lines = Lines(text);
    const std::vector<std::string> expected{
        "File Name: ",
        "Format Name: matroska,webm",
        "Format Long Name: Matroska / WebM",
        "File Size: 0 Byte",
        "Metadata:",
        "  comment         : a ",
        "                  : b",
        "  title           : xyz",
        "Duration: N/A, bitrate: N/A",
        "Chapter #0: start 0.000000, end 1.500000",
        "  Metadata:",
        "    title           : Intro",
        "Chapter #1: start 1.000000, end 2.000000",
        "  Metadata:",
        "    title           : Next",
    };
    ASSERT_GE(lines.size(), expected.size() + 1) << text;
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i], expected[i]) << "line " << i;
    }
    const std::string& stream = lines[expected.size()];
    EXPECT_EQ(stream.rfind("  Stream #0(eng), 1/8000: Audio: pcm_s16le", 0), 0u) << stream;
    EXPECT_TRUE(Has(stream, " (default) (forced) (clean effects), start: -0.500000, duration: 00:00:02.005"))
        << stream;
    EXPECT_EQ(lines.size(), expected.size() + 1) << text;  // a stream with only a language has no block
}

TEST_F(FileInfoTextTest, LongMetadataPiecesAreCut) {
    MadeContext made;
    const std::string longValue = std::string(254, 'a') + "\xc3\xa9" + "tail";  // the cut falls inside é
    ff::av_dict_set(&made.ic->metadata, "k", (longValue + "\nshort").c_str(), 0);
    const std::string block = MetadataBlock(made.ic->metadata, "");
    EXPECT_EQ(block, "Metadata:\r\n  k               : " + std::string(254, 'a') +
                         "\r\n                  : short\r\n");
    EXPECT_EQ(MetadataBlock(nullptr, "  "), "");
}

TEST_F(FileInfoTextTest, RateAndTimeTexts) {
    EXPECT_EQ(RateText(30000.0 / 1001, "fps"), ", 29.97 fps");
    EXPECT_EQ(RateText(25, "tbr"), ", 25 tbr");
    EXPECT_EQ(RateText(90000, "tbn"), ", 90k tbn");
    EXPECT_EQ(RateText(1200, "tbn"), ", 1200 tbn");
    EXPECT_EQ(RateText(23.976, "fps"), ", 23.98 fps");
    EXPECT_EQ(TimeText(AV_NOPTS_VALUE, AVRational{1, 1000}), "");
    EXPECT_EQ(TimeText(1500000, AVRational{1, 1000000}), "1.500000");
    EXPECT_EQ(TimeText(-135000, AVRational{1, 90000}), "-1.500000");
    EXPECT_EQ(TimeText(-1, AVRational{1, 1000}), "-0.001000");
    EXPECT_EQ(TimeText(7, AVRational{1, 1}), "7.000000");
}

TEST_F(FileInfoTextTest, AnAdoptedContextIsOnlyRead) {
    const auto clip = testsupport::MakeClip(testsupport::Clip::MultiAudio);
    TCustomDecoder owner;
    ASSERT_TRUE(owner.LoadFile(clip.string()));
    TCustomDecoder adopter;
    adopter.SetFileHandle(owner.FileHandle());
    const std::string first = adopter.GetFileInfoText();
    EXPECT_EQ(adopter.GetFileInfoText(), first);
    EXPECT_EQ(owner.GetFileInfoText(), first);
    EXPECT_EQ(Find(Lines(first), "  Stream #").size(), 3u) << first;
}

}  // namespace
