#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include <atomic>
#include <cstdio>

#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/play/FFPlay.h"
#include "engine/tools/FrameDecoder.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace fs = std::filesystem;

namespace {

// A byte that never occurs in UTF-8: the system code page cannot hold a name with it.
const std::string kBadByte = "\xff";

}  // namespace

TEST(Unicodeprotocol, ImageSequenceNamesAreRecognisedByExtension) {
    EXPECT_TRUE(IsImageSequenceName("frame%03d.JPG"));
    EXPECT_TRUE(IsImageSequenceName("a.b/pic.mpg2-img"));
    EXPECT_TRUE(IsImageSequenceName("x.xwd"));
    EXPECT_FALSE(IsImageSequenceName("song.mp3"));
    EXPECT_FALSE(IsImageSequenceName("noextension"));
    EXPECT_FALSE(IsImageSequenceName("clip.jpgx"));
}

TEST(Unicodeprotocol, FileNamesForFFmpegAreTheirOwnBytes) {
    enginetest::LoadPlayerLibraries();
    // FFmpeg 5.1 takes no URL protocol from outside, so none is claimed.
    EXPECT_FALSE(unicode_protocol_registered());
    const std::string names[] = {
        "/music/caf\xc3\xa9 " + kBadByte + ".mp3",
        "/pics/\xce\xb1"
        "frame%03d.jpg",
        "/pics/" + kBadByte + "%03d.jpg",
        "tcp:host" + kBadByte + ".jpg",
        "/" + std::string(5000, 'a') + ".mp4",  // longer than any fixed buffer
    };
    for (const std::string& name : names) {
        EXPECT_EQ(ffmpeg_filename(name), name);
        EXPECT_EQ(native_filename(ffmpeg_filename(name)), name);
    }
}

TEST(Unicodeprotocol, NativeFileNamesKeepWhatFFmpegReports) {
    enginetest::LoadPlayerLibraries();
    EXPECT_EQ(native_filename("unicode:utf8:/a.mp3"), "unicode:utf8:/a.mp3");  // not an image sequence
    EXPECT_EQ(native_filename("/plain/name.png"), "/plain/name.png");
}

// A clip and an image sequence whose names hold a Latin-1 byte (not UTF-8) open in the player and in
// the frame decoder, and show pictures.
TEST(Unicodeprotocol, NamesThatAreNotUtf8OpenInThePlayerAndTheDecoder) {
    enginetest::LoadPlayerLibraries();
    testsupport::TempDir dir;
    const fs::path sequence = testsupport::MakeClip(testsupport::Clip::PngSequence).parent_path();
    for (int i = 1; i <= 10; ++i) {
        char number[8];
        std::snprintf(number, sizeof number, "%03d", i);
        fs::copy_file(sequence / ("frame" + std::string(number) + ".png"),
                      dir / ("caf\xe9" + std::string(number) + ".png"));
    }
    const fs::path clip = dir / ("clip caf\xe9.mp4");
    fs::copy_file(testsupport::MakeClip(testsupport::Clip::VideoAudio), clip);
    struct TCase {
        std::string name;
        int width;
    };
    const TCase cases[] = {{(dir / "caf\xe9%03d.png").string(), 160}, {clip.string(), 320}};
    for (const TCase& c : cases) {
        TFFDecoder decoder;
        ASSERT_TRUE(decoder.LoadFile(c.name)) << decoder.LastErrMsg();
        EXPECT_EQ(decoder.GetFileName(), c.name);
        ASSERT_TRUE(decoder.Decode()) << decoder.LastErrMsg();
        EXPECT_EQ(decoder.FrameInfo().Width, c.width);

        TFFPlayer player;
        ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
        int openedWidth = 0;
        player.OnFileOpen = [&](TObject*, const int64_t&, int AWidth, int, int&, int&) {
            openedWidth = AWidth;
        };
        std::atomic<int> pictures{0};
        player.VideoHook = true;
        player.OnVideoHook = [&](TObject*, TObject*, const int64_t&, bool& AUpdate) {
            AUpdate = false;
            ++pictures;
        };
        ASSERT_TRUE(player.Open(c.name)) << c.name << ": " << player.LastErrMsg();
        EXPECT_EQ(player.FileName(), c.name);
        EXPECT_EQ(openedWidth, c.width);
        EXPECT_TRUE(playertest::WaitUntil([&] { return pictures > 0; }, 30000)) << c.name;
        player.Stop(true);
    }
}

TEST(Unicodeprotocol, OpenReadOnlyNeverCreatesOrTruncates) {
    testsupport::TempDir dir;
    const std::string file = (dir / ("pic" + kBadByte + ".jpg")).string();
    TURLContext context;
    EXPECT_EQ(unicode_open(&context, ("unicode:utf8:" + file).c_str(), AVIO_FLAG_READ), -2);
    EXPECT_FALSE(fs::exists(file));

    testsupport::WriteFile(file, "0123456789");
    ASSERT_EQ(unicode_open(&context, ("unicode:utf8:" + file).c_str(), AVIO_FLAG_READ), 0);
    unsigned char buffer[4];
    EXPECT_EQ(unicode_read(&context, buffer, 4), 4);
    EXPECT_EQ(std::string(buffer, buffer + 4), "0123");
    // The size query leaves the position where it was.
    EXPECT_EQ(unicode_seek(&context, 0, AVSEEK_SIZE), 10);
    EXPECT_EQ(unicode_seek(&context, 0, SEEK_CUR), 4);
    EXPECT_EQ(unicode_seek(&context, -2, SEEK_END), 8);
    EXPECT_EQ(unicode_read(&context, buffer, 4), 2);
    EXPECT_EQ(unicode_read(&context, buffer, 4), 0);
    EXPECT_EQ(unicode_write(&context, buffer, 1), -1);  // opened for reading only
    EXPECT_EQ(unicode_seek(&context, -100, SEEK_SET), -1);
    EXPECT_NE(unicode_close(&context), 0);
    EXPECT_EQ(testsupport::ReadFile(file), "0123456789");
}

TEST(Unicodeprotocol, OpenForWritingCreatesAndReplaces) {
    testsupport::TempDir dir;
    const std::string file = (dir / "out.bin").string();
    testsupport::WriteFile(file, "old content");
    TURLContext context;
    ASSERT_EQ(unicode_open(&context, ("unicode:utf8:" + file).c_str(), AVIO_FLAG_WRITE), 0);
    const unsigned char data[] = {'n', 'e', 'w'};
    EXPECT_EQ(unicode_write(&context, data, 3), 3);
    unicode_close(&context);
    EXPECT_EQ(testsupport::ReadFile(file), "new");
}

TEST(Unicodeprotocol, FFmpegReadsAFileThroughTheCustomInput) {
    enginetest::LoadPlayerLibraries();
    testsupport::TempDir dir;
    const fs::path file = dir / ("clip " + kBadByte + ".mp3");
    fs::copy_file(testsupport::MakeClip(testsupport::Clip::AudioOnly), file);
    int error = 0;
    AVIOContext* pb = unicode_avio_open("unicode:utf8:" + file.string(), AVIO_FLAG_READ, error);
    ASSERT_NE(pb, nullptr) << error;
    AVFormatContext* context = ff::avformat_alloc_context();
    context->pb = pb;
    context->flags |= AVFMT_FLAG_CUSTOM_IO;
    ASSERT_EQ(ff::avformat_open_input(&context, "", nullptr, nullptr), 0);
    ASSERT_GE(ff::avformat_find_stream_info(context, nullptr), 0);
    ASSERT_EQ(context->nb_streams, 1u);
    EXPECT_EQ(context->streams[0]->codecpar->codec_type, AVMEDIA_TYPE_AUDIO);
    EXPECT_GT(context->duration, 1500000);
    ff::avformat_close_input(&context);
    unicode_avio_close(pb);
    EXPECT_EQ(pb, nullptr);

    AVIOContext* missing =
        unicode_avio_open("unicode:utf8:" + (dir / "absent.mp3").string(), AVIO_FLAG_READ, error);
    EXPECT_EQ(missing, nullptr);
    EXPECT_EQ(error, AVERROR(ENOENT));
}
