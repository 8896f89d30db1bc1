#include "engine/play/EarlyOpen.h"

#include <sys/stat.h>

#include <chrono>

#include "engine/load/FFAPI.h"
#include "engine/base/Unicodeprotocol.h"

namespace {

// How often a taker that waits looks at its abort condition.
constexpr auto kTakeSlice = std::chrono::milliseconds(10);

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

TEarlyOpen::TEarlyOpen(std::string AFileName) : fileName_(std::move(AFileName)), thread_([this] { Run(); }) {}

TEarlyOpen::~TEarlyOpen() {
    Cancel();
    if (thread_.joinable()) {
        thread_.join();
    }
    if (input_ != nullptr) {
        ff::avformat_close_input(&input_);
    }
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
        }
    }
    std::lock_guard lock(lock_);
    input_ = ic;
    done_ = true;
    doneChanged_.notify_all();
}

AVFormatContext* TEarlyOpen::Take(const std::function<bool()>& AAbort, int (*AInterrupt)(void*), void* AOpaque) {
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

std::unique_ptr<TEarlyOpen> StartEarlyOpen(const std::string& AFileName) {
    if (!IsRegularFile(AFileName)) {
        return nullptr;
    }
    return std::make_unique<TEarlyOpen>(AFileName);
}
