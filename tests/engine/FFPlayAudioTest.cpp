#include "engine/play/FFPlayAudio.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/load/FFAPI.h"
#include "engine/load/FFLoad.h"
#include "engine/play/FFPlayPipeline.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/PlayerTestSupport.h"
#include "tests/engine/XTestHost.h"
#include "tests/support/Fixtures.h"
#include "tests/support/TestEnv.h"

namespace {

using testsupport::MakeFixture;
using testsupport::ScopedEnv;
using testsupport::TempDir;

constexpr int kRate = 44100;
constexpr double kClipSeconds = 2.0;
constexpr double kSineHz = 440.0;
// Bytes of the whole clip as the device plays it: 16-bit stereo.
constexpr int kClipBytes = static_cast<int>(kClipSeconds * kRate) * 4;

// 2 s of a 440 Hz sine, 44.1 kHz stereo, 16-bit PCM: no encoder padding, so the length is exact.
std::filesystem::path SineClip() {
    return MakeFixture("audio_sine_440_stereo.wav",
                       {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2", "-ac", "2",
                        "-c:a", "pcm_s16le", "{out}"});
}

// The same sine in all six channels of a 5.1 layout, 16-bit PCM.
std::filesystem::path SurroundClip() {
    return MakeFixture("audio_sine_440_51.wav",
                       {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=2", "-af",
                        "pan=5.1|c0=c0|c1=c0|c2=c0|c3=c0|c4=c0|c5=c0", "-c:a", "pcm_s16le", "{out}"});
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            count += entry->d_name[0] != '.';
        }
        closedir(dir);
    }
    return count;
}

// What a run of interleaved stereo samples holds: where the sound starts and ends, its frequency, its
// loudest sample and the longest stretch of silence inside it.
struct TSound {
    bool any = false;
    double seconds = 0.0;
    double frequency = 0.0;
    int peak = 0;
    int longestSilence = 0;  // sample frames
};

TSound Analyse(const std::vector<int16_t>& stereo) {
    constexpr int kQuiet = 16;
    TSound sound;
    const int frames = static_cast<int>(stereo.size() / 2);
    auto loud = [&](int i) {
        return std::abs(stereo[2 * i]) > kQuiet || std::abs(stereo[2 * i + 1]) > kQuiet;
    };
    int first = 0;
    while (first < frames && !loud(first)) {
        ++first;
    }
    int last = frames - 1;
    while (last >= first && !loud(last)) {
        --last;
    }
    if (first >= frames) {
        return sound;
    }
    sound.any = true;
    sound.seconds = static_cast<double>(last - first + 1) / kRate;
    int run = 0;
    double firstCross = -1.0;
    double lastCross = -1.0;
    int crossings = 0;
    for (int i = first; i <= last; ++i) {
        const int left = stereo[2 * i];
        sound.peak = std::max({sound.peak, std::abs(left), std::abs(static_cast<int>(stereo[2 * i + 1]))});
        run = std::abs(left) <= 2 && std::abs(stereo[2 * i + 1]) <= 2 ? run + 1 : 0;
        sound.longestSilence = std::max(sound.longestSilence, run);
        if (i > first && stereo[2 * (i - 1)] < 0 && left >= 0) {
            // Rising zero crossing, placed between the two samples.
            const double prev = stereo[2 * (i - 1)];
            const double at = (i - 1) + (-prev) / (left - prev);
            if (firstCross < 0) {
                firstCross = at;
            }
            lastCross = at;
            ++crossings;
        }
    }
    if (crossings > 1) {
        sound.frequency = (crossings - 1) * kRate / (lastCross - firstCross);
    }
    return sound;
}

std::vector<int16_t> ReadSamples(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<int16_t> samples(bytes.size() / 2);
    std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
    return samples;
}

uintmax_t FileSize(const std::filesystem::path& file) {
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(file, error);
    return error ? 0 : size;
}

// SDL's disk driver: what the device plays goes into a file, written at the pace of the device's
// buffer (1024 sample frames of 44.1 kHz are 23 ms).
class DiskDevice {
public:
    DiskDevice()
        : fDriver("SDL_AUDIODRIVER", "disk"),
          fFile("SDL_DISKAUDIOFILE", (fDir / "out.raw").string()),
          fDelay("SDL_DISKAUDIODELAY", "23") {}
    std::filesystem::path File() const { return fDir / "out.raw"; }

private:
    TempDir fDir;
    ScopedEnv fDriver;
    ScopedEnv fFile;
    ScopedEnv fDelay;
};

class FFPlayAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        if (!FFLoader().Loaded(libSoundTouch)) {
            FFLoader().Load(libSoundTouch);
        }
        player = std::make_unique<TFFPlayer>();
        ASSERT_TRUE(player->LoadAVLib("")) << player->LastErrMsg();
        // The end of the file changes nothing: the tests look at one run through it.
        player->RepeatType = rtNone;
        player->AudioHook = true;
        player->OnAudioHook = [this](TObject*, const int64_t&, void* ASample, int ASize, int ARate,
                                     int AChannels) {
            std::lock_guard lock(hookLock);
            const auto* samples = static_cast<const int16_t*>(ASample);
            hooked.insert(hooked.end(), samples, samples + ASize / 2);
            hookRate = ARate;
            hookChannels = AChannels;
            hookedBytes += ASize;
        };
    }
    void TearDown() override { player.reset(); }

    std::vector<int16_t> Hooked() {
        std::lock_guard lock(hookLock);
        return hooked;
    }

    // Waits until the decoder has reached the end of the audio and every block went to the device.
    bool WaitForAudioEnd() {
        return playertest::WaitUntil(
            [&] {
                TVideoState* is = Pipeline(*player).VideoState();
                return is && is->audio_finished == is->audioq.serial;
            },
            30000);
    }

    // Plays the sine clip to its end through the disk device and returns what the device wrote.
    std::vector<int16_t> PlayToDisk() {
        DiskDevice disk;
        EXPECT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
        EXPECT_TRUE(WaitForAudioEnd());
        // The last block reaches the file when the device asks for the next one.
        const uintmax_t atEnd = FileSize(disk.File());
        uintmax_t last = atEnd;
        int still = 0;
        playertest::WaitUntil(
            [&] {
                const uintmax_t now = FileSize(disk.File());
                still = now == last ? still + 1 : 0;
                last = now;
                return now >= atEnd + 2 * 4096 || still >= 40;
            },
            10000);
        player->Stop(true);
        return ReadSamples(disk.File());
    }

    std::unique_ptr<TFFPlayer> player;
    std::mutex hookLock;
    std::vector<int16_t> hooked;
    int hookRate = 0;
    int hookChannels = 0;
    std::atomic<int> hookedBytes{0};
};

TEST_F(FFPlayAudioTest, DiskDeviceWritesTheWholeSineWithoutGaps) {
    const TSound sound = Analyse(PlayToDisk());
    ASSERT_TRUE(sound.any);
    EXPECT_NEAR(sound.frequency, kSineHz, 1.0);
    EXPECT_NEAR(sound.seconds, kClipSeconds, 0.050);
    EXPECT_LT(sound.longestSilence, 4) << "a gap inside the sound";
    // lavfi's sine has an eighth of full scale; spread from one channel to two it is 3 dB lower.
    EXPECT_NEAR(sound.peak, 4096 / std::sqrt(2.0), 64);
}

TEST_F(FFPlayAudioTest, VolumeScalesTheSamplesAndFullVolumeCopiesThem) {
    player->AudioVolume = 128;
    const TSound full = Analyse(PlayToDisk());
    const std::vector<int16_t> decoded = Hooked();
    player->AudioVolume = 64;
    const TSound half = Analyse(PlayToDisk());
    ASSERT_TRUE(full.any);
    ASSERT_TRUE(half.any);
    EXPECT_NEAR(static_cast<double>(half.peak) / full.peak, 0.5, 0.01);
    EXPECT_NEAR(half.frequency, kSineHz, 1.0);
    // The hook saw the decoded blocks before the volume: the same loudness both times.
    const TSound hookedSound = Analyse(Hooked());
    EXPECT_EQ(hookedSound.peak, Analyse(decoded).peak);
}

TEST_F(FFPlayAudioTest, MuteWritesSilenceWhileDecodingAndTheClockGoOn) {
    player->Mute = true;
    DiskDevice disk;
    ASSERT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_NE(is, nullptr);
    // The audio clock follows the blocks played, muted or not.
    EXPECT_TRUE(playertest::WaitUntil([&] { return clock_value(&is->audclk) > 1.5; }, 30000));
    EXPECT_TRUE(WaitForAudioEnd());
    EXPECT_EQ(hookedBytes.load(), kClipBytes);
    player->Stop(true);
    const std::vector<int16_t> written = ReadSamples(disk.File());
    EXPECT_GT(written.size() * 2, static_cast<size_t>(kClipBytes / 2));
    EXPECT_FALSE(Analyse(written).any) << "muted output holds sound";
}

TEST_F(FFPlayAudioTest, HookGetsEveryDecodedBlockWithTheDeviceFormat) {
    ASSERT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
    ASSERT_TRUE(WaitForAudioEnd());
    // An audio-only file shows waves: the views' ring holds every sample played, in order.
    std::vector<int16_t> ring;
    int index = -1;
    int pending = -1;
    audio_snapshot_samples(Pipeline(*player).VideoState(), ring, index, pending, 2, 0, kSampleArraySize);
    ASSERT_EQ(ring.size(), static_cast<size_t>(kSampleArraySize));
    EXPECT_EQ(index, kClipBytes / 2);
    EXPECT_GE(pending, 0);
    EXPECT_NEAR(Analyse(std::vector<int16_t>(ring.begin(), ring.begin() + index)).frequency, kSineHz, 1.0);
    // A view's copy brings the span it reads, back from the write position, and nothing older.
    std::vector<int16_t> span;
    int spanIndex = -1;
    int spanPending = -1;
    constexpr int kFrames = 300;
    constexpr int kExtra = 50;
    audio_snapshot_samples(Pipeline(*player).VideoState(), span, spanIndex, spanPending, 2, kFrames, kExtra);
    ASSERT_EQ(span.size(), static_cast<size_t>(kSampleArraySize));
    ASSERT_EQ(spanIndex, index);
    const int first = index - (spanPending / 4 + kFrames) * 2 - kExtra;
    ASSERT_GT(first, 0);
    EXPECT_TRUE(std::equal(span.begin() + first, span.begin() + index, ring.begin() + first));
    EXPECT_TRUE(std::all_of(span.begin(), span.begin() + first, [](int16_t s) { return s == 0; }));
    player->Stop(true);
    EXPECT_EQ(hookedBytes.load(), kClipBytes);
    EXPECT_EQ(hookRate, kRate);
    EXPECT_EQ(hookChannels, 2);
    const TSound sound = Analyse(Hooked());
    EXPECT_NEAR(sound.seconds, kClipSeconds, 0.001);
    EXPECT_NEAR(sound.frequency, kSineHz, 1.0);
}

TEST_F(FFPlayAudioTest, FilterTextShapesTheSoundAndItsFiltersAreConfiguredFirst) {
    player->AudioFilters = "volume=0.5";
    ASSERT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
    ASSERT_TRUE(WaitForAudioEnd());
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_NE(is, nullptr);
    {
        std::lock_guard graphLock(is->filter_command_lock);
        const AVFilterGraph* graph = is->agraph.load();
        ASSERT_NE(graph, nullptr);
        ASSERT_GT(graph->nb_filters, 0u);
        // Built as the video graph is: the text's filters go ahead of the source and the sink.
        EXPECT_STREQ(graph->filters[0]->filter->name, "volume");
    }
    player->Stop(true);
    const TSound sound = Analyse(Hooked());
    ASSERT_TRUE(sound.any);
    EXPECT_NEAR(sound.frequency, kSineHz, 1.0);
    EXPECT_NEAR(sound.peak, 4096 / std::sqrt(2.0) / 2, 32);
}

TEST_F(FFPlayAudioTest, DoubleSpeedWithTheTempoProcessorKeepsThePitchInHalfTheTime) {
    ASSERT_TRUE(FFLoader().Loaded(libSoundTouch));
    player->SetSyncType(stExternal);
    player->SetPlaybackSpeed(2.0);
    ASSERT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
    ASSERT_TRUE(WaitForAudioEnd());
    player->Stop(true);
    // The tempo processor keeps some samples back at the end, never more than a fraction of a second.
    EXPECT_LE(hookedBytes.load(), kClipBytes / 2);
    EXPECT_GT(hookedBytes.load(), kClipBytes / 2 - kRate * 4 / 5);
    const TSound sound = Analyse(Hooked());
    ASSERT_TRUE(sound.any);
    EXPECT_NEAR(sound.frequency, kSineHz, 2.0);
}

// Without a usable tempo processor each block is replaced by silence of half its length.
struct TSilentTempoCase {
    const char* name;
    bool enableAudioSpeed;
    bool withLibrary;
    bool surround;
};

class FFPlayAudioSilentTempoTest : public FFPlayAudioTest,
                                   public ::testing::WithParamInterface<TSilentTempoCase> {};

TEST_P(FFPlayAudioSilentTempoTest, DoubleSpeedPlaysHalfAsMuchSilence) {
    const TSilentTempoCase& c = GetParam();
    player->EnableAudioSpeed = c.enableAudioSpeed;
    if (!c.withLibrary) {
        FFLoader().Unload(libSoundTouch);
    }
    player->SetSyncType(stExternal);
    player->SetPlaybackSpeed(2.0);
    ASSERT_TRUE(player->Open((c.surround ? SurroundClip() : SineClip()).string())) << player->LastErrMsg();
    ASSERT_TRUE(WaitForAudioEnd());
    player->Stop(true);
    const std::vector<int16_t> blocks = Hooked();
    ASSERT_FALSE(blocks.empty());
    EXPECT_TRUE(std::all_of(blocks.begin(), blocks.end(), [](int16_t s) { return s == 0; }));
    if (!c.surround) {
        EXPECT_NEAR(hookedBytes.load(), kClipBytes / 2, 4 * 64);
    }
    FFLoader().Load(libSoundTouch);
}

INSTANTIATE_TEST_SUITE_P(Cases, FFPlayAudioSilentTempoTest,
                         ::testing::Values(TSilentTempoCase{"SpeedChangeDisabled", false, true, false},
                                           TSilentTempoCase{"NoSoundTouchLibrary", true, false, false},
                                           TSilentTempoCase{"MoreThanTwoChannels", true, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(FFPlayAudioTest, SurroundClipPlaysOnAStereoDeviceWhenAsked) {
    ScopedEnv channels("SDL_AUDIO_CHANNELS", "2");
    ASSERT_TRUE(player->Open(SurroundClip().string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_NE(is, nullptr);
    EXPECT_EQ(is->audio_tgt.channels, 2);
    EXPECT_EQ(is->audio_tgt.channel_layout, static_cast<int64_t>(AV_CH_LAYOUT_STEREO));
    ASSERT_TRUE(WaitForAudioEnd());
    player->Stop(true);
    EXPECT_EQ(hookChannels, 2);
    const TSound sound = Analyse(Hooked());
    ASSERT_TRUE(sound.any);
    EXPECT_NEAR(sound.frequency, kSineHz, 1.0);
    EXPECT_NEAR(sound.seconds, kClipSeconds, 0.001);
}

TEST_F(FFPlayAudioTest, SurroundClipOpensASurroundDeviceByDefault) {
    ScopedEnv channels("SDL_AUDIO_CHANNELS", std::nullopt);
    ASSERT_TRUE(player->Open(SurroundClip().string())) << player->LastErrMsg();
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_NE(is, nullptr);
    EXPECT_EQ(is->audio_tgt.channels, 6);
    player->Stop(true);
}

TEST_F(FFPlayAudioTest, StopDuringPlaybackAndAtTheEndLeavesNoThread) {
    ASSERT_TRUE(player->Open(SineClip().string()));
    player->Stop(true);
    const int threads = ThreadCount();
    // Stopped while blocks flow, while paused, and at the end when the callback waits for packets.
    for (int phase = 0; phase < 3; ++phase) {
        hookedBytes = 0;
        ASSERT_TRUE(player->Open(SineClip().string())) << player->LastErrMsg();
        ASSERT_TRUE(playertest::WaitUntil([&] { return hookedBytes > 0; }));
        if (phase == 1) {
            player->Pause();
        } else if (phase == 2) {
            ASSERT_TRUE(WaitForAudioEnd());
        }
        player->Stop(true);
        EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
        EXPECT_TRUE(playertest::WaitUntil([&] { return ThreadCount() <= threads; })) << "phase " << phase;
    }
}

TEST_F(FFPlayAudioTest, ManyOpenPlayStopCyclesAreClean) {
    const std::string clip = SineClip().string();
    ASSERT_TRUE(player->Open(clip));
    player->Stop(true);
    const int threads = ThreadCount();
    // Each cycle stops a file whose sound is running (the hook has had a block); the close racing the
    // callback is stormed harder in the lifetime storm tests.
    for (int i = 0; i < 50; ++i) {
        hookedBytes = 0;
        ASSERT_TRUE(player->Open(clip)) << "cycle " << i << ": " << player->LastErrMsg();
        ASSERT_TRUE(playertest::WaitUntil([&] { return hookedBytes > 0; })) << "cycle " << i;
        player->Stop(i % 2 == 0);
    }
    player->Stop(true);
    EXPECT_EQ(Pipeline(*player).VideoState(), nullptr);
    EXPECT_TRUE(playertest::WaitUntil([&] { return ThreadCount() <= threads; }));
}

TEST_F(FFPlayAudioTest, PausedPlaybackHandsNoBlocksAndResumesFromTheAudio) {
    ASSERT_TRUE(player->Open(SineClip().string()));
    TVideoState* is = Pipeline(*player).VideoState();
    ASSERT_TRUE(playertest::WaitUntil([&] { return clock_value(&is->audclk) > 0.3; }));
    player->Pause();
    const int atPause = hookedBytes;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // At most the block that was being made when the pause came.
    EXPECT_LE(hookedBytes - atPause, 16384);
    player->Resume();
    ASSERT_TRUE(WaitForAudioEnd());
    // The clock went on from the audio data: the whole clip was handed over once.
    EXPECT_EQ(hookedBytes.load(), kClipBytes);
    player->Stop(true);
}

// Short sound-only files, read whole in a few packets long before they have played: the end comes once
// the sound has been played, with every block handed to the device, not when the reading ends.
struct TShortSoundCase {
    const char* Name;
    const char* Codec;
    const char* Extension;
    int Seconds;
};

void PrintTo(const TShortSoundCase& c, std::ostream* AOut) {
    *AOut << c.Name;
}

class ShortSoundFileTest : public FFPlayAudioTest, public ::testing::WithParamInterface<TShortSoundCase> {};

TEST_P(ShortSoundFileTest, EndsWhenTheSoundHasBeenPlayed) {
    const TShortSoundCase& c = GetParam();
    DiskDevice disk;
    const std::string seconds = std::to_string(c.Seconds);
    const std::filesystem::path clip =
        MakeFixture(std::string("short_sound_") + c.Name + c.Extension,
                    {"-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100:duration=" + seconds, "-ac", "2",
                     "-c:a", c.Codec, "{out}"});
    std::atomic<int> bytesAtEnd = -1;
    player->OnState = [&](TObject*, TPlayState AState) {
        if (AState == psEnd && bytesAtEnd < 0) {
            bytesAtEnd = hookedBytes.load();
        }
    };
    ASSERT_TRUE(player->Open(clip.string())) << player->LastErrMsg();
    ASSERT_TRUE(playertest::WaitUntil([&] { return bytesAtEnd >= 0; }, 30000));
    player->Stop(true);
    EXPECT_EQ(bytesAtEnd.load(), c.Seconds * kRate * 4);
}

INSTANTIATE_TEST_SUITE_P(Files, ShortSoundFileTest,
                         ::testing::Values(TShortSoundCase{"Tta2s", "tta", ".tta", 2},
                                           TShortSoundCase{"Tta5s", "tta", ".tta", 5},
                                           TShortSoundCase{"WavPack3s", "wavpack", ".wv", 3}),
                         [](const ::testing::TestParamInfo<TShortSoundCase>& AInfo) {
                             return std::string(AInfo.param.Name);
                         });

// The device-open seam: a device that refuses some channel counts.
struct TFallbackCase {
    const char* name;
    int wantedChannels;
    int rate;
    std::set<int> refused;
    std::vector<int> expectedTries;
    int expectedChannels;  // -1: the open fails
    const char* expectedLog;
};

class AudioOpenFallbackTest : public ::testing::TestWithParam<TFallbackCase> {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
        is.Owner = &player;
        is.audio.reset(new TAudioState);
    }
    // The seam's closer refers to the test's own variables: the device is not closed again at the end.
    void TearDown() override { is.audio->device_open = false; }

    TFFPlayer player;
    TVideoState is;
};

TEST_P(AudioOpenFallbackTest, TriesTheNextChannelCountOfTheTable) {
    const TFallbackCase& c = GetParam();
    ScopedEnv channels("SDL_AUDIO_CHANNELS", std::nullopt);
    playertest::LogCapture log;
    std::vector<int> tries;
    int closes = 0;
    is.audio->device.Open = [&](SDL_AudioSpec* wanted, SDL_AudioSpec* obtained) {
        tries.push_back(wanted->channels);
        if (c.refused.count(wanted->channels)) {
            return -1;
        }
        *obtained = *wanted;
        obtained->size = wanted->samples * wanted->channels * 2;
        return 0;
    };
    is.audio->device.Close = [&] { ++closes; };
    TAudioParams params;
    const int size = audio_open(&is, 0, c.wantedChannels, c.rate, params);
    EXPECT_EQ(tries, c.expectedTries);
    if (c.expectedChannels < 0) {
        EXPECT_EQ(size, -1);
        EXPECT_FALSE(is.audio->device_open);
    } else {
        EXPECT_EQ(size, kAudioDeviceSamples * c.expectedChannels * 2);
        EXPECT_EQ(params.channels, c.expectedChannels);
        EXPECT_EQ(std::popcount(static_cast<uint64_t>(params.channel_layout)), c.expectedChannels);
        EXPECT_EQ(params.frame_size, 2 * c.expectedChannels);
        EXPECT_EQ(params.bytes_per_sec, c.rate * 2 * c.expectedChannels);
        EXPECT_EQ(params.fmt, AV_SAMPLE_FMT_S16);
        EXPECT_TRUE(is.audio->device_open);
    }
    EXPECT_EQ(closes, 0);
    if (c.expectedLog[0]) {
        EXPECT_TRUE(log.Contains(c.expectedLog)) << log.All();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AudioOpenFallbackTest,
    ::testing::Values(
        TFallbackCase{"SixRefusedTriesFourTwoOne",
                      6,
                      48000,
                      {6, 4, 2, 1},
                      {6, 4, 2, 1},
                      -1,
                      "No more channel combinations to try, audio open failed"},
        TFallbackCase{"SixRefusedOpensFour", 6, 48000, {6}, {6, 4}, 4, "SDL_OpenAudio (6 channels): "},
        TFallbackCase{"StereoRefusedOpensMono", 2, 44100, {2}, {2, 1}, 1, ""},
        TFallbackCase{"MonoRefusedGivesUp", 1, 44100, {1}, {1}, -1, "No more channel combinations"},
        TFallbackCase{"ThreeRefusedOpensSix", 3, 44100, {3}, {3, 6}, 6, ""},
        TFallbackCase{"FiveRefusedOpensSix", 5, 44100, {5}, {5, 6}, 6, ""},
        TFallbackCase{"SevenRefusedOpensSix", 7, 44100, {7}, {7, 6}, 6, ""},
        TFallbackCase{"EightRefusedOpensSix", 8, 44100, {8}, {8, 6}, 6, ""},
        TFallbackCase{"NothingRefused", 2, 22050, {}, {2}, 2, ""},
        TFallbackCase{"NoRate", 2, 0, {}, {}, -1, "Invalid sample rate or channel count!"},
        TFallbackCase{"NoChannels", 0, 44100, {}, {}, -1, "Invalid sample rate or channel count!"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(AudioOpenFallbackTest, ChannelCountFromTheEnvironmentWins) {
    ScopedEnv channels("SDL_AUDIO_CHANNELS", "2");
    std::vector<int> tries;
    is.audio->device.Open = [&](SDL_AudioSpec* wanted, SDL_AudioSpec* obtained) {
        tries.push_back(wanted->channels);
        *obtained = *wanted;
        return 0;
    };
    is.audio->device.Close = [] {};
    TAudioParams params;
    EXPECT_GE(audio_open(&is, static_cast<int64_t>(AV_CH_LAYOUT_5POINT1), 6, 48000, params), 0);
    EXPECT_EQ(tries, std::vector<int>{2});
    EXPECT_EQ(params.channel_layout, static_cast<int64_t>(AV_CH_LAYOUT_STEREO));
}

TEST_F(AudioOpenFallbackTest, DeviceAnswersAreCheckedAndAFailureClosesIt) {
    ScopedEnv channels("SDL_AUDIO_CHANNELS", std::nullopt);
    playertest::LogCapture log;
    int closes = 0;
    SDL_AudioSpec answer{};
    is.audio->device.Open = [&](SDL_AudioSpec* wanted, SDL_AudioSpec* obtained) {
        *obtained = *wanted;
        obtained->format = answer.format ? answer.format : wanted->format;
        obtained->channels = answer.channels ? answer.channels : wanted->channels;
        return 0;
    };
    is.audio->device.Close = [&] { ++closes; };
    TAudioParams params;

    // Another channel count is taken with its default layout.
    answer.channels = 2;
    EXPECT_GE(audio_open(&is, static_cast<int64_t>(AV_CH_LAYOUT_5POINT1), 6, 48000, params), 0);
    EXPECT_EQ(params.channels, 2);
    EXPECT_EQ(params.channel_layout, static_cast<int64_t>(AV_CH_LAYOUT_STEREO));
    EXPECT_EQ(closes, 0);

    // Another sample format cannot be fed.
    answer = SDL_AudioSpec{};
    answer.format = AUDIO_U8;
    EXPECT_EQ(audio_open(&is, 0, 2, 48000, params), -1);
    EXPECT_TRUE(log.Contains("SDL advised audio format 8 is not supported!")) << log.All();
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(is.audio->device_open);
}

TEST(AudioChannelTableTest, NextCountsFollowTheTable) {
    const int expected[] = {0, 0, 1, 6, 2, 6, 4, 6, 6, 6};
    for (int count = 0; count < 10; ++count) {
        EXPECT_EQ(next_audio_channel_count(count), expected[count]) << count;
    }
}

// 10 s of 25 fps video with a 440 Hz tone, in MP4 with AAC (whose encoder delay moves the audio's start).
// Small pictures, so that even a busy machine decodes them in time: the test is about the sync rule.
std::filesystem::path AudioVideoClip() {
    return MakeFixture("av_sync_10s_96x64.mp4",
                       {"-f", "lavfi", "-i", "testsrc2=size=96x64:rate=25:duration=10", "-f", "lavfi", "-i",
                        "sine=frequency=440:sample_rate=44100:duration=10", "-c:v", "mpeg4", "-q:v", "5",
                        "-c:a", "aac", "-shortest", "{out}"});
}

// Video and audio played together into a window: each picture is due when the sound (the audio clock)
// reaches its time, for the whole file.
TEST(AudioVideoSyncTest, PicturesFollowTheSoundWithinFortyMilliseconds) {
    enginetest::KeepXServer();
    enginetest::LoadPlayerLibraries();
    TFFPlayer player;
    ASSERT_TRUE(player.LoadAVLib("")) << player.LastErrMsg();
    player.VideoDriver = vdDirectDraw;
    player.RepeatType = rtNone;
    enginetest::XTestHost window(96, 64);
    ASSERT_TRUE(player.Open(AudioVideoClip().string(), &window)) << player.LastErrMsg();
    TVideoState* is = Pipeline(player).VideoState();
    ASSERT_NE(is, nullptr);
    ASSERT_GE(is->video_stream, 0);
    ASSERT_GE(is->audio_stream, 0);
    // At each picture shown, its time against the sound clock at the moment the engine had it due, as
    // the engine recorded them: how late the play thread itself ran on a busy machine does not count.
    // From the first second on: the first picture is shown as soon as it is decoded, wherever the sound
    // has got to by then. On a busy machine the audio callback runs late now and then, and the audio
    // clock jumps by that much until the sync rule (which lets up to 100 ms pass before it corrects)
    // catches up; a fault of the sync puts the pictures off all the time. So: half the pictures within
    // 40 ms, nine in ten within the rule's 100 ms.
    std::vector<double> offsets;
    double worstAt = NAN;
    double lastShown = NAN;
    int shownCount = 0;
    playertest::WaitUntil(
        [&] {
            window.Pump();
            std::lock_guard lock(is->pictq_mutex);
            shownCount = is->shown_count;
            if (is->shown_pts != lastShown && !std::isnan(is->shown_master_at_due)) {
                lastShown = is->shown_pts;
                if (lastShown >= 1.0) {
                    const double offset = std::fabs(is->shown_pts - is->shown_master_at_due);
                    if (offsets.empty() || offset > *std::max_element(offsets.begin(), offsets.end())) {
                        worstAt = lastShown;
                    }
                    offsets.push_back(offset);
                }
            }
            return lastShown >= 9.5;
        },
        40000);
    EXPECT_EQ(master_sync_kind(is), AV_SYNC_AUDIO_MASTER);
    player.Stop(true);
    EXPECT_GE(lastShown, 9.5) << "the pictures did not reach the end";
    EXPECT_GT(shownCount, 200);
    ASSERT_GT(offsets.size(), 100u);
    std::sort(offsets.begin(), offsets.end());
    const std::string worst =
        "worst " + std::to_string(offsets.back()) + " s at " + std::to_string(worstAt) + " s";
    EXPECT_LE(offsets[offsets.size() / 2], 0.040) << worst;
    EXPECT_LE(offsets[offsets.size() * 9 / 10], 0.100) << worst;
}

// The sync correction against a master clock other than the audio clock.
class AudioSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        enginetest::LoadPlayerLibraries();
        clock_init(&is.audclk, &is.audioq.serial);
        clock_init(&is.vidclk, &is.videoq.serial);
        clock_init(&is.extclk, nullptr);
        is.av_sync_type = AV_SYNC_EXTERNAL_CLOCK;
        is.audio_src.freq = 44100;
        is.audio_diff_avg_coef = std::exp(std::log(0.01) / 20);
        is.audio_diff_threshold = 0.005;
    }
    // Audio ahead of the master by ADiff seconds.
    void SetDifference(double ADiff) {
        clock_set(&is.extclk, 100.0, clock_serial(&is.extclk));
        clock_set(&is.audclk, 100.0 + ADiff, is.audioq.serial);
    }

    TVideoState is;
};

TEST_F(AudioSyncTest, AudioMasterKeepsTheCount) {
    is.av_sync_type = AV_SYNC_AUDIO_MASTER;
    is.audio_st = reinterpret_cast<AVStream*>(&is);  // any stream: audio is there
    SetDifference(0.5);
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152);
    }
    is.audio_st = nullptr;
}

TEST_F(AudioSyncTest, OtherSpeedScalesTheCount) {
    clock_set_speed(&is.extclk, 2.0);
    SetDifference(0.0);
    EXPECT_EQ(audio_sync_sample_count(&is, 1152), 576);
    clock_set_speed(&is.extclk, 0.5);
    EXPECT_EQ(audio_sync_sample_count(&is, 1152), 2304);
}

TEST_F(AudioSyncTest, TwentyMeasurementsComeBeforeACorrectionHeldToTenPercent) {
    SetDifference(0.05);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152) << "measurement " << i;
    }
    EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152 * 110 / 100);
    SetDifference(-0.05);
    is.audio_diff_cum = 0;
    EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152 * 90 / 100);
}

TEST_F(AudioSyncTest, SmallDriftWithinTheThresholdIsLeftAlone) {
    SetDifference(0.001);
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152);
    }
}

TEST_F(AudioSyncTest, DifferenceOfTwelveSecondsResetsTheAverage) {
    SetDifference(0.05);
    for (int i = 0; i < 25; ++i) {
        audio_sync_sample_count(&is, 1152);
    }
    SetDifference(12.0);
    EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152);
    EXPECT_EQ(is.audio_diff_avg_count, 0);
    EXPECT_EQ(is.audio_diff_cum, 0.0);
    // The averaging starts again: 20 more measurements before a correction.
    SetDifference(0.05);
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(audio_sync_sample_count(&is, 1152), 1152);
    }
    EXPECT_NE(audio_sync_sample_count(&is, 1152), 1152);
}

}  // namespace
