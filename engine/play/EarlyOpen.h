// A file opened and probed on a thread of its own before the player asks for it: the program starts it
// as soon as the codec libraries are loaded, while its window is still being built, and the player's
// open of the same file takes the probed input instead of opening and probing it again.
//
// Only a plain open is made ahead (no forced format, no options): the player takes the input only when
// its own open would have asked for nothing else, and opens the file itself otherwise.
//
// A file with pictures also has its first picture decoded ahead: a decoder that runs on several threads
// gives its first picture only after a number of packets, which takes longer than the window's start.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;

// What the early open decoded ahead: the video decoder it opened as the player opens one with its
// default options, every packet it read from the input in order (those of the decoded stream were sent
// to the decoder), and the pictures the decoder gave.
struct TEarlyDecode {
    struct TFree {
        void operator()(AVCodecContext* AContext) const;
        void operator()(AVPacket* APacket) const;
        void operator()(AVFrame* AFrame) const;
    };
    using TPacketPtr = std::unique_ptr<AVPacket, TFree>;
    using TFramePtr = std::unique_ptr<AVFrame, TFree>;

    int stream = -1;  // the stream decoded; -1 when none was
    std::unique_ptr<AVCodecContext, TFree> decoder;
    std::deque<TPacketPtr> packets;
    std::deque<TFramePtr> frames;
};

class TEarlyOpen {
public:
    // Starts opening AFileName at once (a local name only when it is a regular file), sought to
    // AStartTime (microseconds from the file's start) when one is given; the codec libraries must be loaded.
    explicit TEarlyOpen(std::string AFileName, std::optional<int64_t> AStartTime = std::nullopt);
    // Cancels a running open, waits for its end and closes an input that nobody took.
    ~TEarlyOpen();
    TEarlyOpen(const TEarlyOpen&) = delete;
    TEarlyOpen& operator=(const TEarlyOpen&) = delete;

    const std::string& FileName() const { return fileName_; }
    const std::optional<int64_t>& StartTime() const { return startTime_; }
    // After Take: the input was sought to the start time.
    bool SoughtToStart() const { return sought_; }
    // A running open gives up at its next read; what it had opened is closed.
    void Cancel();
    // Waits for the open's end and hands over its probed input (the caller closes it); null when the open
    // failed or was cancelled, or when AAbort turned true while it waited (the open is then cancelled).
    // The input keeps calling this object's interrupt callback (FFmpeg copies it into the input's I/O
    // when it opens), which from now on asks AInterrupt with AOpaque: the object must outlive the input.
    AVFormatContext* Take(const std::function<bool()>& AAbort, int (*AInterrupt)(void*), void* AOpaque);
    // After Take: what was decoded ahead, once (empty when nothing was).
    TEarlyDecode TakeDecode();

private:
    static int InterruptCallback(void* opaque);
    void Run();
    bool SeekToStart(AVFormatContext* AInput);
    void DecodeAhead(AVFormatContext* AInput);
    bool SendToDecoder(const AVPacket* APacket);

    const std::string fileName_;
    const std::optional<int64_t> startTime_;
    std::atomic<bool> cancelled_{false};
    // The taker's interrupt callback, once the input is handed over.
    std::atomic<int (*)(void*)> interrupt_{nullptr};
    std::atomic<void*> interruptOpaque_{nullptr};
    std::mutex lock_;  // guards done_ and input_
    std::condition_variable doneChanged_;
    bool done_ = false;
    AVFormatContext* input_ = nullptr;
    TEarlyDecode decode_;  // the open's thread's until done_, then the taker's
    bool sought_ = false;  // likewise
    std::thread thread_;
};

// The player's owner starts an early open through this when the file to play is known before the
// player exists; null when AFileName names no regular file.
std::unique_ptr<TEarlyOpen> StartEarlyOpen(const std::string& AFileName,
                                           std::optional<int64_t> AStartTime = std::nullopt);
