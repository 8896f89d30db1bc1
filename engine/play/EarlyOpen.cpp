#include "engine/play/EarlyOpen.h"

#include <sys/stat.h>

#include <chrono>
#include <limits>

#include "engine/base/Unicodeprotocol.h"
#include "engine/load/FFAPI.h"

namespace {

// How often a taker that waits looks at its abort condition.
constexpr auto kTakeSlice = std::chrono::milliseconds(10);
// How far ahead the first picture is looked for: a file whose first picture lies further in is left to the
// player's own decoding.
constexpr size_t kAheadPackets = 256;
constexpr int64_t kAheadBytes = 16 * 1024 * 1024;
// The decoder's options as the player sets them by default.
constexpr int kWorkaroundBugs = 1;
constexpr int kErrorConcealment = 3;

bool IsRegularFile(const std::string& AFileName) {
    struct stat st {};
    return !AFileName.empty() && stat(AFileName.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A local name that is not a regular file (a FIFO, a device) may block in open(), where no cancel
// reaches; such a name is left to the player's own open, which opens it without blocking.
bool MayBlockInOpen(const std::string& AFileName) {
    return AFileName.find(':') == std::string::npos && !IsRegularFile(AFileName);
}

}  // namespace

TEarlyOpen::TEarlyOpen(std::string AFileName, std::optional<int64_t> AStartTime)
    : fileName_(std::move(AFileName)), startTime_(AStartTime), thread_([this] { Run(); }) {}

TEarlyOpen::~TEarlyOpen() {
    Cancel();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (input_ != nullptr) {
        ff::avformat_close_input(&input_);
    }
}

void TEarlyDecode::TFree::operator()(AVCodecContext* AContext) const {
    ff::avcodec_free_context(&AContext);
}

void TEarlyDecode::TFree::operator()(AVPacket* APacket) const {
    ff::av_packet_free(&APacket);
}

void TEarlyDecode::TFree::operator()(AVFrame* AFrame) const {
    ff::av_frame_free(&AFrame);
}

void TEarlyOpen::Cancel() {
    cancelled_ = true;
}

int TEarlyOpen::InterruptCallback(void* opaque) {
    auto* self = static_cast<TEarlyOpen*>(opaque);
    if (self->cancelled_) {
        return 1;
    }
    int (*forward)(void*) = self->interrupt_;
    return forward != nullptr ? forward(self->interruptOpaque_) : 0;
}

void TEarlyOpen::Run() {
    AVFormatContext* ic = MayBlockInOpen(fileName_) ? nullptr : ff::avformat_alloc_context();
    if (ic != nullptr) {
        ic->interrupt_callback.callback = InterruptCallback;
        ic->interrupt_callback.opaque = this;
        // A failed open frees the context and clears the pointer.
        if (ff::avformat_open_input(&ic, ffmpeg_filename(fileName_).c_str(), nullptr, nullptr) < 0 ||
            ff::avformat_find_stream_info(ic, nullptr) < 0 || cancelled_) {
            ff::avformat_close_input(&ic);
        } else if (SeekToStart(ic)) {
            DecodeAhead(ic);
        }
    }
    std::lock_guard lock(lock_);
    input_ = ic;
    done_ = true;
    doneChanged_.notify_all();
}

AVFormatContext* TEarlyOpen::Take(const std::function<bool()>& AAbort, int (*AInterrupt)(void*),
                                  void* AOpaque) {
    std::unique_lock lock(lock_);
    while (!done_) {
        if (AAbort && AAbort()) {
            Cancel();
        }
        doneChanged_.wait_for(lock, kTakeSlice);
    }
    AVFormatContext* input = input_;
    input_ = nullptr;
    lock.unlock();
    if (input != nullptr && AAbort && AAbort()) {
        ff::avformat_close_input(&input);
    }
    if (input != nullptr) {
        interruptOpaque_ = AOpaque;
        interrupt_ = AInterrupt;
    }
    return input;
}

// The start position as the player's open seeks it; false when the seek failed (the player then finds
// nothing decoded ahead, and its own open reports the failure).
bool TEarlyOpen::SeekToStart(AVFormatContext* AInput) {
    if (!startTime_) {
        return true;
    }
    int64_t target = *startTime_;
    if (AInput->start_time != AV_NOPTS_VALUE) {
        target += AInput->start_time;
    }
    sought_ = ff::avformat_seek_file(AInput, -1, std::numeric_limits<int64_t>::min(), target,
                                     std::numeric_limits<int64_t>::max(), 0) >= 0;
    return sought_;
}

TEarlyDecode TEarlyOpen::TakeDecode() {
    std::lock_guard lock(lock_);
    return done_ ? std::move(decode_) : TEarlyDecode{};
}

// Opens the decoder of the file's main video stream as the player would with its default options, and
// reads until it gives its first picture. Everything read is kept for the player, in order.
void TEarlyOpen::DecodeAhead(AVFormatContext* AInput) {
    const int stream = ff::av_find_best_stream(AInput, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (stream < 0 || (AInput->streams[stream]->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
        return;
    }
    const AVStream* st = AInput->streams[stream];
    const AVCodec* codec = ff::avcodec_find_decoder(st->codecpar->codec_id);
    decltype(decode_.decoder) decoder(codec ? ff::avcodec_alloc_context3(nullptr) : nullptr);
    if (!decoder || ff::avcodec_parameters_to_context(decoder.get(), st->codecpar) < 0) {
        return;
    }
    decoder->pkt_timebase = st->time_base;
    decoder->codec_id = codec->id;
    decoder->workaround_bugs = kWorkaroundBugs;
    decoder->error_concealment = kErrorConcealment;
    AVDictionary* options = nullptr;
    ff::av_dict_set(&options, "threads", "auto", 0);
    const int opened = ff::avcodec_open2(decoder.get(), codec, &options);
    ff::av_dict_free(&options);
    if (opened < 0) {
        return;
    }
    decode_.stream = stream;
    decode_.decoder = std::move(decoder);
    int64_t bytes = 0;
    while (!cancelled_ && decode_.frames.empty() && decode_.packets.size() < kAheadPackets &&
           bytes < kAheadBytes) {
        TEarlyDecode::TPacketPtr packet(ff::av_packet_alloc());
        // The end or an error is met again by the player's own read.
        if (!packet || ff::av_read_frame(AInput, packet.get()) < 0) {
            break;
        }
        bytes += packet->size;
        const bool video = packet->stream_index == stream;
        decode_.packets.push_back(std::move(packet));
        if (video && !SendToDecoder(decode_.packets.back().get())) {
            // The player decodes every packet itself with a decoder of its own.
            decode_.stream = -1;
            decode_.decoder.reset();
            decode_.frames.clear();
            break;
        }
    }
}

// Sends one packet and keeps the pictures that come out. A packet the decoder refuses with an error is
// skipped, as the player's decoding skips it; false when the decoder takes it neither now nor after
// giving its pictures.
bool TEarlyOpen::SendToDecoder(const AVPacket* APacket) {
    AVCodecContext* decoder = decode_.decoder.get();
    for (;;) {
        const int sent = ff::avcodec_send_packet(decoder, APacket);
        size_t received = 0;
        for (;;) {
            TEarlyDecode::TFramePtr frame(ff::av_frame_alloc());
            if (!frame || ff::avcodec_receive_frame(decoder, frame.get()) < 0) {
                break;
            }
            decode_.frames.push_back(std::move(frame));
            ++received;
        }
        if (sent != AVERROR(EAGAIN)) {
            return true;
        }
        if (received == 0) {
            return false;
        }
    }
}

std::unique_ptr<TEarlyOpen> StartEarlyOpen(const std::string& AFileName, std::optional<int64_t> AStartTime) {
    if (!IsRegularFile(AFileName)) {
        return nullptr;
    }
    return std::make_unique<TEarlyOpen>(AFileName, AStartTime);
}
