#include "tests/support/Fixtures.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

namespace fs = std::filesystem;

fs::path FixtureDir() {
    fs::path dir = STREVIO_FIXTURE_DIR;
    fs::create_directories(dir);
    return dir;
}

pid_t StartProgram(const std::vector<std::string>& argv, int outputFd, const fs::path& outputFile) {
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (outputFd >= 0 && !outputFile.empty()) {
        posix_spawn_file_actions_addopen(&actions, outputFd, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    pid_t pid = -1;
    const int started = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return started == 0 ? pid : -1;
}

int RunProgram(const std::vector<std::string>& argv) {
    const pid_t pid = StartProgram(argv);
    if (pid < 0) {
        return -1;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

// Tests run in parallel: each maker writes a private temporary name and renames it into place, so a
// reader sees either no file or a whole one.
fs::path TemporaryNameFor(const fs::path& target) {
    return target.parent_path() /
           (".tmp-" + std::to_string(getpid()) + "-" + target.filename().string());
}

void RunFfmpeg(const std::vector<std::string>& args, const fs::path& out) {
    std::vector<std::string> argv{"ffmpeg", "-nostdin", "-v", "error", "-y"};
    for (const auto& a : args) {
        argv.push_back(a == "{out}" ? out.string() : a);
    }
    if (RunProgram(argv) != 0) {
        throw std::runtime_error("ffmpeg failed to make " + out.string());
    }
}

const std::vector<std::string> kVideo320 = {"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=2"};
const std::vector<std::string> kSine440 = {"-f", "lavfi", "-i",
                                           "sine=frequency=440:sample_rate=44100:duration=2", "-ac", "2"};

std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts) {
    std::vector<std::string> all;
    for (const auto& p : parts) {
        all.insert(all.end(), p.begin(), p.end());
    }
    return all;
}

const std::vector<std::string> kH264 = {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"};

fs::path MakePngSequence() {
    fs::path dir = FixtureDir() / "pngseq";
    fs::path first = dir / "frame001.png";
    if (fs::exists(dir / "frame010.png")) {
        return first;
    }
    fs::path tmp = TemporaryNameFor(dir);
    fs::create_directories(tmp);
    RunFfmpeg({"-f", "lavfi", "-i", "testsrc2=size=160x120:rate=10", "-frames:v", "10", "{out}"},
              tmp / "frame%03d.png");
    std::error_code ec;
    fs::rename(tmp, dir, ec);
    if (ec) {
        fs::remove_all(tmp);  // another process won the race; its folder is whole
    }
    return first;
}

fs::path MakeTruncated() {
    fs::path target = FixtureDir() / "truncated.mp4";
    if (fs::exists(target)) {
        return target;
    }
    fs::path whole = MakeClip(Clip::VideoAudio);
    auto size = fs::file_size(whole);
    std::ifstream in(whole, std::ios::binary);
    std::string bytes(size / 2, '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::path tmp = TemporaryNameFor(target);
    std::ofstream(tmp, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    fs::rename(tmp, target);
    return target;
}

}  // namespace

fs::path MakeFixture(const std::string& name, const std::vector<std::string>& args) {
    fs::path target = FixtureDir() / name;
    if (fs::exists(target)) {
        return target;
    }
    fs::path tmp = TemporaryNameFor(target);
    std::vector<std::string> withFormat = args;
    // The temporary name hides the extension from ffmpeg, so name the container from the target's.
    std::string ext = target.extension().string();
    if (!ext.empty() && std::find(args.begin(), args.end(), "-f") == args.end()) {
        static const std::vector<std::pair<std::string, std::string>> kMuxers = {
            {".mp4", "mp4"}, {".mkv", "matroska"}, {".mp3", "mp3"}, {".wav", "wav"},
            {".avi", "avi"}, {".flv", "flv"}, {".mov", "mov"}, {".ogg", "ogg"}, {".srt", "srt"}};
        for (const auto& [e, muxer] : kMuxers) {
            if (e == ext) {
                withFormat.insert(withFormat.end() - 1, {"-f", muxer});
            }
        }
    }
    RunFfmpeg(withFormat, tmp);
    fs::rename(tmp, target);
    return target;
}

fs::path MakeClip(Clip clip) {
    switch (clip) {
        case Clip::VideoAudio:
            return MakeFixture("video_audio.mp4",
                               Join({kVideo320, kSine440, kH264, {"-c:a", "aac", "-shortest", "{out}"}}));
        case Clip::AudioOnly:
            return MakeFixture("audio_only.mp3", Join({kSine440, {"-c:a", "libmp3lame", "{out}"}}));
        case Clip::VideoOnly:
            return MakeFixture("video_only.mkv", Join({kVideo320, kH264, {"{out}"}}));
        case Clip::OddSize:
            return MakeFixture("odd_size.mkv",
                               Join({{"-f", "lavfi", "-i", "testsrc2=size=641x481:rate=25:duration=1"},
                                     {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=1"},
                                     {"-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p"},
                                     {"-c:a", "aac", "-shortest", "{out}"}}));
        case Clip::MultiAudio:
            return MakeFixture(
                "multi_audio.mkv",
                Join({kVideo320, kSine440,
                      {"-f", "lavfi", "-i", "sine=frequency=880:sample_rate=44100:duration=2"},
                      kH264,
                      {"-map", "0:v", "-map", "1:a", "-map", "2:a", "-c:a", "aac", "-shortest", "{out}"}}));
        case Clip::PngSequence:
            return MakePngSequence();
        case Clip::Truncated:
            return MakeTruncated();
        case Clip::NoStreams: {
            fs::path srt = FixtureDir() / "no_streams.srt";
            if (!fs::exists(srt)) {
                fs::path tmp = TemporaryNameFor(srt);
                std::ofstream(tmp) << "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n";
                fs::rename(tmp, srt);
            }
            return MakeFixture("no_streams.mkv", {"-i", srt.string(), "-c:s", "srt", "{out}"});
        }
        case Clip::LongVideo:
            return MakeFixture("long_video_320x240.mkv",
                               Join({{"-f", "lavfi", "-i", "testsrc2=size=320x240:rate=25:duration=60"}, kH264,
                                     {"{out}"}}));
    }
    throw std::logic_error("unknown clip");
}

}  // namespace testsupport
