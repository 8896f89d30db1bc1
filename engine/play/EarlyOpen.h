// A file opened and probed on a thread of its own before the player asks for it: the program starts it
// as soon as the codec libraries are loaded, while its window is still being built, and the player's
// open of the same file takes the probed input instead of opening and probing it again.
//
// Only a plain open is made ahead (no forced format, no options): the player takes the input only when
// its own open would have asked for nothing else, and opens the file itself otherwise.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct AVFormatContext;

class TEarlyOpen {
public:
    // Starts opening AFileName at once (a local name only when it is a regular file); the codec
    // libraries must be loaded.
    explicit TEarlyOpen(std::string AFileName);
    // Cancels a running open, waits for its end and closes an input that nobody took.
    ~TEarlyOpen();
    TEarlyOpen(const TEarlyOpen&) = delete;
    TEarlyOpen& operator=(const TEarlyOpen&) = delete;

    const std::string& FileName() const { return fileName_; }
    // A running open gives up at its next read; what it had opened is closed.
    void Cancel();
    // Waits for the open's end and hands over its probed input (the caller closes it); null when the open
    // failed or was cancelled, or when AAbort turned true while it waited (the open is then cancelled).
    // The input keeps calling this object's interrupt callback (FFmpeg copies it into the input's I/O
    // when it opens), which from now on asks AInterrupt with AOpaque: the object must outlive the input.
    AVFormatContext* Take(const std::function<bool()>& AAbort, int (*AInterrupt)(void*), void* AOpaque);

private:
    static int InterruptCallback(void* opaque);
    void Run();

    const std::string fileName_;
    std::atomic<bool> cancelled_{false};
    // The taker's interrupt callback, once the input is handed over.
    std::atomic<int (*)(void*)> interrupt_{nullptr};
    std::atomic<void*> interruptOpaque_{nullptr};
    std::mutex lock_;  // guards done_ and input_
    std::condition_variable doneChanged_;
    bool done_ = false;
    AVFormatContext* input_ = nullptr;
    std::thread thread_;
};

// The player's owner starts an early open through this when the file to play is known before the
// player exists; null when AFileName names no regular file.
std::unique_ptr<TEarlyOpen> StartEarlyOpen(const std::string& AFileName);
