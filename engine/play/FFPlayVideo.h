// The video side of a player, shared by its units: the decoder thread and the picture queue, the
// refresh pass, the output and the subtitle thread. The rules that need no file (where a picture goes,
// how long it stays, how a subtitle's colours and pixels are blended) are plain functions, so that they
// can be checked on their own.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "engine/base/Deinterlace.h"
#include "engine/play/EarlyOpen.h"
#include "engine/play/VideoPicture.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

struct AVFilterContext;
struct AVFilterGraph;
struct TAVPicture;

// The overlay's planes in YUV420P order: YV12 keeps V before U.
void OverlayPicture(const SDL_Overlay* AOverlay, TAVPicture& APicture);

// AAspect > 0 is the wanted aspect; otherwise the picture's own, from its size and sample aspect.
TDisplayRect display_rect_for_picture(int xleft, int ytop, int AAreaWidth, int AAreaHeight, int APicWidth,
                                      int APicHeight, AVRational ASar, float AAspect);
// The output size a picture asks for: its height, and the width its aspect gives, both even.
void default_window_size(int APicWidth, int APicHeight, AVRational ASar, int& AWidth, int& AHeight);
// The aspect a picture is shown with for the player's AspectRatio: negative fills the output area.
float output_aspect(float AAspectRatio, int AAreaWidth, int AAreaHeight);
// The four border rectangles around an inner rectangle of the output area: left, right, top, bottom.
struct TBorderRects {
    TDisplayRect r[4];
};
TBorderRects border_rects(int xleft, int ytop, int AWidth, int AHeight, const TDisplayRect& AInner);

// What the display delay of a picture is corrected by.
struct TSyncFacts {
    bool VideoMaster = false;     // the video clock is the master: no correction
    bool ExternalMaster = false;  // the external clock is the master
    double ExternalSpeed = 1.0;
    double Diff = 0.0;  // video clock minus master clock, seconds (NaN when either has no value)
    double MaxFrameDuration = 3600.0;
};
// The delay of the picture shown now, corrected so that the video follows the master clock.
double compute_target_delay(double ADelay, const TSyncFacts& AFacts);
// How long AVp stays when ANext follows it.
double compute_picture_duration(const TVideoPicture& AVp, const TVideoPicture& ANext,
                                double AMaxFrameDuration);

// A subtitle palette entry, 0xAARRGGBB, turned into 0xAAYYUUVV (studio-range BT.601).
uint32_t subtitle_palette_entry(uint32_t ARGBA);
// Blends a subtitle rectangle whose palette holds alpha, Y, U and V into a YUV420P picture of
// AWidth x AHeight (planes Y, U, V).
void blend_subtitle_rect(uint8_t* const AData[3], const int ALinesize[3], const AVSubtitleRect& ARect,
                         int AWidth, int AHeight);

// Copies the last visible pixel of each row into the column right of it, for each plane whose pitch is
// wider than its visible part (scalers may read one pixel past the edge).
void duplicate_right_column(uint8_t* const APlanes[3], const int APitches[3], int AWidth, int AHeight);

// Links a filter chain text (or nothing: a direct link) between a source and a sink, and configures the
// graph. 0 or a negative FFmpeg error code.
int attach_filter_chain(AVFilterGraph* AGraph, const char* AFilters, AVFilterContext* ASource,
                        AVFilterContext* ASink);

// What the video decoder thread keeps between pictures.
struct TVideoDecoderState {
    // The graph's key: rebuilt when the picture or the filter text differs.
    int last_w = 0;
    int last_h = 0;
    int last_format = -2;
    int last_serial = -1;
    std::string last_filters;
    AVRational frame_rate{0, 1};
    AVRational tb{0, 1};
    int out_w = 0;
    int out_h = 0;
    int out_format = -1;
    // Pictures an early open decoded ahead with the decoder this thread took over: shown first, after the
    // queue's first flush marker, which leaves that decoder as it is (keep_decoder_at_flush).
    std::deque<TEarlyDecode::TFramePtr> early_frames;
    bool keep_decoder_at_flush = false;
    // A packet sent to the decoder may give more pictures.
    bool packet_pending = false;
    bool packet_was_eos = false;
    int pkt_serial = 0;
    // The current filter graph and the deinterlacer's output picture; freed with the state.
    AVFilterGraph* graph = nullptr;
    AVFrame* deinterlaced = nullptr;

    TVideoDecoderState() = default;
    ~TVideoDecoderState();
    TVideoDecoderState(const TVideoDecoderState&) = delete;
    TVideoDecoderState& operator=(const TVideoDecoderState&) = delete;
};
