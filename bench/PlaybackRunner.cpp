// A headless engine player for the playback benchmark: plays one file with the engine and prints what it
// cost and how soon it showed something, as "name value" lines.
//
//   strevio_playback_runner FILE            plays FILE to its end
//   strevio_playback_runner FILE --seek S   opens FILE, seeks to S seconds at once, stops at the first
//                                           output there
//   --no-display                            shows nothing (for sound only, as other players' "no video")
//   --start-facts                           plays 2 s from the start and 2 s from the --seek position
//                                           (10 s without one) and prints how each start went
//
// "first_output" and "seek_output" are printed (and flushed) the moment that output comes, so that the
// caller can time them from the process start as it does for other players. Audio goes to the SDL audio
// driver named in SDL_AUDIODRIVER. A picture counts when the engine hands it to the frame hook; a file whose
// pictures are not played reports -1 for them.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/base/Myutils.h"
#include "engine/play/FFPlayPipeline.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point AStart, Clock::time_point AThen) {
    return std::chrono::duration<double, std::milli>(AThen - AStart).count();
}

struct TOutput {
    std::atomic<bool> picture{false};
    std::atomic<bool> sound{false};
    std::atomic<int64_t> lastPicturePts{AV_NOPTS_VALUE};
    std::atomic<int64_t> lastSoundPts{AV_NOPTS_VALUE};
};

// Pumps the owner's queued calls until done() holds or ASeconds pass.
// Pumps every AIntervalMs (short while waiting for output, longer while it plays, so that the runner's own
// polling costs little).
template <typename F>
bool PumpUntil(F done, double ASeconds, int AIntervalMs) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(ASeconds);
    while (!done()) {
        if (Clock::now() > deadline) {
            return false;
        }
        MyProcessMessages();
        std::this_thread::sleep_for(std::chrono::milliseconds(AIntervalMs));
    }
    return true;
}

// The engine plays the file's pictures: it has a video stream and runs a decoder for it.
bool PlaysPictures(TFFPlayer& player) {
    TVideoState* is = Pipeline(player).VideoState();
    return is && is->video_stream >= 0 && is->video_tid != nullptr;
}

bool PlayedToEnd(TFFPlayer& player, const TOutput& out) {
    TVideoState* is = Pipeline(player).VideoState();
    if (!is) {
        return true;
    }
    const bool audioDone = is->audio_stream < 0 || is->audio_finished == is->audioq.serial;
    // Pictures only count when the engine plays them.
    const bool videoDone = is->video_stream < 0 || !out.picture || is->video_finished == is->videoq.serial;
    return audioDone && videoDone;
}

// How a start went (at the open or after a seek), from the engine's own records: when the first picture
// was shown and the first sound handed to the device (milliseconds from the request), and how many
// pictures were skipped in the first 2 s of media.
void PrintStartFacts(TFFPlayer& player, const char* AName, Clock::time_point ARequest) {
    TVideoState* is = Pipeline(player).VideoState();
    const int drops0 = is->frame_drops_early + is->frame_drops_late;
    PumpUntil([&] { return !std::isnan(is->first_picture_time.load()) && !std::isnan(is->first_sound_time.load()); },
              30.0, 1);
    const double picturePts = is->first_picture_pts;
    // 2 s of media from the first picture, by the video clock.
    PumpUntil([&] { return clock_pts(&is->vidclk) >= picturePts + 2.0; }, 30.0, 5);
    const int drops = is->frame_drops_early + is->frame_drops_late - drops0;
    const double request = std::chrono::duration<double>(ARequest.time_since_epoch()).count();
    // GetSystemTime and steady_clock both run on the monotonic clock.
    const double picture = (is->first_picture_time - request) * 1000.0;
    const double sound = (is->first_sound_time - request) * 1000.0;
    std::printf("%s_first_picture_ms %.1f\n", AName, picture);
    std::printf("%s_first_sound_ms %.1f\n", AName, sound);
    std::printf("%s_sound_minus_picture_ms %.1f\n", AName, sound - picture);
    std::printf("%s_skipped_2s %d\n", AName, drops);
    std::fflush(stdout);
}

int RunStartFacts(TFFPlayer& player, const std::string& file, double seekTo) {
    // The start's drop count begins at the open, so the counters are read from a file just opened.
    const auto opened = Clock::now();
    if (!player.Open(file)) {
        std::fprintf(stderr, "cannot open %s: %s\n", file.c_str(), player.LastErrMsg().c_str());
        return 1;
    }
    PrintStartFacts(player, "start", opened);
    const auto seeked = Clock::now();
    player.Seek(static_cast<int64_t>((seekTo >= 0 ? seekTo : 10.0) * 1e6));
    PumpUntil([&] { return Pipeline(player).VideoState()->seek_req == 0; }, 30.0, 1);
    PrintStartFacts(player, "seek", seeked);
    player.Stop(true);
    return 0;
}

void PrintUsage() {
    std::fprintf(stderr, "usage: strevio_playback_runner FILE [--seek SECONDS] [--no-display] [--start-facts]\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string file;
    double seekTo = -1.0;
    bool display = true;
    bool startFacts = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--seek") == 0 && i + 1 < argc) {
            seekTo = std::atof(argv[++i]);
        } else if (std::strcmp(argv[i], "--no-display") == 0) {
            display = false;
        } else if (std::strcmp(argv[i], "--start-facts") == 0) {
            startFacts = true;
        } else if (file.empty() && argv[i][0] != '-') {
            file = argv[i];
        } else {
            PrintUsage();
            return 2;
        }
    }
    if (file.empty()) {
        PrintUsage();
        return 2;
    }
    SetMainThread();

    TFFPlayer player;
    if (!player.LoadAVLib("")) {
        std::fprintf(stderr, "cannot load the libraries: %s\n", player.LastErrMsg().c_str());
        return 1;
    }
    TOutput out;
    player.DisableDisplay = !display;
    player.RepeatType = rtNone;
    if (startFacts) {
        return RunStartFacts(player, file, seekTo);
    }
    player.AudioHook = true;
    player.OnAudioHook = [&out](TObject*, const int64_t& APTS, void*, int, int, int) {
        out.lastSoundPts = APTS;
        out.sound = true;
    };
    player.FrameHook = true;
    player.OnFrameHook = [&out](TObject*, uint8_t* const*, const int*, AVPixelFormat, int, int,
                                const int64_t& APTS) {
        out.lastPicturePts = APTS;
        out.picture = true;
    };

    const auto start = Clock::now();
    if (!player.Open(file)) {
        std::fprintf(stderr, "cannot open %s: %s\n", file.c_str(), player.LastErrMsg().c_str());
        return 1;
    }
    std::printf("open_ms %.1f\n", MsSince(start, Clock::now()));
    std::fflush(stdout);
    const double duration = Pipeline(player).VideoState() ? Pipeline(player).VideoState()->FileDuration / 1e6 : 0.0;
    // Pictures when the file has video and the engine plays it, else sound.
    const bool pictures = PlaysPictures(player);
    const auto firstOutput = [&] { return pictures ? out.picture.load() : out.sound.load(); };
    if (seekTo >= 0) {
        // Started at the seek position: the output that counts is the first one at the target (a key
        // frame may come up to a second earlier).
        const int64_t reached = static_cast<int64_t>(seekTo * 1e6) - 1000000;
        player.Seek(static_cast<int64_t>(seekTo * 1e6));
        const bool shown = PumpUntil(
            [&] {
                return pictures ? out.picture && out.lastPicturePts >= reached
                                : out.sound && out.lastSoundPts >= reached;
            },
            10.0, 1);
        std::printf(shown ? "seek_output\n" : "seek_output_missing\n");
        std::fflush(stdout);
    } else {
        PumpUntil(firstOutput, 10.0, 1);
        std::printf("first_output %s\n", out.picture ? "picture" : out.sound ? "sound" : "none");
        std::fflush(stdout);
        PumpUntil([&] { return PlayedToEnd(player, out); }, duration * 2 + 10, 10);
    }
    const double mediaSeconds = seekTo >= 0 ? 0.0 : duration;
    player.Stop(true);

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec +
                       usage.ru_stime.tv_usec / 1e6;
    std::printf("wall_s %.3f\n", MsSince(start, Clock::now()) / 1000.0);
    std::printf("media_s %.3f\n", mediaSeconds);
    std::printf("cpu_s %.3f\n", cpu);
    std::printf("peak_rss_kb %ld\n", usage.ru_maxrss);
    std::printf("pictures %s\n", out.picture ? "yes" : "no");
    return 0;
}
