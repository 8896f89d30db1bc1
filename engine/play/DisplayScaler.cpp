#include "engine/play/DisplayScaler.h"

#include "engine/load/FFAPI.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

// Bilinear, in the scaler's fastest form (SDL stretched by taking the nearest pixel).
constexpr int kScaleFlags = SWS_FAST_BILINEAR;
constexpr AVPixelFormat kYUV = AV_PIX_FMT_YUV420P;
// The vector code wants its lines aligned this far.
constexpr int kLineAlign = 64;

}  // namespace

SwsContext* TDisplayScaler::Prepare(TSwsPtr& AScaler, int ASrcW, int ASrcH, AVPixelFormat ASrcFormat,
                                    int ADstW, int ADstH, AVPixelFormat ADstFormat) {
    // The cached form frees the context it was given when it has to make another.
    AScaler.reset(ff::sws_getCachedContext(AScaler.release(), ASrcW, ASrcH, ASrcFormat, ADstW, ADstH,
                                           ADstFormat, kScaleFlags, nullptr, nullptr, nullptr));
    return AScaler.get();
}

bool TDisplayScaler::PrepareScaled(int AWidth, int AHeight) {
    if (scaledBuffer_ && scaledWidth_ == AWidth && scaledHeight_ == AHeight) {
        return true;
    }
    scaledBuffer_.reset();
    scaled_ = TAVPicture();
    scaledWidth_ = scaledHeight_ = 0;
    // av_image_alloc puts every plane in one buffer, freed through the first plane's pointer.
    if (ff::av_image_alloc(scaled_.data, scaled_.linesize, AWidth, AHeight, kYUV, kLineAlign) < 0) {
        scaled_ = TAVPicture();
        return false;
    }
    scaledBuffer_.reset(scaled_.data[0]);
    scaledWidth_ = AWidth;
    scaledHeight_ = AHeight;
    return true;
}

bool TDisplayScaler::Draw(const TAVPicture& APicture, int AWidth, int AHeight, const TTarget& ATarget) {
    uint8_t* target[4] = {ATarget.Pixels, nullptr, nullptr, nullptr};
    const int targetPitch[4] = {ATarget.Pitch, 0, 0, 0};
    if (AWidth == ATarget.Width && AHeight == ATarget.Height) {
        scale_.reset();
        scaledBuffer_.reset();
        scaledWidth_ = scaledHeight_ = 0;
        if (!Prepare(convert_, AWidth, AHeight, kYUV, AWidth, AHeight, ATarget.Format)) {
            return false;
        }
        ff::sws_scale(convert_.get(), APicture.data, APicture.linesize, 0, AHeight, target, targetPitch);
        return true;
    }
    if (!Prepare(scale_, AWidth, AHeight, kYUV, ATarget.Width, ATarget.Height, kYUV) ||
        !Prepare(convert_, ATarget.Width, ATarget.Height, kYUV, ATarget.Width, ATarget.Height,
                 ATarget.Format) ||
        !PrepareScaled(ATarget.Width, ATarget.Height)) {
        return false;
    }
    ff::sws_scale(scale_.get(), APicture.data, APicture.linesize, 0, AHeight, scaled_.data, scaled_.linesize);
    ff::sws_scale(convert_.get(), scaled_.data, scaled_.linesize, 0, ATarget.Height, target, targetPitch);
    return true;
}

void TDisplayScaler::Reset() {
    scale_.reset();
    convert_.reset();
    scaledBuffer_.reset();
    scaled_ = TAVPicture();
    scaledWidth_ = scaledHeight_ = 0;
}
