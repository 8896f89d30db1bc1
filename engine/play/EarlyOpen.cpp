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

TEarlyOpen::TEarlyOpen(std::string AFileName) : FFileName(std::move(AFileName)), FThread([this] { Run(); }) {}

TEarlyOpen::~TEarlyOpen() {
    Cancel();
    if (FThread.joinable()) {
        FThread.join();
    }
    if (FInput != nullptr) {
        ff::avformat_close_input(&FInput);
    }
}

void TEarlyOpen::Cancel() {
    FCancelled = true;
}

int TEarlyOpen::InterruptCallback(void* opaque) {
    auto* self = static_cast<TEarlyOpen*>(opaque);
    if (self->FCancelled) {
        return 1;
    }
    int (*forward)(void*) = self->FInterrupt;
    return forward != nullptr ? forward(self->FInterruptOpaque) : 0;
}

void TEarlyOpen::Run() {
    AVFormatContext* ic = MayBlockInOpen(FFileName) ? nullptr : ff::avformat_alloc_context();
    if (ic != nullptr) {
        ic->interrupt_callback.callback = InterruptCallback;
        ic->interrupt_callback.opaque = this;
        // A failed open frees the context and clears the pointer.
        if (ff::avformat_open_input(&ic, ffmpeg_filename(FFileName).c_str(), nullptr, nullptr) < 0 ||
            ff::avformat_find_stream_info(ic, nullptr) < 0 || FCancelled) {
            ff::avformat_close_input(&ic);
        }
    }
    std::lock_guard lock(FLock);
    FInput = ic;
    FDone = true;
    FDoneChanged.notify_all();
}

AVFormatContext* TEarlyOpen::Take(const std::function<bool()>& AAbort, int (*AInterrupt)(void*), void* AOpaque) {
    std::unique_lock lock(FLock);
    while (!FDone) {
        if (AAbort && AAbort()) {
            Cancel();
        }
        FDoneChanged.wait_for(lock, kTakeSlice);
    }
    AVFormatContext* input = FInput;
    FInput = nullptr;
    lock.unlock();
    if (input != nullptr && AAbort && AAbort()) {
        ff::avformat_close_input(&input);
    }
    if (input != nullptr) {
        FInterruptOpaque = AOpaque;
        FInterrupt = AInterrupt;
    }
    return input;
}

std::unique_ptr<TEarlyOpen> StartEarlyOpen(const std::string& AFileName) {
    if (!IsRegularFile(AFileName)) {
        return nullptr;
    }
    return std::make_unique<TEarlyOpen>(AFileName);
}
