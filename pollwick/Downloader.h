// Pollwick's only network client: one URL into memory, a file, a byte range of a file or a two-byte length
// probe, with the retries and fallbacks of one logical request; and `get`, which fetches a file in parts
// through five part threads and merges them in order (the part threads and the merge: DownloaderParts.h).
// A downloader is used by the thread that calls get(), and its part threads.
#pragma once

#include <curl/curl.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <vector>

#include "pollwick/DownloadSettings.h"
#include "pollwick/DownloaderParts.h"
#include "pollwick/ReceiveBatch.h"

namespace pollwick {

// The general failure of the download code.
class GWException : public std::runtime_error {
public:
    explicit GWException(const std::string& message) : std::runtime_error(message) {}
};

// A page or file could not be downloaded. Deliberately not a GWException: callers tell the two apart.
class GWSiteCheckException : public std::runtime_error {
public:
    explicit GWSiteCheckException(const std::string& message) : std::runtime_error(message) {}
};

// Receives a download's progress; the download worker's status record implements it. Called from the
// downloader's own threads, so an implementation takes its own lock.
class DownloadProgressSink {
public:
    virtual ~DownloadProgressSink() = default;
    virtual void locked_setProgress(int64_t total, int64_t done) = 0;
};

// What one request asks for.
struct DownloadRequest {
    std::string url;
    // Empty: the answer is read into memory (`content`); Downloader::kProbeName: the first two bytes only,
    // for the length; anything else: a file of that name.
    std::string saveToFilename;
    std::string sitePassword;  // with siteUserName, basic authentication when the user name is not empty
    std::string siteUserName;
    // A byte range is asked for when rangeStart >= 0 and rangeEnd > 0 (rangeEnd inclusive, as sent).
    int64_t rangeEnd = -1;
    int64_t rangeStart = -1;
};

// What it gave.
struct DownloadResult {
    bool ok = false;
    std::string savedPath;             // the file written
    std::string error;                 // user-readable, when it failed
    bool lastErrorAllowsRetry = true;  // false: asking again cannot help
    bool tempRedirect = false;         // redirected by a 302 or 307
    std::string redirectedTo;          // where a redirect led, made absolute
};

class Downloader {
public:
    static constexpr int kPartThreads = 5;
    static constexpr const char* kProbeName = "@DUMMY@";
    // No answer held in memory (the update check's, the probe's) is larger than this.
    static constexpr size_t kAnswerLimit = 1 << 20;
    // Broken requests that brought less than kProgressBytes each, over a whole download, before it is
    // given up.
    static constexpr int kNoProgressLimit = 20;
    static constexpr int64_t kProgressBytes = 64 * 1024;
    // Pause before resuming a broken request: doubles from the first to the last value.
    static constexpr int kFirstBackOffMs = 100;
    static constexpr int kLastBackOffMs = 5000;

    // A part downloader (parentSubInfo with an owner) is given its owner's settings.
    Downloader(int threadNum, bool useThreads, DownloadProgressSink* ownerInfo,
               DownloaderSubThreadInfo* parentSubInfo, DownloadSettings settings);
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // The entry point of every download: a single request (memory, or a file without threads) repeated up
    // to the Attempts setting, or a probe followed by a segmented download.
    DownloadResult get(const DownloadRequest& request);

    // One logical request with its attempts and fallbacks, each attempt prepared, transferred and
    // classified. A file target goes into the target folder.
    DownloadResult innerGet(const DownloadRequest& request);

    static bool errorAllowsRetry(int status);
    // Scheme, host and the "/" after the host; a URL without a path comes back whole.
    static std::string serverPartOf(const std::string& url);
    // The user-readable text of an HTTP error status; other statuses get the generic socket-error text.
    std::string StatusErrorText(int status, long errorCode, const std::string& message) const;
    // A file name that a server (or the update answer) gave, reduced to its base name; nothing when the
    // result is empty, "." or "..", hidden, holds control characters or has an extension that is not 1 to
    // 8 letters or digits.
    static std::optional<std::string> SafeServerFileName(const std::string& name);
    // The byte ranges (first byte, end as sent) that a file of totalSize bytes is fetched in.
    static std::vector<std::pair<int64_t, int64_t>> Layout(int64_t totalSize);
    // A CA file trusted besides the system's CAs (empty: none). For tests and private servers.
    static void SetExtraCAFile(const std::string& path);

    // Lets another thread stop this downloader's work: a running transfer ends within about a second, no
    // further request, part or pause starts, whatever was written is removed, and get() fails with the
    // error "Cancelled". Set it before get(); part downloaders take their parent's token.
    void SetStopToken(std::stop_token token) { stop_ = std::move(token); }
    const DownloadSettings& Settings() const { return settings_; }
    bool StopRequested() const { return stop_.stop_requested(); }

    bool addSubDownload(MyDownload* part);
    MyDownload* getMoreWorkForSubThread();
    void SubHTTPReceiveProgress(int64_t delta);
    // Counts a broken request that brought less than kProgressBytes; false once the download has had
    // kNoProgressLimit of them (counted over all its parts).
    bool NoteRequestWithoutProgress();
    bool NoProgressLimitReached() const;

    // Results read by the callers.
    int statusCode = 0;                 // of the last request; 599 for internal failures
    std::string content;                // the last response read into memory
    std::string headerFileExt;          // extension (with dot) of a Content-Disposition file name
    int64_t expectedContentLength = 0;  // Content-Length, or the total of a Content-Range

    int64_t partsReceivedSum() const;
    // The last request asked for a byte range and the server answered something else.
    bool rangeRefused() const { return rangeRefused_; }
    // The private folder of the running segmented download (empty outside one).
    std::filesystem::path RunFolder() const { return runFolder_; }

private:
    enum class Target { Memory, Probe, File };
    enum class Abort { None, BadRedirect, RangeRefused, Encoded, TooLarge, RangeShrunk };
    struct Attempt;
    struct RequestRun;
    struct CurlDeleter {
        void operator()(CURL* h) const { curl_easy_cleanup(h); }
    };
    struct SlistDeleter {
        void operator()(curl_slist* l) const { curl_slist_free_all(l); }
    };
    struct FileCloser {
        void operator()(FILE* f) const { fclose(f); }
    };
    using FilePtr = std::unique_ptr<FILE, FileCloser>;

    // Request settings.
    void init(const std::string& url, const std::string& siteUserName, const std::string& sitePassword);
    void ApplyHeaders(const std::string& acceptEncoding, const std::string& range);
    void ApplyProxy(const std::string& url);
    void ApplyTls();

    // Steps of innerGet: the target, then per attempt prepare (false: no transfer, the request is over),
    // transfer and classify (what the outcome means for the request and whether another attempt follows).
    bool PrepareFileTarget(const std::string& saveToFilename, DownloadResult& result);
    bool PrepareAttempt(RequestRun& run, Attempt& a, FilePtr& file);
    CURLcode Transfer(RequestRun& run, Attempt& a, FILE* file);
    void Classify(RequestRun& run, const Attempt& a, CURLcode code, FILE* file);
    void ClassifyAbort(RequestRun& run, const Attempt& a);
    void ClassifyErrorStatus(RequestRun& run, const Attempt& a);
    void ClassifyBrokenTransfer(RequestRun& run, const Attempt& a, CURLcode code, FILE* file);
    void ClassifyCompleted(RequestRun& run, const Attempt& a);
    void ReportRedirect(const std::string& url, DownloadResult& result);

    // The client's transfer and its callbacks.
    CURLcode Perform(const std::string& url, FILE* file);
    static size_t OnHeader(char* data, size_t size, size_t count, void* self);
    static size_t OnBody(char* data, size_t size, size_t count, void* self);
    static int OnProgress(void* self, curl_off_t dltotal, curl_off_t dlnow, curl_off_t, curl_off_t);
    static int OnDebug(CURL*, curl_infotype type, char* data, size_t size, void* self);
    static int OnSocketOpened(void* self, curl_socket_t socket, curlsocktype purpose);
    static int OnSocketClosed(void* self, curl_socket_t socket);
    bool HeadersComplete();
    std::string RequestEncoding() const;
    void HTTPReceiveResponse(const std::vector<std::string>& lines);
    void HTTPReceiveProcess(int64_t total, int64_t received);
    bool CheckRangeAnswer(const std::vector<std::string>& lines);
    bool RedirectAllowed(const std::string& location) const;

    // Steps of get.
    std::filesystem::path TargetFolder() const;
    // innerGet repeated while it fails, attempts are left and a retry may help, a second apart.
    DownloadResult SingleRequest(const DownloadRequest& request, int& attemptsLeft);
    // Layout, fetch, check, merge and release; rangeRefused() tells afterwards whether a part's range was
    // refused.
    DownloadResult SegmentedDownload(const std::string& url, const std::string& base, const std::string& ext,
                                     int64_t totalSize);
    bool FetchParts(const std::string& url);
    // Under Mutex_Queue: a new part made of the unfetched half of the running part with most bytes left.
    MyDownload* SplitLargestRunningPart();
    // The root downloader of this download: the parent of a part downloader, else this one.
    Downloader& DownloadRoot();
    const Downloader& DownloadRoot() const;
    // The last byte a ranged request may write: rangeEnd, or less once an idle thread took the tail.
    int64_t RangeLimit(int64_t rangeEnd) const;
    int BackOffMs(int brokenRequests) const;
    std::filesystem::path FreeResultName(const std::string& base, const std::string& ext) const;
    // Sleeps ms, cut short by a stop request; false when stopped.
    bool Pause(int ms) const;
    // A stopped download is never a success: its file is removed and the error says so.
    DownloadResult FailWhenStopped(DownloadResult result);

    const bool useThreads;
    const int threadNum;
    DownloadProgressSink* const ownerInfo;
    DownloaderSubThreadInfo* const parentSubInfo;
    const DownloadSettings settings_;
    std::stop_token stop_;  // never stops unless the owner set one

    // Declared before the handle, which reports its sockets' close to batch_ when it goes.
    ReceiveBatch batch_;            // of the handle's connection
    std::vector<char> fileBuffer_;  // of the file being written; outlives it
    std::unique_ptr<CURL, CurlDeleter> HTTP;
    std::unique_ptr<curl_slist, SlistDeleter> headerList_;
    std::string caBlob_;

    mutable std::mutex Mutex_Queue;  // guards partQueue, partList while parts run, finishedThreads,
                                     // partsReceivedSum_ and the split of running parts
    std::deque<MyDownload*> partQueue;
    std::vector<std::unique_ptr<MyDownload>> partList;
    std::vector<std::unique_ptr<DownloaderSubThreadInfo>> subThreadInfos;  // while parts run
    int finishedThreads = 0;
    int64_t partsReceivedSum_ = 0;
    int64_t segmentedTotal_ = 0;  // length of the file being fetched in parts
    std::atomic<int> requestsWithoutProgress_{0};
    std::filesystem::path runFolder_;

    // State of the current request.
    Target target_ = Target::Memory;
    Attempt* attempt_ = nullptr;
    bool http10_ = false;                          // the request goes out as HTTP/1.0
    std::string acceptEncoding_ = "gzip,deflate";  // for memory targets; files always ask for identity
    int64_t lastReportedProgress = 0;
    int64_t receivedThisAttempt = 0;
    int64_t receivedBefore = 0;
    bool redirected = false;
    int redirectCode = 0;
    std::string redirectUrl;
    bool rangeRefused_ = false;        // the last request's range was not answered as asked
    bool probeRangeHonoured_ = false;  // the last probe got a 206 with the asked range
};

}  // namespace pollwick
