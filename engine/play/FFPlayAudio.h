// The audio pipeline of one open file: decoded audio goes through the audio filter graph, then through
// the resampler (normal speed) or the tempo processor (another playback speed), into SDL's audio device,
// whose callback also keeps the audio clock.
//
// The callback runs on SDL's audio thread. It never blocks on a condition: it polls the audio queue
// every millisecond and checks the pause and abort flags on each poll, so a pause or a close is never
// held up by it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <SDL.h>

#include "engine/load/libsdl.h"
#include "engine/play/VideoState.h"

struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct AVPacket;
struct SwrContext;

// Samples the device asks for per callback, and the size of the silence block in bytes.
inline constexpr int kAudioDeviceSamples = 1024;
inline constexpr int kSilenceBlockBytes = 1024;
// Samples kept for the waves and spectrum view.
inline constexpr int kSampleArraySize = 524288;
// Full volume: samples are copied unchanged.
inline constexpr int kFullAudioVolume = 128;

struct TPacketFree {
    void operator()(AVPacket* pkt) const;
};
struct TFrameFree {
    void operator()(AVFrame* frame) const;
};
struct TSwrFree {
    void operator()(SwrContext* swr) const;
};
struct TFilterGraphFree {
    void operator()(AVFilterGraph* graph) const;
};

// The audio device: opening is a seam, so that the channel fallback can be checked against a device
// that refuses some channel counts. Both default to SDL's own calls.
struct TAudioDevice {
    std::function<int(SDL_AudioSpec* AWanted, SDL_AudioSpec* AObtained)> Open;
    std::function<void()> Close;
};

// The audio data of one open file beyond the record's shared audio fields. Created when the audio
// stream opens and freed when it closes; freeing closes the device first, so that the callback has
// stopped before anything it uses goes.
struct TAudioState {
    TAudioState() = default;
    ~TAudioState();
    TAudioState(const TAudioState&) = delete;
    TAudioState& operator=(const TAudioState&) = delete;

    TSDLEntries sdl;           // the player's SDL entry points
    TAudioDevice device;       // how the device is opened and closed
    bool device_open = false;  // the stream's opener and closer only

    // Audio thread only from here to the sample ring.
    std::unique_ptr<AVPacket, TPacketFree> audio_pkt;
    bool pkt_active = false;  // the packet still has frames to give
    bool pkt_sent = false;    // the packet went to the decoder
    int audio_pkt_temp_serial = -1;
    std::unique_ptr<AVFrame, TFrameFree> frame;
    uint8_t* audio_buf = nullptr;   // the block being played: audio_buf1, the frame or silence_buf
    uint8_t* audio_buf1 = nullptr;  // grows, never shrinks; av_malloc'ed
    unsigned audio_buf1_size = 0;
    bool audio_buf_frames_pending = false;
    uint8_t silence_buf[kSilenceBlockBytes] = {};
    std::unique_ptr<SwrContext, TSwrFree> swr_ctx;
    std::unique_ptr<AVFilterGraph, TFilterGraphFree> graph;  // published in the record's agraph
    AVFilterContext* in_audio_filter = nullptr;
    AVFilterContext* out_audio_filter = nullptr;
    int64_t audio_frame_next_pts = INT64_MIN;  // in 1 / source rate; INT64_MIN = none
    void* soundtouch = nullptr;
    int st_channels = 0;
    int st_sample_rate = 0;
    double st_tempo = 0.0;

    // Bytes of the current block not yet handed to the device (read by the waves view).
    std::atomic<int> audio_write_buf_size{0};
    // The waves and spectrum view's ring of the latest samples.
    std::mutex sample_lock;  // guards sample_array and sample_array_index
    std::vector<int16_t> sample_array = std::vector<int16_t>(kSampleArraySize);
    int sample_array_index = 0;
};

// The next channel count to try after the device refused ACount channels; 0 = give up.
int next_audio_channel_count(int ACount);

// Rebuilds the audio filter graph from audio_filter_src to 16-bit samples; with AForceOutputFormat the
// output also takes audio_tgt's layout and rate. 0 or a negative FFmpeg error.
int configure_audio_filters(TVideoState* is, const std::string& afilters, bool AForceOutputFormat);
// Bytes ready in the state's audio_buf, or a negative value when nothing can be played now.
int audio_decode_frame(TVideoState* is, double& out_time);
// The samples a block of ACount samples should have to follow the master clock.
int audio_sync_sample_count(TVideoState* is, int ACount);
// SDL's audio callback; the user data is the record.
void audio_device_callback(void* opaque, Uint8* stream, int len);
void store_display_samples(TVideoState* is, const uint8_t* data, int len);
// For the audio views: the ring's write position, the bytes of the current block not yet handed to the
// device, and in ARing (kSampleArraySize samples, each at its place in the ring) a copy of the samples a
// view can read: those of the device's pending block plus AExtraFrames frames of AChannels samples plus
// AExtraSamples, counted back from the write position. The rest of ARing keeps older samples. Silence
// without an open audio stream.
void audio_snapshot_samples(TVideoState* is, std::vector<int16_t>& ARing, int& AIndex, int& AWriteBufSize,
                            int AChannels, int AExtraFrames, int AExtraSamples);
// Opens the device with a fallback over channel counts; the device buffer size in bytes, or -1.
int audio_open(TVideoState* is, int64_t wanted_channel_layout, int wanted_nb_channels, int wanted_sample_rate,
               TAudioParams& audio_hw_params);

// The audio part of opening and closing the stream: the record's audio state, filter graph and device.
// The decoder context must already be in the record. AWithDevice replaces SDL's device (tests).
int audio_component_open(TVideoState* is, const TAudioDevice* AWithDevice = nullptr);
// Lets the device play (after the stream's queue has started).
void audio_component_start(TVideoState* is);
// Closes the device and frees the audio state; the audio queue must be aborted first.
void audio_component_close(TVideoState* is);
