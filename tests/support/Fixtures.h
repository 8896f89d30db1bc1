// Media clips made at test time with the ffmpeg tool, kept in the build folder and reused by later runs.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

enum class Clip {
    VideoAudio,   // 2 s, 320x240 H.264 at 25 fps with 44.1 kHz stereo AAC, in MP4
    AudioOnly,    // 2 s, 440 Hz sine, 44.1 kHz stereo, MP3
    VideoOnly,    // 2 s, 320x240 H.264 at 25 fps, in Matroska
    OddSize,      // 1 s, 641x481 video with audio, in Matroska
    MultiAudio,   // 2 s video with two audio tracks (440 Hz and 880 Hz), in Matroska
    PngSequence,  // a folder of 10 numbered PNG pictures; the path names the first, "frame001.png"
    Truncated,    // the first half of VideoAudio's bytes, in MP4
    NoStreams,    // a file that holds no audio or video stream: only a subtitle track, in Matroska
    LongVideo,    // 60 s, 320x240 H.264 at 25 fps, in Matroska: still playing through a test's steps
};

// The path of the clip, made first when it is not there yet. Throws when the ffmpeg tool fails.
std::filesystem::path MakeClip(Clip clip);

// Makes (once) a file named `name` in the fixture folder by running the ffmpeg tool with `args`,
// where the word "{out}" stands for the output path. Returns the path.
std::filesystem::path MakeFixture(const std::string& name, const std::vector<std::string>& args);

// The folder where fixtures are kept.
std::filesystem::path FixtureDir();

// Starts a program with an argument vector (no shell; a name without "/" is looked up on PATH). With an
// output file, the standard stream outputFd (1 or 2) is written to it, from the start. Returns the process
// id for the caller to wait for, or -1 when the program could not be started.
pid_t StartProgram(const std::vector<std::string>& argv, int outputFd = -1,
                   const std::filesystem::path& outputFile = {});

// Runs a program with an argument vector (no shell) and returns its exit status, or -1 when it
// could not be started.
int RunProgram(const std::vector<std::string>& argv);

}  // namespace testsupport
