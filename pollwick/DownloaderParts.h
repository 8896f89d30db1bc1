// The part threads of a segmented download and the merge of their files: the record each part thread
// shares with its owner downloader, the thread that fetches parts through its own part downloader, and the
// merge that puts the part files together in range order. The owner's get() starts the threads, waits for
// them and merges (see Downloader.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/Thread.h"

namespace pollwick {

class Downloader;

// One part of a segmented download.
struct MyDownload {
    int id = -1;  // 0 upwards in range order; also the part file's name
    std::string url;
    std::string fileName;     // the part file, set by the part thread
    int64_t rangeStart = -1;  // first byte
    int64_t rangeEnd = -1;    // last byte as sent in the Range header (inclusive)
    bool ok = false;
    bool done = false;
    bool rangeRefused = false;  // the server did not answer the range it was asked for
    std::string error;          // why the part failed
};

// The record of one part thread: the part it works on, guarded by the record's own lock.
class DownloaderSubThreadInfo {
public:
    DownloaderSubThreadInfo(int threadNum, Downloader* owner)
        : threadNum(threadNum), owner_downloader(owner) {}

    void init();
    void locked_setDownload(MyDownload* part);
    // Copies the current part's request values; false when there is none.
    bool locked_getDownload(std::string& url, int& id, int64_t& rangeStart, int64_t& rangeEnd);
    void locked_updateVideoInfo(bool ok, const std::string& fileName, bool rangeRefused,
                                const std::string& error);

    // The tail of the current part may be handed to an idle thread while this one still fetches it:
    // the part's end then moves down, and the transfer writes no byte past it.
    // The byte a new request of the current part starts at.
    void LockedSetPosition(int64_t position);
    // How many of n bytes that start at position `from` still belong to the current part; they count as
    // written.
    int64_t LockedClaim(int64_t from, int64_t n);
    // The current part's last byte as it stands now.
    int64_t LockedGetEndLimit();
    // Bytes of the current part not yet written (0 without a running part).
    int64_t LockedGetRemaining(int64_t totalSize);
    // Cuts the unfetched second half off the current part when both halves keep at least minPiece
    // bytes of a file of totalSize bytes; returns that half (first byte, last byte).
    std::optional<std::pair<int64_t, int64_t>> LockedSplitRemainder(int64_t minPiece, int64_t totalSize);

    const int threadNum;
    Downloader* const owner_downloader;

private:
    // Holds the record's lock for its scope; taking and releasing are logged.
    class Guard {
    public:
        explicit Guard(DownloaderSubThreadInfo& info);
        ~Guard();
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        DownloaderSubThreadInfo& info_;
        std::unique_lock<std::mutex> held_;
    };

    std::mutex lock_;  // guards the fields below and the fields of the part current_ points to
    MyDownload* current_ = nullptr;
    int64_t position_ = 0;  // next byte of the current part to be written
    int64_t endLimit_ = 0;  // last byte of the current part (as sent in the Range header)
};

// A part thread: takes parts from its owner until none is left.
class DownloaderSubThread : public platform::TThread {
public:
    explicit DownloaderSubThread(DownloaderSubThreadInfo& info);
    ~DownloaderSubThread() override;

protected:
    void Execute() override;

private:
    void CheckSite();
    bool InnerDownloadFilePart(const std::string& url, int id, int64_t rangeEnd, int64_t rangeStart,
                               std::string& path, bool& rangeRefused, std::string& error);

    DownloaderSubThreadInfo& threadInfo;
    // One client for all the parts this thread fetches, so its connection is kept alive between them.
    std::unique_ptr<Downloader> partDownloader_;
};

// Writes the part files of parts, in their order, into merged and removes them; false when a part is
// missing, holds other than its range's bytes, or the whole is not totalSize bytes.
bool MergeParts(const std::vector<std::unique_ptr<MyDownload>>& parts, const std::filesystem::path& merged,
                int64_t totalSize);

}  // namespace pollwick
