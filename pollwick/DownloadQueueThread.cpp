#include "pollwick/DownloadQueueThread.h"

#include <filesystem>
#include <system_error>
#include <thread>

#include "pollwick/Configuration.h"
#include "pollwick/DownloadQueue.h"
#include "pollwick/Winutils_pollwick.h"
#include "winutils/Winutils_debug.h"
#include "winutils/Winutils_string.h"

namespace pollwick {

namespace {

namespace fs = std::filesystem;
using winutils::DEBUG_GENERAL;
using winutils::DEBUG_WORKERS;
using winutils::DebugLog;

constexpr int kMaxTries = 10;
constexpr int kRetryPauseMs = 1000;
constexpr int kIdleWaitMs = 100;
constexpr int kProgressThrottleMs = 50;

const char* const kAuthenticationText =
    "Authentication required. Please edit the site and enter a username and password on the Login tab.";

}  // namespace

// --- DownloadQueueThreadInfo --------------------------------------------------------------------------

DownloadQueueThreadInfo::DownloadQueueThreadInfo(int threadNum, DownloadQueue* owner)
    : threadNum(threadNum), owner(owner) {}

void DownloadQueueThreadInfo::init() {
    std::lock_guard<std::mutex> guard(lock_);
    copy_.reset();
    item_.reset();
    done_ = ok_ = cancel_ = shutdown_ = false;
    stopSource_ = std::stop_source();
    statusMsg_.clear();
    currAction_ = "Idle";
    progressDone_ = progressTotal_ = 0;
    lastProgressMessage_ = {};
}

bool DownloadQueueThreadInfo::locked_setSite(const std::shared_ptr<MyVideo>& item) {
    if (!item) {
        return false;
    }
    std::lock_guard<std::mutex> guard(lock_);
    copy_ = std::make_unique<MyVideo>(*item);
    item_ = item;
    return true;
}

bool DownloadQueueThreadInfo::locked_checkIfHasVideoCopy() {
    std::lock_guard<std::mutex> guard(lock_);
    return copy_ != nullptr;
}

void DownloadQueueThreadInfo::locked_cleanupAllocatedData() {
    std::lock_guard<std::mutex> guard(lock_);
    copy_.reset();
}

std::string DownloadQueueThreadInfo::locked_getCurrSiteURL() {
    std::lock_guard<std::mutex> guard(lock_);
    return item_ ? item_->url : "<no currvideo>";
}

std::string DownloadQueueThreadInfo::locked_getCurrSaveAsName() {
    std::lock_guard<std::mutex> guard(lock_);
    return item_ ? item_->saveAsFileName : "";
}

std::string DownloadQueueThreadInfo::locked_getSavedAsFilename() {
    std::lock_guard<std::mutex> guard(lock_);
    return item_ ? item_->savedAsFileName : "";
}

void DownloadQueueThreadInfo::locked_setSavedAsFilename(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock_);
    if (item_) {
        item_->savedAsFileName = name;
    }
}

std::string DownloadQueueThreadInfo::locked_getStatusMsg() {
    std::lock_guard<std::mutex> guard(lock_);
    return statusMsg_;
}

void DownloadQueueThreadInfo::locked_setStatusMsg(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    statusMsg_ = text;
}

std::string DownloadQueueThreadInfo::locked_getErrorMessage() {
    std::lock_guard<std::mutex> guard(lock_);
    return errorMessage_;
}

void DownloadQueueThreadInfo::locked_setErrorMessage(const std::string& text) {
    std::lock_guard<std::mutex> guard(lock_);
    errorMessage_ = text;
}

void DownloadQueueThreadInfo::locked_setCurrAction(const std::string& text) {
    DebugLog(DEBUG_WORKERS, "DownloadQueueThreadInfo[%d]: %s", threadNum, text.c_str());
    std::lock_guard<std::mutex> guard(lock_);
    currAction_ = text;
}

std::string DownloadQueueThreadInfo::LockedGetCurrAction() {
    std::lock_guard<std::mutex> guard(lock_);
    return currAction_;
}

bool DownloadQueueThreadInfo::locked_getOK() {
    std::lock_guard<std::mutex> guard(lock_);
    return ok_;
}

void DownloadQueueThreadInfo::locked_setOK(bool ok) {
    std::lock_guard<std::mutex> guard(lock_);
    ok_ = ok;
}

bool DownloadQueueThreadInfo::locked_getDone() {
    std::lock_guard<std::mutex> guard(lock_);
    return done_;
}

void DownloadQueueThreadInfo::locked_setDone(bool done) {
    std::lock_guard<std::mutex> guard(lock_);
    done_ = done;
}

bool DownloadQueueThreadInfo::locked_getCancel() {
    std::lock_guard<std::mutex> guard(lock_);
    return cancel_;
}

void DownloadQueueThreadInfo::locked_setCancel(bool cancel) {
    std::lock_guard<std::mutex> guard(lock_);
    cancel_ = cancel;
    if (cancel) {
        stopSource_.request_stop();
    } else if (stopSource_.stop_requested()) {
        stopSource_ = std::stop_source();  // a stop cannot be taken back: later downloads get a new one
    }
}

std::stop_token DownloadQueueThreadInfo::LockedGetStopToken() {
    std::lock_guard<std::mutex> guard(lock_);
    return stopSource_.get_token();
}

bool DownloadQueueThreadInfo::locked_getShutdown() {
    std::lock_guard<std::mutex> guard(lock_);
    return shutdown_;
}

void DownloadQueueThreadInfo::locked_setShutdown(bool shutdown) {
    std::lock_guard<std::mutex> guard(lock_);
    shutdown_ = shutdown;
}

int DownloadQueueThreadInfo::locked_getErrorStatus() {
    std::lock_guard<std::mutex> guard(lock_);
    return copy_ ? copy_->errorStatus : 0;
}

void DownloadQueueThreadInfo::locked_setErrorStatus(int status) {
    std::lock_guard<std::mutex> guard(lock_);
    if (copy_) {
        copy_->errorStatus = status;
    }
}

int DownloadQueueThreadInfo::ProgressPercent(int64_t total, int64_t done) {
    if (total == 0) {
        return 0;
    }
    return static_cast<int>(100.0 / static_cast<double>(total) * static_cast<double>(done));
}

void DownloadQueueThreadInfo::locked_setProgress(int64_t total, int64_t done) {
    if (done < 0 || total < 0) {
        return;
    }
    using namespace std::chrono;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (done == progressDone_ && total == progressTotal_) {
            return;
        }
        progressDone_ = done;
        progressTotal_ = total;
        const auto now = system_clock::now();
        const bool sameSecond = floor<seconds>(now) == floor<seconds>(lastProgressMessage_);
        const auto sinceLast = duration_cast<milliseconds>(now - lastProgressMessage_).count();
        if (sameSecond && sinceLast <= kProgressThrottleMs && done != total) {
            return;
        }
        lastProgressMessage_ = now;
    }
    if (owner) {
        owner->Post(kMsgProgress, threadNum, ProgressPercent(total, done));
    }
}

// --- DownloadQueueThread ------------------------------------------------------------------------------

DownloadQueueThread::DownloadQueueThread(DownloadQueueThreadInfo& info)
    : platform::TThread("DownloadQueueThread " + std::to_string(info.threadNum)), info_(info) {
    DebugLog(DEBUG_WORKERS, "DownloadQueueThread::DownloadQueueThread: slot %d", info.threadNum);
}

DownloadQueueThread::~DownloadQueueThread() {
    TerminateAndWait();
}

void DownloadQueueThread::handleSite(const std::shared_ptr<MyVideo>& item) {
    info_.init();
    info_.locked_setSite(item);
    Resume();
}

void DownloadQueueThread::Resume() {
    suspended_.store(false);
    if (!Started()) {
        Start();
    }
    resumed_.SetEvent();
}

void DownloadQueueThread::Execute() {
    while (!info_.locked_getShutdown() && !Terminated()) {
        if (suspended_.load() || info_.locked_getDone()) {
            resumed_.WaitFor(kIdleWaitMs);
            continue;
        }
        try {
            DownloadPageAndVideoFile();
        } catch (const std::exception& e) {
            DebugLog(DEBUG_GENERAL, "DownloadQueueThread::Execute: EXCEPTION %s", e.what());
        }
        info_.locked_setCurrAction("DownloadQueueThread::Execute: Suspending thread");
        suspended_.store(true);
        while (suspended_.load() && !Terminated() && !info_.locked_getShutdown()) {
            resumed_.WaitFor(kIdleWaitMs);
        }
        info_.locked_setCurrAction("DownloadQueueThread::Execute: Thread woke up");
    }
    suspended_.store(true);
}

std::string DownloadQueueThread::RetryUrl(const std::string& url, int tries) {
    const char separator = url.find('?') == std::string::npos ? '?' : '&';
    return url + separator + "cb=" + std::to_string(tries);
}

void DownloadQueueThread::Post(unsigned msg) {
    if (info_.owner) {
        info_.owner->Post(msg, info_.threadNum, 0);
    }
}

void DownloadQueueThread::PauseBeforeRetry() {
    // In short steps, so that a cancel or the end of the program does not wait for the whole pause.
    for (int waited = 0; waited < kRetryPauseMs && !Terminated() && !info_.locked_getCancel();
         waited += kIdleWaitMs) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kIdleWaitMs));
    }
}

void DownloadQueueThread::DownloadPageAndVideoFile() {
    info_.locked_setCurrAction("Initializing before checking site");
    const std::string itemUrl = info_.locked_getCurrSiteURL();
    const std::string saveAsName = info_.locked_getCurrSaveAsName();

    std::string filePath;
    std::string url = itemUrl;
    bool ok = false;
    for (int tries = 0; tries < kMaxTries && !Terminated();) {
        ok = InnerCheckSite(filePath, saveAsName, url);
        if (ok) {
            break;
        }
        if (info_.locked_getErrorMessage().find("Error 403") == std::string::npos) {
            break;
        }
        info_.locked_setStatusMsg("Retrying ...");
        Post(kMsgStatusChanged);
        PauseBeforeRetry();
        ++tries;
        url = RetryUrl(itemUrl, tries);
    }

    config->Prefs_Lock(__FILE__, __LINE__);
    std::string folder = config->Preferences.TempFolder;
    const bool overwrite = config->Preferences.Overwrite;
    config->Prefs_Unlock(__FILE__, __LINE__);
    winutils::AddTrailingBackslash(folder);

    std::string error;
    if (ok && filePath.empty()) {
        // Without a save-as name the downloader keeps the body in memory: there is no file to hand on.
        info_.locked_setErrorMessage("No file was saved");
        ok = false;
    }
    if (ok) {
        const std::string ext = fs::path(filePath).extension().string();
        std::string destination;
        ok = getDestinationName(filePath, ext, error, destination, overwrite, folder);
        if (ok && ShellMoveFile(filePath, destination, true, !overwrite)) {
            info_.locked_setSavedAsFilename(destination);
        } else if (ok) {
            DebugLog(DEBUG_GENERAL, "DownloadQueueThread::DownloadPageAndVideoFile: MOVE FAILED!");
        }
    }
    const std::string message = info_.locked_getErrorMessage();
    info_.locked_setStatusMsg(ok ? "Done"
                                 : "Error: " + (message.empty() ? "Problem handling download" : message));
    Post(kMsgStatusChanged);
    info_.locked_setDone(true);
    info_.locked_setOK(ok);
    if (info_.owner) {
        info_.owner->SetProgressBarFull();
    }
    Post(kMsgJobFinished);
}

bool DownloadQueueThread::InnerCheckSite(std::string& filePath, const std::string& saveAsName,
                                         const std::string& urlIn) {
    if (!info_.locked_checkIfHasVideoCopy()) {
        DebugLog(DEBUG_GENERAL, "DownloadQueueThread::InnerCheckSite: no item");
        return false;
    }
    bool result = false;
    info_.locked_setCurrAction("Initializing before checking site");
    std::unique_ptr<Downloader> downloader;
    try {
        try {
            downloader = std::make_unique<Downloader>(info_.threadNum, true, &info_, nullptr,
                                                      config->ToDownloadSettings());
        } catch (const std::bad_alloc&) {
            info_.locked_setStatusMsg("Could not initialize Downloader object - OUT OF MEMORY.");
            throw GWException("Out of memory allocating downloader");
        }
        // Taken before the cancel test: a cancel after the test still stops the download.
        downloader->SetStopToken(info_.LockedGetStopToken());
        if (info_.locked_getCancel()) {
            info_.locked_setStatusMsg("Cancelled");
            throw GWException("Cancelled");
        }
        std::string error;
        std::string url = urlIn;
        FixURLParameters(url);
        filePath.clear();
        if (info_.locked_getErrorStatus() != 0) {
            info_.locked_setErrorMessage("");
            info_.locked_setErrorStatus(0);
        }
        info_.locked_setCurrAction("Downloading installer " + url);
        info_.locked_setStatusMsg("Downloading installer");
        Post(kMsgStatusChanged);
        DownloadRequest request;
        request.url = url;
        request.saveToFilename = saveAsName;
        const DownloadResult download = downloader->get(request);
        const bool ok = download.ok;
        error = download.error;
        filePath = download.savedPath;
        if (!ok && downloader->StopRequested()) {
            // Cancelled while downloading: ends as a cancel before the download does.
            info_.locked_setStatusMsg("Cancelled");
            throw GWException("Cancelled");
        }
        if (!ok) {
            info_.locked_setCurrAction("checkSite. Download failed");
            Post(kMsgStatusChanged);
            if (downloader->statusCode == 401) {
                error = kAuthenticationText;
            }
            info_.locked_setErrorMessage(error);
            throw GWSiteCheckException("Could not download page: " + error);
        }
        info_.locked_setErrorStatus(0);
        result = true;
    } catch (const GWException& e) {
        info_.locked_setCurrAction(std::string("Caught GWException: ") + e.what());
        info_.locked_setErrorMessage(e.what());
        info_.locked_setErrorStatus(1);
    } catch (const GWSiteCheckException& e) {
        info_.locked_setCurrAction(std::string("Caught GWException: ") + e.what());
        info_.locked_setErrorStatus(1);
        info_.locked_setStatusMsg(info_.locked_getErrorMessage());
    } catch (...) {
        info_.locked_setCurrAction("Caught unknown exception");
    }
    info_.locked_setCurrAction("checkSite. Deallocating objects");
    downloader.reset();
    info_.locked_setCurrAction("checkSite. Idle");
    return result;
}

bool DownloadQueueThread::getDestinationName(const std::string& source, const std::string& ext,
                                             std::string& error, std::string& destination, bool overwrite,
                                             const std::string& folder) {
    const std::string name = fs::path(source).filename().string();
    if (name.empty()) {
        error = "No file name";
        return false;
    }
    destination = folder + name;
    if (destination == source) {
        error = "Input/Output names are the same";
        return false;
    }
    std::error_code ec;
    fs::create_directories(fs::path(destination).parent_path(), ec);
    bool usable = true;
    if (fs::exists(fs::symlink_status(destination, ec))) {
        usable = overwrite && fs::remove(destination, ec) && !fs::exists(fs::symlink_status(destination, ec));
    }
    if (!usable) {
        const std::string stem = destination.substr(0, destination.size() - ext.size());
        for (int n = 1;; ++n) {
            const std::string candidate = stem + "_" + std::to_string(n) + ext;
            if (!fs::exists(fs::symlink_status(candidate, ec))) {
                destination = candidate;
                break;
            }
        }
    }
    return true;
}

}  // namespace pollwick
