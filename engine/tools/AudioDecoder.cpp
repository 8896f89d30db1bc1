#include "engine/tools/AudioDecoder.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "engine/base/FFLog.h"
#include "engine/base/FFUtils.h"
#include "engine/load/FFAPI.h"

namespace {

// Waits on the worker are made in slices so that a stop is seen at once, and end after a bound.
constexpr unsigned kWaitSliceMs = 100;
constexpr auto kWorkerAnswerTimeout = std::chrono::seconds(30);
constexpr unsigned kJoinLogIntervalMs = 5000;

void AssertThat(bool ACondition) {
    if (!ACondition) {
        throw std::logic_error("Assertion failure");
    }
}

}  // namespace

TDecoderThread::TDecoderThread(TAudioDecoder& ADecoder) : TThread("AudioDecoder"), FDecoder(ADecoder) {}

TDecoderThread::~TDecoderThread() {
    TerminateAndWait();
}

void TDecoderThread::Execute() {
    FDecoder.ExcudeDecode();
}

TAudioDecoder::TAudioDecoder() = default;

TAudioDecoder::~TAudioDecoder() {
    // The base destructors cannot reach this class's CloseFile any more; the worker must end first.
    TAudioDecoder::CloseFile();
    FDataSignal.SetEvent();
    FSeekSignal.SetEvent();
}

void TAudioDecoder::CloseFile() {
    DoStop();
    TFFDecoder::CloseFile();
}

void TAudioDecoder::CloseAudioResampler() {
    TFFDecoder::CloseAudioResampler();
    for (TAudioParam& param : FAudioParams) {
        TFFDecoder::CloseAudioResampler(param.swr_ctx);
    }
}

bool TAudioDecoder::IsAudio(int AIndex) const {
    return FFileHandle && AIndex >= 0 && AIndex < FStreamCount &&
           FFileHandle->streams[AIndex]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
}

void TAudioDecoder::DoStart(bool ANoSleep) {
    DoStop();
    AssertThat(FFileHandle != nullptr && FOwnHandle && FBuffers.empty());
    if (FDesireAudioSampleFormat != AV_SAMPLE_FMT_U8 && FDesireAudioSampleFormat != AV_SAMPLE_FMT_S16 &&
        FDesireAudioSampleFormat != AV_SAMPLE_FMT_S32) {
        SetDesireAudioSampleFormat(AV_SAMPLE_FMT_S16);
    }
    sampleFormat_ = FDesireAudioSampleFormat;
    bytesPerSample_ = ff::av_get_bytes_per_sample(static_cast<AVSampleFormat>(sampleFormat_));
    channels_ = FDesireAudioChannels;
    sampleRate_ = FDesireAudioSampleRate;
    for (int i = 0; i < FStreamCount; ++i) {
        FBuffers.push_back(std::make_unique<TCircularBuffer>());
        FBuffers.back()->WaitForData = false;
    }
    FAudioParams.resize(static_cast<size_t>(std::max(FStreamCount, 0)));
    FNoSleep = ANoSleep;
    FCurrentPTS = AV_NOPTS_VALUE;
    atEnd_ = false;
    FBroken = false;
    FThread = std::make_unique<TDecoderThread>(*this);
    FThread->Start();
}

void TAudioDecoder::DoStop() {
    FBroken = true;
    FSeekReq = false;
    FDataSignal.SetEvent();
    FSeekSignal.SetEvent();
    for (auto& buffer : FBuffers) {
        buffer->Terminate();
    }
    if (FThread) {
        FThread->Terminate();
        // The worker may be inside a blocking read; the read time-out ends it. Say so while waiting.
        while (!FThread->WaitFor(kJoinLogIntervalMs)) {
            FFLogger().Log(this, llWarning, "TAudioDecoder.DoStop: waiting for the decoding thread to end");
        }
        FThread.reset();
    }
    FAudioCodecs.clear();
    FBuffers.clear();
    FAudioParams.clear();
}

void TAudioDecoder::HandleSeekRequest() {
    try {
        for (auto& codec : FAudioCodecs) {
            if (codec) {
                ff::avcodec_flush_buffers(codec.get());
            }
        }
        for (auto& buffer : FBuffers) {
            buffer->Reset();
        }
        for (TAudioParam& param : FAudioParams) {
            param.next_pts = AV_NOPTS_VALUE;
        }
        FCurrentPTS = AV_NOPTS_VALUE;
        FSeekIndex = -1;  // file-level times
        FSeekResult = TFFDecoder::Seek(FSeekPTS, FSeekFlags.load());
        atEnd_ = FEOF && FEOFpkt;
    } catch (const std::exception& e) {
        FFLogger().Log(this, llError, std::string("TAudioDecoder seek: ") + e.what());
    }
    FSeekReq = false;
    FSeekSignal.SetEvent();
}

void TAudioDecoder::ExcudeDecode() {
    while (!FBroken) {
        if (FSeekReq) {
            HandleSeekRequest();
        } else if (FEOF && FEOFpkt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } else if (DoDecode() && !FBroken) {
            int64_t unset = AV_NOPTS_VALUE;
            FCurrentPTS.compare_exchange_strong(unset, FWaveInfo.PTS);
            const int index = FWaveInfo.StreamIndex;
            if (index >= 0 && index < static_cast<int>(FBuffers.size())) {
                // The writer waits here when the reader lags far behind.
                FBuffers[static_cast<size_t>(index)]->Write(FWaveInfo.Buffer, FWaveInfo.Size);
            }
        }
        atEnd_ = FEOF && FEOFpkt;
        if (!FNoSleep) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        FDataSignal.SetEvent();
    }
}

AVCodecContext* TAudioDecoder::OpenAudioDecoder2(int AIndex) {
    if (FAudioCodecs.empty()) {
        FAudioCodecs.resize(static_cast<size_t>(FStreamCount));
    }
    TDecoderCodecPtr& entry = FAudioCodecs[static_cast<size_t>(AIndex)];
    if (!entry) {
        entry = OpenStreamDecoder(AIndex);
    }
    return entry.get();
}

bool TAudioDecoder::DoDecode() {
    if (FAudioStreamCount <= 1) {
        return DecodeAudio(-1);
    }
    FLastPTS = AV_NOPTS_VALUE;
    const auto step = [this](AVPacket* APacket) {
        if (!APacket) {
            // What a decoder still holds, after the end of the file above all.
            for (size_t i = 0; i < FAudioCodecs.size(); ++i) {
                if (FAudioCodecs[i]) {
                    const int result = DoDecodeAudio(&FAudioParams[i], FAudioCodecs[i].get(), nullptr);
                    if (result != 0) {
                        return result;
                    }
                }
            }
            return 0;
        }
        if (!APacket->data && APacket->size == 0) {
            // The end of the file: every stream gives out its last samples, none is cut short.
            for (auto& codec : FAudioCodecs) {
                if (codec) {
                    ff::avcodec_send_packet(codec.get(), nullptr);
                }
            }
            return 0;
        }
        AVCodecContext* codec = OpenAudioDecoder2(APacket->stream_index);
        if (!codec) {
            return -1;
        }
        return DoDecodeAudio(&FAudioParams[static_cast<size_t>(APacket->stream_index)], codec, APacket);
    };
    return ReadingLoop(
        "DoDecode()", [this](int AStream) { return IsAudio(AStream); }, step, FFirstAudioStreamIndex);
}

int TAudioDecoder::QuerySize() {
    int size = -1;
    for (size_t i = 0; i < FBuffers.size(); ++i) {
        if (IsAudio(static_cast<int>(i))) {
            const int held = FBuffers[i]->DataSize();
            if (held == 0) {
                return 0;
            }
            size = size < 0 ? held : std::min(size, held);
        }
    }
    return std::max(size, 0);
}

int TAudioDecoder::WaitData(int ASize) {
    int size = QuerySize();
    const auto deadline = std::chrono::steady_clock::now() + kWorkerAnswerTimeout;
    do {
        if (atEnd_ || FBroken) {
            break;
        }
        FDataSignal.ResetEvent();
        while (!FBroken && FDataSignal.WaitFor(kWaitSliceMs) != platform::wrSignaled) {
            if (std::chrono::steady_clock::now() > deadline) {
                FFLogger().Log(this, llWarning, "TAudioDecoder.WaitData: no data from the decoding thread");
                return QuerySize();
            }
        }
        size = QuerySize();
    } while (size < ASize);
    return size;
}

int64_t TAudioDecoder::DurationToBytes(int64_t ADuration) const {
    if (ADuration <= 0) {
        return 0;
    }
    return std::llround(static_cast<double>(ADuration) * sampleRate_ * channels_ / 1000000.0) *
           bytesPerSample_;
}

int64_t TAudioDecoder::BytesToDuration(int64_t ASize) const {
    if (ASize <= 0) {
        return 0;
    }
    return std::llround(static_cast<double>(ASize) * 1000000.0 / bytesPerSample_ / channels_ / sampleRate_);
}

int TAudioDecoder::DoSeek(int ASize, int64_t APTS) {
    if (FCurrentPTS == AV_NOPTS_VALUE && ASize == 0) {
        ASize = WaitData(1);
    }
    const int64_t current = FCurrentPTS;
    if (current == AV_NOPTS_VALUE) {
        return ASize;
    }
    if (std::llabs(APTS - current) <= FPTSThreshold) {
        return ASize;
    }
    if (APTS < current) {
        Seek(APTS, {sfBackward});
        return WaitData(1);
    }
    // Whole sample frames only, so that no channel is shifted into its neighbour.
    const int64_t frame = static_cast<int64_t>(bytesPerSample_) * channels_;
    const int64_t bytes = DurationToBytes(APTS - current) / frame * frame;
    if (ASize >= bytes) {
        for (size_t i = 0; i < FBuffers.size(); ++i) {
            if (IsAudio(static_cast<int>(i))) {
                FBuffers[i]->Discard(static_cast<int>(bytes));
            }
        }
        FCurrentPTS = APTS;
        return QuerySize();
    }
    Seek(APTS, {});
    return WaitData(1);
}

bool TAudioDecoder::Seek(int64_t APTS, TSeekFlags ASeekFlags) {
    if (FBroken) {
        return false;
    }
    FSeekSignal.ResetEvent();
    FSeekResult = false;
    FSeekPTS = APTS;
    FSeekFlags = ASeekFlags;
    for (auto& buffer : FBuffers) {
        buffer->Reset();
    }
    FSeekReq = true;
    const auto deadline = std::chrono::steady_clock::now() + kWorkerAnswerTimeout;
    while (!FBroken && FSeekSignal.WaitFor(kWaitSliceMs) != platform::wrSignaled) {
        if (std::chrono::steady_clock::now() > deadline) {
            FFLogger().Log(this, llError, "TAudioDecoder.Seek: the decoding thread did not answer");
            return false;
        }
    }
    return FSeekResult && !FBroken;
}

void TAudioDecoder::AdvanceCurrentPTS(int ABytes) {
    int64_t current = FCurrentPTS;
    if (current != AV_NOPTS_VALUE && ABytes > 0) {
        // Only the reader moves a set time; the worker only sets an unset one.
        FCurrentPTS.compare_exchange_strong(current, current + BytesToDuration(ABytes));
    }
}

int TAudioDecoder::DoRead(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration, bool ACombined) {
    const int streams = FAudioStreamCount;
    if (FBroken || streams <= 0) {
        return -1;
    }
    AssertThat(bytesPerSample_ > 0);
    const int frame = bytesPerSample_ * channels_;
    // Reads of the combined form count every stream; the mixed one counts a single stream.
    const int n = ACombined ? streams : 1;
    int64_t want = static_cast<int64_t>(frame) * (ACount / bytesPerSample_ / channels_ / n) * n;
    if (ADuration > 0) {
        want = std::min(want, DurationToBytes(ADuration) * n);
    }
    int64_t size = QuerySize();
    if (APTS != AV_NOPTS_VALUE) {
        size = DoSeek(static_cast<int>(size), APTS);
    }
    size *= n;
    if (size < want) {
        if (ABuffer) {
            const int64_t needed = ADuration > 0 ? want / n : 1;
            want = std::min(want, static_cast<int64_t>(WaitData(static_cast<int>(needed))) * n);
        } else {
            want = size;
        }
    }
    int count = static_cast<int>(static_cast<int64_t>(frame) * (want / bytesPerSample_ / channels_ / n) * n);
    if (!ABuffer || count <= 0) {
        return count;
    }
    const int perStream = count / n;
    if (static_cast<int>(FBuffer.size()) < perStream) {
        FBuffer.resize(static_cast<size_t>(perStream));
    }
    const uint8_t silence = sampleFormat_ == AV_SAMPLE_FMT_U8 ? 0x80 : 0;
    auto* out = static_cast<uint8_t*>(ABuffer);
    std::memset(out, silence, static_cast<size_t>(count));
    std::memset(FBuffer.data(), silence, static_cast<size_t>(perStream));
    int k = 0;
    for (size_t i = 0; i < FBuffers.size(); ++i) {
        if (!IsAudio(static_cast<int>(i))) {
            continue;
        }
        if (streams < 2) {
            count = std::max(FBuffers[i]->Read(out, count), 0);
            break;
        }
        const int got = std::max(FBuffers[i]->Read(FBuffer.data(), perStream), 0);
        if (got % frame != 0) {
            FFLogger().Log(this, llError,
                           "TODO: LCount=%d, Result=%d, FWaveInfo.BytesPerSample * FDesireAudioChannels=%d",
                           got, count, frame);
        }
        if (ACombined) {
            for (int m = 0; m < got / frame; ++m) {
                std::memcpy(out + static_cast<ptrdiff_t>(frame) * (m * streams + k),
                            FBuffer.data() + static_cast<ptrdiff_t>(frame) * m, static_cast<size_t>(frame));
            }
        } else if (sampleFormat_ == AV_SAMPLE_FMT_U8) {
            MixAudioU8(FBuffer.data(), out, got, kMaxAudioVolume);
        } else if (sampleFormat_ == AV_SAMPLE_FMT_S16) {
            MixAudioS16(FBuffer.data(), out, got, kMaxAudioVolume);
        } else if (sampleFormat_ == AV_SAMPLE_FMT_S32) {
            MixAudioS32(FBuffer.data(), out, got, kMaxAudioVolume);
        } else {
            throw std::logic_error("Never occur");
        }
        ++k;
    }
    AdvanceCurrentPTS(count / n);
    return count;
}

int TAudioDecoder::DoReadCombined(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration) {
    return DoRead(ABuffer, ACount, APTS, ADuration, true);
}

int TAudioDecoder::DoReadMixed(void* ABuffer, int ACount, int64_t APTS, int64_t ADuration) {
    return DoRead(ABuffer, ACount, APTS, ADuration, false);
}
