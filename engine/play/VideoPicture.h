// The slots between the video and subtitle decoders and the play thread: decoded pictures in SDL
// overlays, decoded bitmap subtitles, and what the output draws the audio views from.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/rational.h>
}

struct SDL_Overlay;
struct RDFTContext;

inline constexpr int VIDEO_PICTURE_QUEUE_SIZE = 3;
inline constexpr int SUBPICTURE_QUEUE_SIZE = 4;
inline constexpr int SAMPLE_ARRAY_SIZE = 8 * 65536;

// The rectangle a picture occupies inside the output area (SDL's rectangle, in surface pixels).
struct TDisplayRect {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
    bool operator==(const TDisplayRect&) const = default;
};

// One picture of the picture queue. Its overlay is made and freed on the play thread only.
struct TVideoPicture {
    double pts = 0.0;       // seconds; NaN when the frame had no timestamp
    double duration = 0.0;  // nominal display time in seconds; 0 when the frame rate is unknown
    int64_t pos = -1;       // byte position of the packet in the input
    SDL_Overlay* bmp = nullptr;
    int width = 0;                  // even
    int height = 0;                 // even
    std::atomic<int> allocated{0};  // the overlay matches width x height; under pictq_mutex
    int serial = 0;
    AVRational sar{0, 1};
    std::atomic<int> abort_allocate{0};  // the overlay could not be made
};

// One decoded subtitle; its palette already holds alpha, Y, U and V.
struct TSubPicture {
    double pts = 0.0;  // seconds
    AVSubtitle sub{};
    int serial = 0;
};
