// The format converter.
#include "engine/tools/FormatConverter.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "engine/base/Myutils.h"
#include "engine/load/FFAPI.h"
#include "engine/tools/DisplayScaler.h"

namespace {

// Bytes kept after the RGB picture for the scaler's reads past its last line.
constexpr size_t kReadSlack = 64;

// The RGB side of each bitmap format. 15- and 16-bit bitmaps keep red in the high bits of each
// little-endian word, as the platform's and the GUI's 16-bit images do.
struct TFormatRow {
    TBMPPixelFormat Format;
    int Bits;
    AVPixelFormat AVFormat;
};

constexpr TFormatRow kFormats[] = {
    {pf8bit, 8, AV_PIX_FMT_BGR8},    {pf15bit, 16, AV_PIX_FMT_RGB555LE}, {pf16bit, 16, AV_PIX_FMT_RGB565LE},
    {pf24bit, 24, AV_PIX_FMT_BGR24}, {pf32bit, 32, AV_PIX_FMT_BGRA},
};

const TFormatRow* FindFormat(TBMPPixelFormat AFormat) {
    for (const TFormatRow& row : kFormats) {
        if (row.Format == AFormat) {
            return &row;
        }
    }
    return nullptr;
}

}  // namespace

void TBufferDeleter::operator()(uint8_t* buffer) const {
    if (ff::av_free) {
        ff::av_free(buffer);
    }
}

void TSwsDeleter::operator()(SwsContext* context) const {
    if (ff::sws_freeContext) {
        ff::sws_freeContext(context);
    }
}

SwsContext* KeepScaler(TSwsPtr& AScaler, int ASrcW, int ASrcH, AVPixelFormat ASrcFormat, int ADstW, int ADstH,
                       AVPixelFormat ADstFormat, int AFlags) {
    AScaler.reset(ff::sws_getCachedContext(AScaler.release(), ASrcW, ASrcH, ASrcFormat, ADstW, ADstH,
                                           ADstFormat, AFlags, nullptr, nullptr, nullptr));
    return AScaler.get();
}

TFormatConverter::TFormatConverter() {
    ResetFormat();
}

TFormatConverter::~TFormatConverter() = default;

void TFormatConverter::ResetFormat() {
    FDIB = TDIB{};
    FRGBPicture = TAVPicture{};
    callerPicture_ = TAVPicture{};
    FRGBPictureRef = nullptr;
    const TFormatRow* row = FindFormat(FBMPPixFmt);
    FBitsPixel = row->Bits;
    FAVPixFmt = row->AVFormat;
    FBitmap.SetPixelFormat(FBMPPixFmt);
}

void TFormatConverter::SetBitsPixel(int AValue) {
    if (AValue == FBitsPixel) {
        return;
    }
    switch (AValue) {
        case 8:
            FBMPPixFmt = pf8bit;
            break;
        case 15:
            FBMPPixFmt = pf15bit;
            break;
        case 16:
            FBMPPixFmt = pf16bit;
            break;
        case 24:
            FBMPPixFmt = pf24bit;
            break;
        case 32:
            FBMPPixFmt = pf32bit;
            break;
        default:
            throw std::invalid_argument(Format("Invalid BitsPixel %d", AValue));
    }
    ResetFormat();
}

void TFormatConverter::SetBMPPixFmt(TBMPPixelFormat AValue) {
    if (AValue == FBMPPixFmt) {
        return;
    }
    if (!FindFormat(AValue)) {
        throw std::invalid_argument(Format("Invalid PixelFormat %d", static_cast<int>(AValue)));
    }
    FBMPPixFmt = AValue;
    ResetFormat();
}

int TFormatConverter::RowBytes() const {
    return (FBitmap.Width() * FBitsPixel + 7) / 8;
}

bool TFormatConverter::EnsureBuffer(int ASize) {
    if (FRGBBuffer && FRGBBufSize >= ASize) {
        return true;
    }
    FRGBBuffer.reset();
    FRGBBufSize = 0;
    // swscale reads packed pixels in pairs, so for an odd width it reads one pixel past the last line.
    FRGBBuffer.reset(static_cast<uint8_t*>(ff::av_malloc(static_cast<size_t>(ASize) + kReadSlack)));
    if (!FRGBBuffer) {
        return false;
    }
    FRGBBufSize = ASize;
    return true;
}

namespace {

// swscale asserts on a format number outside FFmpeg's table instead of failing.
bool KnownPixelFormat(AVPixelFormat AFormat) {
    return AFormat > AV_PIX_FMT_NONE && AFormat < AV_PIX_FMT_NB;
}

}  // namespace

bool TFormatConverter::ConvertToRGB(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth,
                                    int AHeight) {
    if (AFormat == AV_PIX_FMT_YUV420P) {
        if (!yuvToRGB_) {
            yuvToRGB_ = std::make_unique<TDisplayScaler>();
        }
        yuvToRGB_->SetScaleFlags(Fsws_flags);
        return yuvToRGB_->Draw(
            APicture, AWidth, AHeight,
            {FRGBPicture.data[0], FRGBPicture.linesize[0], AWidth, AHeight, (FBitsPixel + 7) / 8, FAVPixFmt});
    }
    if (!KeepScaler(FtoRGB_convert_ctx, AWidth, AHeight, AFormat, AWidth, AHeight, FAVPixFmt, Fsws_flags)) {
        return false;
    }
    ff::sws_scale(FtoRGB_convert_ctx.get(), APicture.data, APicture.linesize, 0, AHeight, FRGBPicture.data,
                  FRGBPicture.linesize);
    return true;
}

bool TFormatConverter::PictureToRGB(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth,
                                    int AHeight, bool AToBitmap) {
    FBitmap.SetSize(AWidth, AHeight);
    const bool inPlace = AFormat == FAVPixFmt && AWidth % 2 == 0 && AHeight % 2 == 0 &&
                         APicture.linesize[0] == FBitmap.BytesPerLine();
    if (inPlace) {
        callerPicture_ = APicture;
        FRGBPictureRef = &callerPicture_;
    } else {
        FRGBPictureRef = nullptr;
        const int size =
            AWidth > 0 && AHeight > 0 ? ff::av_image_get_buffer_size(FAVPixFmt, AWidth, AHeight, 1) : -1;
        if (size <= 0 || !KnownPixelFormat(AFormat) || !EnsureBuffer(size)) {
            FLastErrMsg = "Cannot initialize the toRGB conversion context";
            return false;
        }
        FRGBPicture = TAVPicture{};
        ff::av_image_fill_arrays(FRGBPicture.data, FRGBPicture.linesize, FRGBBuffer.get(), FAVPixFmt, AWidth,
                                 AHeight, 1);
        if (!ConvertToRGB(APicture, AFormat, AWidth, AHeight)) {
            FLastErrMsg = "Cannot initialize the toRGB conversion context";
            return false;
        }
        FRGBPictureRef = &FRGBPicture;
    }
    FDIB = TDIB{};
    FDIB.bmWidth = AWidth;
    FDIB.bmHeight = AHeight;
    FDIB.bmWidthBytes = FRGBPictureRef->linesize[0];
    FDIB.bmPlanes = 1;
    FDIB.bmBitsPixel = static_cast<uint16_t>(FBitsPixel);
    FDIB.bmBits = FRGBPictureRef->data[0];
    if (AToBitmap) {
        RGBToBitmap();
    }
    return true;
}

void TFormatConverter::RequirePicture() const {
    if (!FRGBPictureRef) {
        throw std::logic_error("Assertion failure");
    }
}

// Rows are copied with each side's own stride, so packed RGB rows and padded bitmap rows meet exactly
// whatever the width.
void TFormatConverter::RGBToBitmap() {
    RequirePicture();
    const int bytes = std::min(RowBytes(), FRGBPictureRef->linesize[0]);
    for (int row = 0; row < FBitmap.Height(); ++row) {
        std::memcpy(FBitmap.ScanLine(row),
                    FRGBPictureRef->data[0] + static_cast<ptrdiff_t>(row) * FRGBPictureRef->linesize[0],
                    static_cast<size_t>(bytes));
    }
}

void TFormatConverter::BitmapToRGB() {
    RequirePicture();
    const int bytes = std::min(RowBytes(), FRGBPictureRef->linesize[0]);
    for (int row = 0; row < FBitmap.Height(); ++row) {
        std::memcpy(FRGBPictureRef->data[0] + static_cast<ptrdiff_t>(row) * FRGBPictureRef->linesize[0],
                    FBitmap.ScanLine(row), static_cast<size_t>(bytes));
    }
}

bool TFormatConverter::RGBToPicture(const TAVPicture& APicture, AVPixelFormat AFormat, int AWidth,
                                    int AHeight) {
    RequirePicture();
    if (!KnownPixelFormat(AFormat)) {
        FLastErrMsg = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    if (!KeepScaler(FfromRGB_convert_ctx, AWidth, AHeight, FAVPixFmt, AWidth, AHeight, AFormat, Fsws_flags)) {
        FLastErrMsg = "Cannot initialize the fromRGB conversion context";
        return false;
    }
    ff::sws_scale(FfromRGB_convert_ctx.get(), FRGBPictureRef->data, FRGBPictureRef->linesize, 0, AHeight,
                  APicture.data, APicture.linesize);
    return true;
}
