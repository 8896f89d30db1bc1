#include "engine/tools/DisplayScaler.h"

#include <algorithm>
#include <cstring>

#include "engine/load/FFAPI.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr AVPixelFormat kYUV = AV_PIX_FMT_YUV420P;
// The vector code wants its lines aligned this far.
constexpr int kLineAlign = 64;
// The vector colour conversion's group of pixels (eight or sixteen, by the processor).
constexpr int kConvertGroup = 16;

}  // namespace

bool TDisplayScaler::TOwnedPicture::Ensure(int AWidth, int AHeight, AVPixelFormat AFormat) {
    if (buffer_ && width_ == AWidth && height_ == AHeight && format_ == AFormat) {
        return true;
    }
    Reset();
    // av_image_alloc puts every plane in one buffer, freed through the first plane's pointer.
    if (ff::av_image_alloc(picture_.data, picture_.linesize, AWidth, AHeight, AFormat, kLineAlign) < 0) {
        picture_ = TAVPicture();
        return false;
    }
    buffer_.reset(picture_.data[0]);
    // Zeroed, for the edge's picture is read a whole group wide: what lies past its columns must be
    // defined.
    const int size = ff::av_image_get_buffer_size(AFormat, AWidth, AHeight, kLineAlign);
    std::memset(picture_.data[0], 0, static_cast<size_t>(std::max(size, 0)));
    width_ = AWidth;
    height_ = AHeight;
    format_ = AFormat;
    return true;
}

void TDisplayScaler::TOwnedPicture::Reset() {
    buffer_.reset();
    picture_ = TAVPicture();
    width_ = height_ = 0;
    format_ = AV_PIX_FMT_NONE;
}

bool TDisplayScaler::ConvertEdge(const TAVPicture& APicture, int AColumn, const TTarget& ATarget) {
    const int rest = ATarget.Width - AColumn;
    const int height = ATarget.Height;
    if (!KeepScaler(edge_, kConvertGroup, height, kYUV, kConvertGroup, height, ATarget.Format, flags_) ||
        !edgeSource_.Ensure(kConvertGroup, height, kYUV) ||
        !edgeTarget_.Ensure(kConvertGroup, height, ATarget.Format)) {
        return false;
    }
    // AColumn is even, so the chroma planes' columns start at its half exactly.
    const TAVPicture& source = edgeSource_.Picture();
    for (int plane = 0; plane < 3; ++plane) {
        const int shift = plane == 0 ? 0 : 1;
        const int rows = (height + shift) >> shift;
        const int bytes = (rest + shift) >> shift;
        for (int y = 0; y < rows; ++y) {
            std::memcpy(source.data[plane] + static_cast<ptrdiff_t>(y) * source.linesize[plane],
                        APicture.data[plane] + static_cast<ptrdiff_t>(y) * APicture.linesize[plane] +
                            (AColumn >> shift),
                        static_cast<size_t>(bytes));
        }
    }
    const TAVPicture& converted = edgeTarget_.Picture();
    ff::sws_scale(edge_.get(), source.data, source.linesize, 0, height, converted.data, converted.linesize);
    const ptrdiff_t offset = static_cast<ptrdiff_t>(AColumn) * ATarget.BytesPerPixel;
    for (int y = 0; y < height; ++y) {
        std::memcpy(ATarget.Pixels + static_cast<ptrdiff_t>(y) * ATarget.Pitch + offset,
                    converted.data[0] + static_cast<ptrdiff_t>(y) * converted.linesize[0],
                    static_cast<size_t>(rest) * ATarget.BytesPerPixel);
    }
    return true;
}

bool TDisplayScaler::Convert(const TAVPicture& APicture, const TTarget& ATarget) {
    const int whole = ATarget.Width - ATarget.Width % kConvertGroup;
    if (whole > 0) {
        if (!KeepScaler(convert_, whole, ATarget.Height, kYUV, whole, ATarget.Height, ATarget.Format,
                        flags_)) {
            return false;
        }
        uint8_t* target[4] = {ATarget.Pixels, nullptr, nullptr, nullptr};
        const int targetPitch[4] = {ATarget.Pitch, 0, 0, 0};
        ff::sws_scale(convert_.get(), APicture.data, APicture.linesize, 0, ATarget.Height, target,
                      targetPitch);
    }
    return whole == ATarget.Width || ConvertEdge(APicture, whole, ATarget);
}

bool TDisplayScaler::Draw(const TAVPicture& APicture, int AWidth, int AHeight, const TTarget& ATarget) {
    if (AWidth == ATarget.Width && AHeight == ATarget.Height) {
        scale_.reset();
        scaled_.Reset();
        return Convert(APicture, ATarget);
    }
    if (!KeepScaler(scale_, AWidth, AHeight, kYUV, ATarget.Width, ATarget.Height, kYUV, flags_) ||
        !scaled_.Ensure(ATarget.Width, ATarget.Height, kYUV)) {
        return false;
    }
    const TAVPicture& scaled = scaled_.Picture();
    ff::sws_scale(scale_.get(), APicture.data, APicture.linesize, 0, AHeight, scaled.data, scaled.linesize);
    return Convert(scaled, ATarget);
}

void TDisplayScaler::Reset() {
    scale_.reset();
    convert_.reset();
    edge_.reset();
    scaled_.Reset();
    edgeSource_.Reset();
    edgeTarget_.Reset();
}
