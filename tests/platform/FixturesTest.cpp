// The fixture maker itself: every clip kind is made, holds the streams it promises, and is reused.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <memory>

#include "tests/support/Fixtures.h"

namespace {

using testsupport::Clip;

// Asks ffprobe for the codec types of a file's streams, one letter each (v, a, s).
std::string StreamKinds(const std::filesystem::path& file) {
    std::string cmd = "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + file.string() + "'";
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(cmd.c_str(), "r"), pclose);
    std::string kinds;
    std::array<char, 64> line{};
    while (pipe && fgets(line.data(), line.size(), pipe.get())) {
        kinds += line[0];
    }
    return kinds;
}

struct ClipCase {
    Clip clip;
    const char* kinds;
    const char* name;
};

void PrintTo(const ClipCase& c, std::ostream* os) { *os << c.name; }

class FixtureClips : public ::testing::TestWithParam<ClipCase> {};

TEST_P(FixtureClips, HoldTheirStreams) {
    auto path = testsupport::MakeClip(GetParam().clip);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(StreamKinds(path), GetParam().kinds);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FixtureClips,
                         ::testing::Values(ClipCase{Clip::VideoAudio, "va", "VideoAudio"},
                                           ClipCase{Clip::AudioOnly, "a", "AudioOnly"},
                                           ClipCase{Clip::VideoOnly, "v", "VideoOnly"},
                                           ClipCase{Clip::OddSize, "va", "OddSize"},
                                           ClipCase{Clip::MultiAudio, "vaa", "MultiAudio"},
                                           ClipCase{Clip::NoStreams, "s", "NoStreams"},
                                           ClipCase{Clip::PngSequence, "v", "PngSequence"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Fixtures, TruncatedClipIsHalfTheWholeOne) {
    auto whole = std::filesystem::file_size(testsupport::MakeClip(Clip::VideoAudio));
    auto part = std::filesystem::file_size(testsupport::MakeClip(Clip::Truncated));
    EXPECT_EQ(part, whole / 2);
}

TEST(Fixtures, AreReusedOnceMade) {
    auto path = testsupport::MakeClip(Clip::AudioOnly);
    auto before = std::filesystem::last_write_time(path);
    EXPECT_EQ(testsupport::MakeClip(Clip::AudioOnly), path);
    EXPECT_EQ(std::filesystem::last_write_time(path), before);
}

}  // namespace
