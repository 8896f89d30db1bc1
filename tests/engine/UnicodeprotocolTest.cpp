#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

#include "engine/FFAPI.h"
#include "engine/FFLoad.h"
#include "engine/Unicodeprotocol.h"
#include "tests/engine/EngineTestSupport.h"
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

TEST(Unicodeprotocol, FileNamesForFFmpeg) {
    enginetest::LoadPlayerLibraries();
    ASSERT_TRUE(unicode_protocol_registered());
    struct Case {
        std::string name;
        std::string expected;
    };
    const Case cases[] = {
        // Not an image sequence: the bytes as they are, whatever they hold.
        {"/music/caf\xc3\xa9 " + kBadByte + ".mp3", "/music/caf\xc3\xa9 " + kBadByte + ".mp3"},
        // An image sequence the code page holds goes as code-page text.
        {"/pics/\xce\xb1"
         "frame%03d.jpg",
         "/pics/\xce\xb1"
         "frame%03d.jpg"},
        // One it cannot hold goes through the protocol.
        {"/pics/" + kBadByte + "%03d.jpg", "unicode:utf8:/pics/" + kBadByte + "%03d.jpg"},
        // A listed scheme goes as (lossy) code-page text.
        {"tcp:host" + kBadByte + ".jpg", "tcp:host?.jpg"},
        {"http:x" + kBadByte + "\xc3\xa9.png", "http:x?\xc3\xa9.png"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ffmpeg_filename(c.name), c.expected) << c.name;
    }
    // Names longer than any fixed buffer pass whole.
    const std::string longName = "/" + std::string(5000, 'a') + ".mp4";
    EXPECT_EQ(ffmpeg_filename(longName), longName);
}

TEST(Unicodeprotocol, NativeFileNamesUndoTheProtocolPrefix) {
    enginetest::LoadPlayerLibraries();
    const std::string name = "/pics/" + kBadByte + "%03d.jpg";
    EXPECT_EQ(native_filename(ffmpeg_filename(name)), name);
    EXPECT_EQ(native_filename("unicode:utf8:/a.mp3"), "unicode:utf8:/a.mp3");  // not an image sequence
    EXPECT_EQ(native_filename("/plain/name.png"), "/plain/name.png");
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
