// Puts a YUV 4:2:0 picture into an area of an RGB surface, at the area's size.
//
// A picture shown at another size is first scaled in YUV and then converted to RGB at its new size:
// the scaler's RGB output with a vertical filter runs in plain C, while its YUV scaling and its
// same-size colour conversion have vector forms, so the two passes take about a third less time than
// one. A picture shown at its own size is converted in one pass.
//
// The vector colour conversion works on groups of up to sixteen pixels: given a width that is not a whole
// number of groups it writes past the end of each line (into the next line, or past the surface at the
// last one), reads past the end of the picture's lines, or leaves the last pixels out. So it converts the
// width rounded down to sixteen in place, and the last few columns through a picture one group wide of its
// own, from which they are copied.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/tools/FormatConverter.h"

extern "C" {
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

class TDisplayScaler {
public:
    struct TTarget {
        uint8_t* Pixels = nullptr;  // the area's top left pixel
        int Pitch = 0;              // bytes from one line of the surface to the next
        int Width = 0;
        int Height = 0;
        int BytesPerPixel = 0;
        AVPixelFormat Format = AV_PIX_FMT_NONE;
    };

    // The scaler's flags (filter and rounding); bilinear in its fastest form unless set (SDL stretched by
    // taking the nearest pixel).
    void SetScaleFlags(int AFlags) { flags_ = AFlags; }
    // False when the scaler cannot be set up for these sizes and formats; nothing is drawn then.
    bool Draw(const TAVPicture& APicture, int AWidth, int AHeight, const TTarget& ATarget);
    // Frees the scalers and pictures (the codec libraries must still be bound).
    void Reset();

private:
    // A picture in one buffer of the codec libraries' allocator, kept while its size and format stay.
    class TOwnedPicture {
    public:
        bool Ensure(int AWidth, int AHeight, AVPixelFormat AFormat);
        void Reset();
        const TAVPicture& Picture() const { return picture_; }

    private:
        TBufferPtr buffer_;
        TAVPicture picture_;
        int width_ = 0;
        int height_ = 0;
        AVPixelFormat format_ = AV_PIX_FMT_NONE;
    };

    // Converts a YUV 4:2:0 picture of the target's size into the target.
    bool Convert(const TAVPicture& APicture, const TTarget& ATarget);
    // Converts the picture's columns from AColumn (a multiple of the group) to the target's width.
    bool ConvertEdge(const TAVPicture& APicture, int AColumn, const TTarget& ATarget);

    int flags_ = SWS_FAST_BILINEAR;
    TSwsPtr scale_;    // the picture to the area's size, in YUV (only when the sizes differ)
    TSwsPtr convert_;  // YUV to the surface's RGB, the area's width rounded down to the group
    TSwsPtr edge_;     // YUV to the surface's RGB, one group wide
    TOwnedPicture scaled_;
    TOwnedPicture edgeSource_;
    TOwnedPicture edgeTarget_;
};
