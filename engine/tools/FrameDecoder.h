// The frame decoder, TFFDecoder (its file information part, TCustomDecoder, is in FFDecoder.h): a pull
// decoder over a file that it opened itself. The caller selects a video and/or an audio stream, seeks,
// and asks for the next picture or the next block of audio. A picture is kept as a private copy and can
// be converted into a bitmap; audio is converted to one output format (by default stereo, 44100 Hz,
// signed 16-bit interleaved). It also steps to the next and previous key frame and to the previous frame.
//
// One thread at a time uses a decoder.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "engine/base/Bitmap.h"
#include "engine/base/FFBaseComponent.h"
#include "engine/tools/FFDecoder.h"
#include "engine/tools/FormatConverter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

struct TFrameInfo {
    int32_t PixFmt = -1;
    int32_t Width = -1;
    int32_t Height = -1;
    bool IsKeyFrame = false;
    bool IsInterlaced = false;
    bool IsTopFieldFirst = false;
    int32_t PictureType = 0;
    int64_t PTS = AV_NOPTS_VALUE;  // microseconds from the stream start
    int64_t OriginalDTS = AV_NOPTS_VALUE;
    int64_t OriginalPTS = AV_NOPTS_VALUE;
    int32_t StreamIndex = -1;
    int64_t Position = -1;
    bool Ready = false;
    TAVPicture Picture;  // planes pointing into Buffer
    std::vector<uint8_t> Buffer;
};

struct TWaveInfo {
    int32_t Channels = 0;
    int32_t SampleRate = 0;
    int32_t SampleFormat = 0;
    int32_t BytesPerSample = 0;
    int32_t BytesPerSecond = 0;
    int64_t PTS = AV_NOPTS_VALUE;  // microseconds from the stream start
    int64_t OriginalDTS = AV_NOPTS_VALUE;
    int64_t OriginalPTS = AV_NOPTS_VALUE;
    int32_t StreamIndex = -1;
    bool Ready = false;
    const uint8_t* Buffer = nullptr;  // into the decoder's audio buffer
    int32_t Size = 0;
    int64_t Duration = AV_NOPTS_VALUE;
};

struct TResamplerDeleter {
    void operator()(SwrContext* AContext) const;
};
using TResamplerPtr = std::unique_ptr<SwrContext, TResamplerDeleter>;

struct TDecoderCodecDeleter {
    void operator()(AVCodecContext* AContext) const;
};
using TDecoderCodecPtr = std::unique_ptr<AVCodecContext, TDecoderCodecDeleter>;

// A stream's audio source format and its resampler; -1 (and an empty layout) for unknown.
struct TAudioParam {
    TAudioParam();
    ~TAudioParam();
    TAudioParam(TAudioParam&&) noexcept;
    TAudioParam& operator=(TAudioParam&&) noexcept;
    // Back to unknown, the resampler freed.
    void Clear();

    int32_t freq = -1;
    int32_t channels = -1;
    AVChannelLayout channel_layout{};
    int32_t fmt = -1;
    TResamplerPtr swr_ctx;
    int32_t st_idx = -1;
    // Where the stream's next block starts, microseconds on the file's clock, for blocks without a stamp.
    int64_t next_pts = AV_NOPTS_VALUE;
    // The seek whose drop point this stream has reached; later blocks are kept whole.
    int64_t seek_serial = 0;
};
using PAudioParam = TAudioParam*;

enum TDecodeType { dtBoth, dtVideo, dtAudio };
enum TDecodeResult { drVideo, drAudio, drError };

class TFFDecoder : public TCustomDecoder {
public:
    TFFDecoder();
    ~TFFDecoder() override;

    void CloseFile() override;
    void RefreshStreamsInfo() override;

    // The next picture of a video stream (-1: the stream selected before, else the first one).
    bool Decode(int AStreamIndex = -1);
    // The next picture or audio block, whichever comes first.
    TDecodeResult Decode(TDecodeType AType);
    bool DecodeNextKeyFrame(int AStreamIndex = -1);
    bool DecodePreviousKeyFrame(int AStreamIndex = -1);
    bool DecodePreviousFrame(int AStreamIndex = -1);
    bool DecodeAudio(int AStreamIndex = -1);
    // Bytes copied from the current audio block (decoding the next one when it is used up), or -1.
    // Without a buffer the count available is returned and nothing is consumed.
    int ReadAudio(void* ABuffer, int ACount, int AStreamIndex = -1);
    // APTS in microseconds from the file (or selected stream) start, or bytes with sfByte.
    virtual bool Seek(int64_t APTS, TSeekFlags ASeekFlags = {});
    virtual void CloseAudioResampler();
    static void CloseAudioResampler(TResamplerPtr& AContext);

    // Copies the current picture into ABitmap; black and false when it cannot be converted.
    bool CopyToBitmap(TBitmap& ABitmap);
    // The converter's description of the current picture in RGB, or null.
    const TDIB* GetBitmapPtr();

    int BitmapBitsPixel() const { return FFormatConv.BitsPixel(); }
    void SetBitmapBitsPixel(int AValue) { FFormatConv.SetBitsPixel(AValue); }
    bool Deinterlace = false;
    // End of stream reached (named so because EOF is the C library's macro).
    bool IsEOF() const { return FEOF; }
    const TFrameInfo& FrameInfo() const { return FPicture; }
    const TWaveInfo& WaveInfo() const { return FWaveInfo; }
    int64_t Position() { return GetPosition(); }
    int DesireAudioChannels() const { return FDesireAudioChannels; }
    void SetDesireAudioChannels(int AValue);
    int DesireAudioSampleRate() const { return FDesireAudioSampleRate; }
    void SetDesireAudioSampleRate(int AValue);
    int DesireAudioSampleFormat() const { return FDesireAudioSampleFormat; }
    void SetDesireAudioSampleFormat(int AValue);

protected:
    // A decode step: >0 done, 0 read on, <0 stop with failure. A null packet asks only for output that
    // the decoder still holds.
    using TDecodeStep = std::function<int(AVPacket*)>;

    void FileLoaded() override;
    bool CanSeek();
    int ResolveStreamIndex(int AIndex, int ADesired, AVMediaType AType);
    int SelectVideoStreamIndex(int AIndex);
    int SelectAudioStreamIndex(int AIndex);
    AVCodecContext* OpenVideoDecoder(int AIndex);
    AVCodecContext* OpenAudioDecoder(int AIndex);
    // A decoder for one stream with the codec options that apply to it; null (logged) on failure.
    TDecoderCodecPtr OpenStreamDecoder(int AIndex);
    void ResetPicture();
    void ResetWaveInfo();
    int DoDecodeVideo(AVCodecContext* ACodec, AVPacket* APacket);
    void DuplicatePicture(const AVFrame* AFrame);
    int DoDecodeAudio(PAudioParam AParam, AVCodecContext* ACodec, AVPacket* APacket);
    int DoAudioResample(int AOffset, const AVFrame* AFrame, PAudioParam AParam);
    int64_t GetPosition();
    // Reads packets until AStep is done. AAccept tells the packets that go to AStep; ADrainStream is the
    // stream whose decoder gets the empty packet after the first read error.
    bool ReadingLoop(const char* AName, const std::function<bool(int)>& AAccept, const TDecodeStep& AStep,
                     int ADrainStream);
    void LogFor(int ALevel, const char* AName, const char* AText);
    int64_t FrameInterval() const;
    // The I/O position, -1 without an I/O context.
    int64_t IOPosition() const;

    TDecoderCodecPtr FVideoCodec;
    int videoCodecIndex_ = -1;
    TFormatConverter FFormatConv;
    int32_t FSeekIndex = -1;
    int32_t FDesireVideoIndex = -1;
    AVRational FFrameRate{0, 0};
    std::vector<uint8_t> FDeintBuf;
    bool FEOF = false;
    bool FEOFpkt = false;
    TFrameInfo FPicture;
    int64_t FLastPTS = AV_NOPTS_VALUE;
    TWaveInfo FWaveInfo;
    int32_t FDesireAudioChannels = 2;
    int32_t FDesireAudioSampleRate = 44100;
    int32_t FDesireAudioSampleFormat = AV_SAMPLE_FMT_S16;
    AVChannelLayout FDesireChannelLayout{};  // empty: the default layout of the channel count
    int32_t FDesireAudioIndex = -1;
    TDecoderCodecPtr FAudioCodec;
    int audioCodecIndex_ = -1;
    std::vector<uint8_t> FAudioBuffer;
    std::vector<uint8_t> FResampledBuffer;
    TAudioParam FAudioParam;
    int32_t FRemainsAudioSize = 0;

private:
    struct TFrameDeleter {
        void operator()(AVFrame* AFrame) const;
    };
    struct TPacketDeleter {
        void operator()(AVPacket* APacket) const;
    };
    // The video decoder's output, and the deinterlaced picture's frame record.
    std::unique_ptr<AVFrame, TFrameDeleter> videoDecodedFrame_;
    std::unique_ptr<AVFrame, TFrameDeleter> videoFrame_;
    std::unique_ptr<AVFrame, TFrameDeleter> FAudioDecodedFrame;
    std::unique_ptr<AVPacket, TPacketDeleter> packet_;

    bool DecodeVideoCall(int AStreamIndex, const char* AName);
    // The decode step of a video picture: 1 with a picture to hand out, 0 read on, <0 an error. The
    // pictures before the key frame a seek aimed at are dropped here.
    int DecodeVideoStep(AVCodecContext* ACodec, AVPacket* APacket);
    // A seek on a video stream that lands on the exact key frame: the last one at or before ATarget
    // (stream time base) with ABackward, else the first one at or after it. The reading position goes
    // far enough back to cover the decoder's reordering, then the pictures before the key frame are
    // decoded and dropped by the next Decode. Returns 0 or a negative error.
    int SeekVideoExact(int64_t ATarget, bool ABackward);
    // How many pictures come before the key picture the seek aims at, decoding from the present reading
    // position (-1: none found); AFromStart says that position is the stream's start.
    int FindKeyPicture(int64_t ATargetUs, bool ABackward, bool AFromStart);
    // A seek before ATarget (stream time base) of the seek stream; the start of the file when the
    // container cannot seek there.
    int PositionBefore(int64_t ATarget);
    int PositionAtStart();
    // A seek for audio: back to a point at or before ATarget, and every stream's audio before it dropped.
    int SeekAudioExact(int64_t ATarget);
    // Cuts what lies before the audio drop point from the block just decoded; false when nothing is left.
    bool TrimAudioBlock(int64_t AStartUs, PAudioParam AParam);
    void ResetSeekState();
    // Microseconds of ASize bytes of the output format.
    int64_t BlockDuration(int ASize) const;
    bool IsSeekStreamOfType(AVMediaType AType) const;
    // The frame rate of a stream whose container gives no average rate.
    AVRational CodecFrameRate(int AIndex);
    const AVFrame* DeinterlacedFrame(const AVFrame* AFrame);
    void FlushDecoders();
    int SeekCall(int64_t ATarget, int AFlags);

    // Pictures to drop before the key frame a seek aimed at.
    int dropPictures_ = 0;
    // Audio before this time (microseconds on the file's clock) is dropped, up to the first block of each
    // stream that reaches it after seek number seekSerial_.
    int64_t dropAudioBefore_ = AV_NOPTS_VALUE;
    int64_t seekSerial_ = 0;
};
