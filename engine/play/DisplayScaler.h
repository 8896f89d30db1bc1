// Puts a YUV 4:2:0 picture into an area of an RGB surface, at the area's size.
//
// A picture shown at another size is first scaled in YUV and then converted to RGB at its new size:
// the scaler's RGB output with a vertical filter runs in plain C, while its YUV scaling and its
// same-size colour conversion have vector forms, so the two passes take about a third less time than
// one. A picture shown at its own size is converted in one pass.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/tools/FormatConverter.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;

class TDisplayScaler {
public:
    struct TTarget {
        uint8_t* Pixels = nullptr;  // the area's top left pixel
        int Pitch = 0;              // bytes from one line of the surface to the next
        int Width = 0;
        int Height = 0;
        AVPixelFormat Format = AV_PIX_FMT_NONE;
    };

    // False when the scaler cannot be set up for these sizes and formats; nothing is drawn then.
    bool Draw(const TAVPicture& APicture, int AWidth, int AHeight, const TTarget& ATarget);
    // Frees the scalers and the picture between the passes (the codec libraries must still be bound).
    void Reset();

private:
    // The scaler kept in AScaler for these sizes and formats, made anew when they changed.
    static SwsContext* Prepare(TSwsPtr& AScaler, int ASrcW, int ASrcH, AVPixelFormat ASrcFormat, int ADstW,
                               int ADstH, AVPixelFormat ADstFormat);
    bool PrepareScaled(int AWidth, int AHeight);

    TSwsPtr scale_;    // the picture to the area's size, in YUV (only when the sizes differ)
    TSwsPtr convert_;  // YUV to the surface's RGB, at the area's size
    TBufferPtr scaledBuffer_;
    TAVPicture scaled_;
    int scaledWidth_ = 0;
    int scaledHeight_ = 0;
};
