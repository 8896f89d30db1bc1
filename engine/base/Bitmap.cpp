// The engine's bitmap.
#include "engine/base/Bitmap.h"

#include <stdexcept>

#include "engine/base/Myutils.h"

int PixelFormatBits(TPixelFormat AFormat) {
    switch (AFormat) {
        case pf8bit:
            return 8;
        case pf15bit:
        case pf16bit:
            return 16;
        case pf24bit:
            return 24;
        case pf32bit:
            return 32;
        default:
            return 0;
    }
}

void TBitmap::SetPixelFormat(TPixelFormat AFormat) {
    if (PixelFormatBits(AFormat) == 0) {
        throw std::invalid_argument(Format("Invalid PixelFormat %d", static_cast<int>(AFormat)));
    }
    if (AFormat != pixelFormat_) {
        pixelFormat_ = AFormat;
        Reallocate();
    }
}

void TBitmap::SetSize(int AWidth, int AHeight) {
    AWidth = AWidth < 0 ? 0 : AWidth;
    AHeight = AHeight < 0 ? 0 : AHeight;
    if (AWidth != width_ || AHeight != height_) {
        width_ = AWidth;
        height_ = AHeight;
        Reallocate();
    }
}

uint8_t* TBitmap::ScanLine(int ARow) {
    if (ARow < 0 || ARow >= height_ || pixels_.empty()) {
        return nullptr;
    }
    return pixels_.data() + static_cast<size_t>(ARow) * static_cast<size_t>(bytesPerLine_);
}

const uint8_t* TBitmap::ScanLine(int ARow) const {
    return const_cast<TBitmap*>(this)->ScanLine(ARow);
}

void TBitmap::Reallocate() {
    const int64_t bits = static_cast<int64_t>(width_) * PixelFormatBits(pixelFormat_);
    bytesPerLine_ = static_cast<int>((bits + 31) / 32 * 4);
    pixels_.assign(static_cast<size_t>(bytesPerLine_) * static_cast<size_t>(height_), 0);
}
