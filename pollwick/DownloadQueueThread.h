// A download worker: a thread that takes one queued item at a time, downloads it with a segmented
// downloader (retrying after HTTP 403 with a cache-busting parameter), moves the file into the temporary
// folder under a free name and reports to the offer window through its status record.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

#include "platform/Event.h"
#include "platform/Thread.h"
#include "pollwick/Downloader.h"

namespace pollwick {

class DownloadQueue;

// One queue item.
struct MyVideo {
    int id = -1;
    std::string url;
    std::string saveAsFileName;   // the name the downloaded file is to get
    std::string savedAsFileName;  // the full path where the file was finally put
    int errorStatus = 0;          // 1 after a failed attempt
};

// Window messages of the queue and its workers.
inline constexpr unsigned kMsgInit = 3025;
inline constexpr unsigned kMsgQueueIdle = 3027;
inline constexpr unsigned kMsgStop = 3030;
inline constexpr unsigned kMsgStatusChanged = 3036;
inline constexpr unsigned kMsgJobFinished = 3037;
inline constexpr unsigned kMsgWaitingCount = 3048;
inline constexpr unsigned kMsgActiveDownloadCount = 3049;
inline constexpr unsigned kMsgStopped = 3050;
inline constexpr unsigned kMsgProgress = 3051;
inline constexpr unsigned kMsgRunDownloadedFile = 3056;

// The record through which the main thread, one worker and its downloader's part threads exchange the
// worker's item, texts, flags and progress. Every accessor takes the record's lock.
class DownloadQueueThreadInfo : public DownloadProgressSink {
public:
    DownloadQueueThreadInfo(int threadNum, DownloadQueue* owner);

    void init();
    // Copies item and remembers it; the saved-as name is written back to it.
    bool locked_setSite(const std::shared_ptr<MyVideo>& item);
    bool locked_checkIfHasVideoCopy();
    void locked_cleanupAllocatedData();
    std::string locked_getCurrSiteURL();
    std::string locked_getCurrSaveAsName();
    std::string locked_getSavedAsFilename();
    void locked_setSavedAsFilename(const std::string& name);
    std::string locked_getStatusMsg();
    void locked_setStatusMsg(const std::string& text);
    std::string locked_getErrorMessage();
    void locked_setErrorMessage(const std::string& text);
    void locked_setCurrAction(const std::string& text);
    std::string LockedGetCurrAction();
    bool locked_getOK();
    void locked_setOK(bool ok);
    bool locked_getDone();
    void locked_setDone(bool done);
    bool locked_getCancel();
    // Setting the cancel request also stops the job's running download.
    void locked_setCancel(bool cancel);
    // The stop token of the current job, for its downloader; init() starts a new job with a new one.
    std::stop_token LockedGetStopToken();
    bool locked_getShutdown();
    void locked_setShutdown(bool shutdown);
    int locked_getErrorStatus();
    void locked_setErrorStatus(int status);
    // Stores the progress and posts its percentage to the window, at most every 50 ms within one second
    // (the final report always goes out; unchanged or negative values post nothing).
    void locked_setProgress(int64_t total, int64_t done) override;

    // The percentage a progress report shows: 100.0 / total * done, truncated; 0 when total is 0.
    static int ProgressPercent(int64_t total, int64_t done);

    const int threadNum;
    DownloadQueue* const owner;

private:
    std::mutex lock_;  // guards every field below
    std::unique_ptr<MyVideo> copy_;
    std::shared_ptr<MyVideo> item_;
    bool done_ = false;
    bool ok_ = false;
    std::string statusMsg_;
    std::string errorMessage_;
    std::string currAction_ = "Idle";
    bool cancel_ = false;
    std::stop_source stopSource_;  // stopped with cancel_; replaced for every new job
    bool shutdown_ = false;
    int64_t progressDone_ = 0;
    int64_t progressTotal_ = 0;
    std::chrono::system_clock::time_point lastProgressMessage_{};
};

class DownloadQueueThread : public platform::TThread {
public:
    explicit DownloadQueueThread(DownloadQueueThreadInfo& info);
    ~DownloadQueueThread() override;

    // Gives the item to this idle worker and lets it run.
    void handleSite(const std::shared_ptr<MyVideo>& item);
    // Waiting for an item (or ended): the queue may give it one when it holds no item copy.
    bool IsSuspended() const { return suspended_.load() || Finished(); }

    // The destination of a downloaded file in folder: folder + the source's file name, or, when that name
    // is taken and may not be replaced, "<stem>_<n><ext>" with the first free n. False (and the error
    // text set) when the destination is the source itself.
    static bool getDestinationName(const std::string& source, const std::string& ext, std::string& error,
                                   std::string& destination, bool overwrite, const std::string& folder);

    // The URL of the n-th retry after a 403: the item's URL with "cb=<n>" added to its query.
    static std::string RetryUrl(const std::string& url, int tries);

protected:
    void Execute() override;

private:
    void Resume();
    void DownloadPageAndVideoFile();
    bool InnerCheckSite(std::string& filePath, const std::string& saveAsName, const std::string& url);
    void PauseBeforeRetry();
    // Posts msg with this worker's slot number to the main form.
    void Post(unsigned msg);

    DownloadQueueThreadInfo& info_;
    std::atomic<bool> suspended_{true};
    platform::TEvent resumed_{false, false};
};

}  // namespace pollwick
