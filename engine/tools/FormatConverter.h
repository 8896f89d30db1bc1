// Moves pictures between FFmpeg and the engine's bitmap: a decoded picture in any pixel format becomes
// an RGB picture, which is copied into the bitmap for application code to draw on, copied back, and
// converted into a picture of a given pixel format. Conversions go through swscale with cached contexts.
//
// A converter has no lock: one thread at a time uses it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/base/Bitmap.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

struct SwsContext;
class TDisplayScaler;

// An FFmpeg picture: plane pointers and line sizes, as at the start of an AVFrame.
struct TAVPicture {
    uint8_t* data[8] = {};
    int linesize[8] = {};
};

// Owners of a buffer from the codec libraries' allocator and of a scaler context. Once the libraries are
// unloaded neither can be given back any more, and both are then left as they are.
struct TBufferDeleter {
    void operator()(uint8_t* buffer) const;
};
struct TSwsDeleter {
    void operator()(SwsContext* context) const;
};
using TBufferPtr = std::unique_ptr<uint8_t, TBufferDeleter>;
using TSwsPtr = std::unique_ptr<SwsContext, TSwsDeleter>;

// The scaler kept in AScaler for these sizes, formats and flags, made anew when any of them changed (the
// library frees the one it replaces); none when it cannot be made.
SwsContext* KeepScaler(TSwsPtr& AScaler, int ASrcW, int ASrcH, AVPixelFormat ASrcFormat, int ADstW, int ADstH,
                       AVPixelFormat ADstFormat, int AFlags);

// The description of the RGB picture in use, as a platform bitmap record gives it.
struct TDIB {
    int32_t bmType = 0;
    int32_t bmWidth = 0;
    int32_t bmHeight = 0;
    int32_t bmWidthBytes = 0;
    uint16_t bmPlanes = 0;
    uint16_t bmBitsPixel = 0;
    void* bmBits = nullptr;
};

class TFormatConverter {
public:
    TFormatConverter();
    ~TFormatConverter();
    TFormatConverter(const TFormatConverter&) = delete;
    TFormatConverter& operator=(const TFormatConverter&) = delete;

    TBitmap& Bitmap() { return FBitmap; }
    int BitsPixel() const { return FBitsPixel; }
    // 8, 15, 16, 24 or 32; anything else throws std::invalid_argument "Invalid BitsPixel %d".
    void SetBitsPixel(int AValue);
    TBMPPixelFormat BMPPixFmt() const { return FBMPPixFmt; }
    // pf8bit..pf32bit; anything else throws std::invalid_argument "Invalid PixelFormat %d".
    void SetBMPPixFmt(TBMPPixelFormat AValue);
    AVPixelFormat AVPixFmt() const { return FAVPixFmt; }
    const TDIB* DIB() const { return &FDIB; }
    const TAVPicture* RGBPicture() const { return &FRGBPicture; }
    // The RGB picture in use: the converter's own, or the caller's when it already had the RGB layout;
    // null before the first conversion and after a format change.
    const TAVPicture* RGBPictureRef() const { return FRGBPictureRef; }
    const std::string& LastErrMsg() const { return FLastErrMsg; }
    // Bytes held by the converter's own RGB buffer; it only grows.
    int RGBBufSize() const { return FRGBBufSize; }
    int sws_flags() const { return Fsws_flags; }
    void set_sws_flags(int AValue) { Fsws_flags = AValue; }

    // Takes a picture of AFormat into the RGB picture (in place when it already has the layout) and,
    // with AToBitmap, into the bitmap. False with LastErrMsg when no conversion context can be made.
    bool PictureToRGB(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth, int AHeight,
                      bool AToBitmap = true);
    // Copy the RGB picture into the bitmap, or back. Both throw std::logic_error "Assertion failure"
    // without an RGB picture in use.
    void RGBToBitmap();
    void BitmapToRGB();
    // Converts the RGB picture into APicture of AFormat. False with LastErrMsg when no conversion
    // context can be made; throws std::logic_error "Assertion failure" without an RGB picture in use.
    bool RGBToPicture(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth, int AHeight);

private:
    void ResetFormat();
    bool EnsureBuffer(int ASize);
    // Converts APicture into the RGB picture's buffer; false when no conversion can be set up.
    bool ConvertToRGB(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth, int AHeight);
    void RequirePicture() const;
    // Bytes of pixels in one row of the RGB side.
    int RowBytes() const;

    AVPixelFormat FAVPixFmt = AV_PIX_FMT_BGRA;
    int FBitsPixel = 32;
    TBitmap FBitmap;
    TBMPPixelFormat FBMPPixFmt = pf32bit;
    TDIB FDIB;
    TBufferPtr FRGBBuffer;
    int FRGBBufSize = 0;
    TAVPicture FRGBPicture;
    // The caller's picture when it is used in place.
    TAVPicture callerPicture_;
    const TAVPicture* FRGBPictureRef = nullptr;
    int Fsws_flags = 4;  // bicubic
    TSwsPtr FtoRGB_convert_ctx;
    // YUV 4:2:0 pictures, the decoders' usual output, go through the display scaler instead, which writes
    // exactly the picture's pixels at any width.
    std::unique_ptr<TDisplayScaler> yuvToRGB_;
    TSwsPtr FfromRGB_convert_ctx;
    std::string FLastErrMsg;
};
