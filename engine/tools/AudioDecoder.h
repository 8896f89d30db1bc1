// The background audio decoder: a worker thread decodes every audio stream of a file that the decoder
// opened itself and queues each stream's converted samples in its own ring. The caller pulls audio by
// time, interleaved sample frame by sample frame (DoReadCombined) or added into one stream
// (DoReadMixed). Small jumps forward drop buffered bytes; other jumps become a seek that the worker
// performs between two decoded blocks.
//
// Two threads: the caller's (reads, Seek, DoStart, DoStop) and the worker. While the worker runs, the
// caller does not use the frame decoder's own decoding operations on the same object.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/tools/CircularBuffer.h"
#include "engine/tools/FrameDecoder.h"
#include "platform/Event.h"
#include "platform/Thread.h"

class TAudioDecoder;

class TDecoderThread : public platform::TThread {
public:
    explicit TDecoderThread(TAudioDecoder& ADecoder);
    ~TDecoderThread() override;

protected:
    void Execute() override;

private:
    TAudioDecoder& FDecoder;
};

class TAudioDecoder : public TFFDecoder {
public:
    TAudioDecoder();
    ~TAudioDecoder() override;

    void CloseFile() override;
    void CloseAudioResampler() override;
    // Hands the seek to the worker and waits for its answer; false when stopped.
    bool Seek(int64_t APTS, TSeekFlags ASeekFlags = {}) override;

    // Starts decoding the file opened with LoadFile in the background. Throws std::logic_error
    // "Assertion failure" without an own file.
    void DoStart(bool ANoSleep = false);
    void DoStop();
    // Byte counts of the desired output format, or -1 when stopped. With APTS set, the streams first
    // jump to that time; ADuration > 0 limits the read to that many microseconds. Without a buffer the
    // count available now is returned and nothing is consumed.
    int DoReadCombined(void* ABuffer, int ACount) {
        return DoReadCombined(ABuffer, ACount, AV_NOPTS_VALUE, 0);
    }
    int DoReadCombined(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration);
    int DoReadMixed(void* ABuffer, int ACount) { return DoReadMixed(ABuffer, ACount, AV_NOPTS_VALUE, 0); }
    int DoReadMixed(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration);

    int64_t PTSThreshold() const { return FPTSThreshold; }
    void SetPTSThreshold(int64_t AValue) { FPTSThreshold = AValue; }

private:
    friend class TDecoderThread;

    void ExcudeDecode();
    void HandleSeekRequest();
    bool DoDecode();
    AVCodecContext* OpenAudioDecoder2(int AIndex);
    bool IsAudio(int AIndex) const;
    int QuerySize();
    int WaitData(int ASize);
    int DoSeek(int ASize, int64_t APTS);
    int64_t DurationToBytes(int64_t ADuration) const;
    int64_t BytesToDuration(int64_t ASize) const;
    // The shared steps of both reads; ACombined interleaves, else the streams are mixed.
    int DoRead(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration, bool ACombined);
    void AdvanceCurrentPTS(int ABytes);

    std::vector<TDecoderCodecPtr> FAudioCodecs;
    std::vector<TAudioParam> FAudioParams;
    std::unique_ptr<TDecoderThread> FThread;
    bool FNoSleep = false;
    std::atomic<bool> FBroken{true};
    std::atomic<bool> FSeekReq{false};
    std::atomic<int64_t> FSeekPTS{0};
    std::atomic<TSeekFlags> FSeekFlags{TSeekFlags{}};
    std::atomic<bool> FSeekResult{false};
    std::atomic<int64_t> FCurrentPTS{AV_NOPTS_VALUE};
    // The worker's end-of-file state, for the reader's waits.
    std::atomic<bool> atEnd_{false};
    int64_t FPTSThreshold = 100000;
    platform::TEvent FDataSignal{true, true};
    platform::TEvent FSeekSignal{true, true};
    std::vector<uint8_t> FBuffer;
    std::vector<std::unique_ptr<TCircularBuffer>> FBuffers;
    // The output format fixed at start, read by the caller while the worker runs.
    int bytesPerSample_ = 0;
    int channels_ = 0;
    int sampleRate_ = 0;
    int sampleFormat_ = 0;
};
