#include "pollwick/DownloaderParts.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pollwick/Downloader.h"
#include "pollwick/Winutils_pollwick.h"
#include "winutils/ConfigurationBase.h"
#include "winutils/Winutils_debug.h"

namespace pollwick {

namespace fs = std::filesystem;

#define DLOG(fmt, ...)                                                                    \
    winutils::DebugLog(winutils::DEBUG_DOWNLOADER, "Downloader::%s[%4d]: " fmt, __func__, \
                       __LINE__ __VA_OPT__(, ) __VA_ARGS__)

namespace {

constexpr size_t kMergeBlock = 64000;

// An open file descriptor, closed with its owner.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { Close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    explicit operator bool() const { return fd_ >= 0; }
    int Get() const { return fd_; }
    // False when closing reported an error (a write that did not reach the file).
    bool Close() {
        const int fd = std::exchange(fd_, -1);
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int fd_;
};

// Appends what `from` holds from its start to `to`; the bytes appended, or -1 on a failure. The kernel
// copies between the files itself where it can; otherwise the bytes pass through kMergeBlock at a time.
int64_t AppendFile(int from, int to) {
    int64_t total = 0;
    for (;;) {
        const ssize_t n = copy_file_range(from, nullptr, to, nullptr, size_t{1} << 30, 0);
        if (n > 0) {
            total += n;
        } else if (n == 0) {
            return total;
        } else if (errno != EINTR) {
            const bool unsupported =
                errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP;
            if (total > 0 || !unsupported) {
                return -1;
            }
            break;
        }
    }
    std::vector<char> buffer(kMergeBlock);
    for (;;) {
        const ssize_t got = read(from, buffer.data(), buffer.size());
        if (got == 0) {
            return total;
        }
        if (got < 0 && errno != EINTR) {
            return -1;
        }
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = write(to, buffer.data() + done, static_cast<size_t>(got - done));
            if (put < 0 && errno != EINTR) {
                return -1;
            }
            done += std::max<ssize_t>(put, 0);
        }
        total += std::max<ssize_t>(got, 0);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Part thread records.

DownloaderSubThreadInfo::Guard::Guard(DownloaderSubThreadInfo& info) : info_(info) {
    winutils::DebugLog(winutils::DEBUG_STATUS_LOCKS, "DownloaderSubThreadInfo::lock[%p]",
                       static_cast<void*>(&info_));
    held_ = std::unique_lock(info_.lock_);
}

DownloaderSubThreadInfo::Guard::~Guard() {
    held_.unlock();
    winutils::DebugLog(winutils::DEBUG_STATUS_LOCKS, "DownloaderSubThreadInfo::unlock[%p]",
                       static_cast<void*>(&info_));
}

void DownloaderSubThreadInfo::init() {
    Guard guard(*this);
    current_ = nullptr;
}

void DownloaderSubThreadInfo::locked_setDownload(MyDownload* part) {
    Guard guard(*this);
    current_ = part;
    position_ = part ? part->rangeStart : 0;
    endLimit_ = part ? part->rangeEnd : 0;
}

void DownloaderSubThreadInfo::LockedSetPosition(int64_t position) {
    Guard guard(*this);
    position_ = position;
}

int64_t DownloaderSubThreadInfo::LockedClaim(int64_t from, int64_t n) {
    Guard guard(*this);
    const int64_t allowed = std::clamp<int64_t>(endLimit_ - from + 1, 0, n);
    position_ = from + allowed;
    return allowed;
}

int64_t DownloaderSubThreadInfo::LockedGetEndLimit() {
    Guard guard(*this);
    return endLimit_;
}

int64_t DownloaderSubThreadInfo::LockedGetRemaining(int64_t totalSize) {
    Guard guard(*this);
    return current_ && !current_->done ? std::min(endLimit_, totalSize - 1) - position_ + 1 : 0;
}

std::optional<std::pair<int64_t, int64_t>> DownloaderSubThreadInfo::LockedSplitRemainder(int64_t minPiece,
                                                                                          int64_t totalSize) {
    Guard guard(*this);
    if (!current_ || current_->done) {
        return std::nullopt;
    }
    // The last part asks up to the length itself; only bytes that exist count.
    const int64_t remaining = std::min(endLimit_, totalSize - 1) - position_ + 1;
    if (remaining < 2 * minPiece) {
        return std::nullopt;
    }
    const int64_t mid = position_ + remaining / 2;
    std::pair<int64_t, int64_t> piece(mid, endLimit_);
    endLimit_ = mid - 1;
    current_->rangeEnd = endLimit_;
    return piece;
}

bool DownloaderSubThreadInfo::locked_getDownload(std::string& url, int& id, int64_t& rangeStart,
                                                 int64_t& rangeEnd) {
    bool has = false;
    {
        Guard guard(*this);
        has = current_ != nullptr;
        if (has) {
            url = current_->url;
            id = current_->id;
            rangeStart = current_->rangeStart;
            rangeEnd = current_->rangeEnd;
        }
    }
    winutils::DebugLog(winutils::DEBUG_WORKERS, "DownloaderSubThreadInfo::locked_getDownload[%p]: %s",
                       static_cast<void*>(this), has ? url.c_str() : "<none>");
    return has;
}

void DownloaderSubThreadInfo::locked_updateVideoInfo(bool ok, const std::string& fileName, bool rangeRefused,
                                                     const std::string& error) {
    {
        Guard guard(*this);
        if (current_) {
            current_->ok = ok;
            current_->done = true;
            current_->fileName = fileName;
            current_->rangeRefused = rangeRefused;
            current_->error = error;
        }
    }
    winutils::DebugLog(winutils::DEBUG_WORKERS,
                       "DownloaderSubThreadInfo::locked_updateVideoInfo[%p]: ok=%d %s",
                       static_cast<void*>(this), ok ? 1 : 0, fileName.c_str());
}

DownloaderSubThread::DownloaderSubThread(DownloaderSubThreadInfo& info)
    : platform::TThread("part" + std::to_string(info.threadNum)), threadInfo(info) {}

DownloaderSubThread::~DownloaderSubThread() {
    TerminateAndWait();
    winutils::DebugLog(winutils::DEBUG_GENERAL, "DownloaderSubThread::~DownloaderSubThread[%p]",
                       static_cast<void*>(this));
}

void DownloaderSubThread::Execute() {
    while (!Terminated()) {
        MyDownload* part = threadInfo.owner_downloader->getMoreWorkForSubThread();
        if (!part) {
            break;
        }
        winutils::DebugLog(winutils::DEBUG_GENERAL, "DownloaderSubThread::Execute[%p]: part %d",
                           static_cast<void*>(this), part->id);
        try {
            threadInfo.init();
            threadInfo.locked_setDownload(part);
            CheckSite();
        } catch (const std::exception& e) {
            winutils::DebugLog(winutils::DEBUG_GENERAL, "DownloaderSubThread::Execute[%p]: exception %s",
                               static_cast<void*>(this), e.what());
        }
    }
}

void DownloaderSubThread::CheckSite() {
    std::string url;
    int id = -1;
    int64_t rangeStart = -1;
    int64_t rangeEnd = -1;
    if (!threadInfo.locked_getDownload(url, id, rangeStart, rangeEnd)) {
        winutils::DebugLog(winutils::DEBUG_WORKERS, "DownloaderSubThread::CheckSite[%p]: no part",
                           static_cast<void*>(this));
        return;
    }
    std::string path;
    bool rangeRefused = false;
    std::string error;
    bool ok = InnerDownloadFilePart(url, id, rangeEnd, rangeStart, path, rangeRefused, error);
    threadInfo.locked_updateVideoInfo(ok, path, rangeRefused, error);
}

bool DownloaderSubThread::InnerDownloadFilePart(const std::string& url, int id, int64_t rangeEnd,
                                                int64_t rangeStart, std::string& path, bool& rangeRefused,
                                                std::string& error) {
    bool ok = false;
    try {
        if (!partDownloader_) {
            partDownloader_ = std::make_unique<Downloader>(threadInfo.threadNum, false, nullptr, &threadInfo,
                                                           threadInfo.owner_downloader->Settings());
        }
        Downloader& part = *partDownloader_;
        DownloadRequest request;
        request.url = url;
        FixURLParameters(request.url);
        request.saveToFilename = std::to_string(id);
        request.rangeEnd = rangeEnd;
        request.rangeStart = rangeStart;
        const DownloadResult result = part.get(request);
        ok = result.ok;
        path = result.savedPath;
        error = result.error;
        rangeRefused = part.rangeRefused();
        if (!ok) {
            if (part.statusCode == 401) {
                error = winutils::ConfigurationBase::GetText(
                    "DOWNLOADQUEUE_25",
                    "Authentication required. Please edit the site and enter a username and password on the "
                    "Login tab.");
            }
            throw GWSiteCheckException(
                winutils::ConfigurationBase::GetText("DOWNLOADQUEUE_27", "Could not download page:") + " " +
                error);
        }
    } catch (const std::exception& e) {
        winutils::DebugLog(winutils::DEBUG_WORKERS, "DownloaderSubThread::InnerDownloadFilePart[%p]: %s",
                           static_cast<void*>(this), e.what());
        ok = false;
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------------------
// The merge.

bool MergeParts(const std::vector<std::unique_ptr<MyDownload>>& parts, const fs::path& merged,
                int64_t totalSize) {
    FileDescriptor out(open(merged.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (!out) {
        DLOG("could not create [%s]", merged.c_str());
        return false;
    }
    int64_t total = 0;
    for (const auto& part : parts) {
        const int64_t expected = std::min(part->rangeEnd, totalSize - 1) - part->rangeStart + 1;
        FileDescriptor in(open(part->fileName.c_str(), O_RDONLY | O_CLOEXEC));
        if (!in) {
            DLOG("could not open part [%s]", part->fileName.c_str());
            return false;
        }
        const int64_t partBytes = AppendFile(in.Get(), out.Get());
        in.Close();
        std::error_code ignored;
        fs::remove(part->fileName, ignored);
        if (partBytes < 0) {
            DLOG("Error handling part [%s]. Read %d bytes but could only write %d", part->fileName.c_str(),
                 static_cast<int>(expected), 0);
            return false;
        }
        if (partBytes != expected) {
            DLOG("part [%s] holds %lld bytes, %lld expected", part->fileName.c_str(),
                 static_cast<long long>(partBytes), static_cast<long long>(expected));
            return false;
        }
        total += partBytes;
    }
    if (total != totalSize) {
        DLOG("merged %lld bytes, %lld expected", static_cast<long long>(total),
             static_cast<long long>(totalSize));
        return false;
    }
    return out.Close();
}

}  // namespace pollwick
