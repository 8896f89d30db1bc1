// The engine's bitmap: a block of RGB pixels that application code draws on, in the layout the GUI's
// image classes wrap without a copy (rows top-down, each row padded to a multiple of 4 bytes).
//
// Its lock stands for the drawing surface's lock: whoever draws on the pixels while an engine thread
// may use them holds it (the video hook holds it for the whole call of the owner's handler).
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "engine/base/FFBaseComponent.h"

// Pixel formats of a bitmap, with the class library's ordinals; pf8bit..pf32bit are the ones a bitmap
// of the engine takes.
enum TPixelFormat : int32_t {
    pfDevice = 0,
    pf1bit = 1,
    pf4bit = 2,
    pf8bit = 3,
    pf15bit = 4,
    pf16bit = 5,
    pf24bit = 6,
    pf32bit = 7,
    pfCustom = 8
};
using TBMPPixelFormat = TPixelFormat;

// Bits that one pixel takes in memory (15-bit pixels take 16); 0 for formats a bitmap cannot take.
int PixelFormatBits(TPixelFormat AFormat);

class TBitmap : public TObject {
public:
    TBitmap() = default;

    int Width() const { return width_; }
    int Height() const { return height_; }
    TPixelFormat PixelFormat() const { return pixelFormat_; }
    // Changes the pixel format; the pixels are cleared. Throws std::invalid_argument outside
    // pf8bit..pf32bit.
    void SetPixelFormat(TPixelFormat AFormat);
    // Changes the size; nothing when it is the same, else the pixels are cleared. Negative sizes count
    // as 0.
    void SetSize(int AWidth, int AHeight);
    // Bytes from one row to the next: the row's pixels rounded up to a multiple of 32 bits.
    int BytesPerLine() const { return bytesPerLine_; }
    // Row ARow (0 is the top row); null for an empty bitmap or a row outside it.
    uint8_t* ScanLine(int ARow);
    const uint8_t* ScanLine(int ARow) const;
    uint8_t* Bits() { return pixels_.empty() ? nullptr : pixels_.data(); }

    // The drawing lock (BasicLockable, so std::lock_guard and std::unique_lock take it).
    void lock() { canvasLock_.lock(); }
    void unlock() { canvasLock_.unlock(); }
    bool try_lock() { return canvasLock_.try_lock(); }

private:
    void Reallocate();

    int width_ = 0;
    int height_ = 0;
    TPixelFormat pixelFormat_ = pf32bit;
    int bytesPerLine_ = 0;
    std::vector<uint8_t> pixels_;
    std::mutex canvasLock_;
};
