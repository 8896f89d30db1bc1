// The download queue: items wait here until a 250 ms timer on the main thread hands each to an idle
// worker (up to 10, as many as the ThreadCount preference allows). Workers report to the main form by
// posted window messages and one synchronous call that fills its progress bar.
#pragma once

#include <QObject>
#include <QTimer>
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "pollwick/DownloadQueueThread.h"

namespace pollwick {

class DownloadQueue {
public:
    static constexpr int kSlots = 10;

    // mainForm receives the queue's and the workers' messages (it must have a window message receiver);
    // setProgressBarFull runs on the main thread when a worker ends a job.
    DownloadQueue(QObject* mainForm, std::function<void()> setProgressBarFull);
    // Stops the queue, ends every worker and joins it.
    ~DownloadQueue();
    DownloadQueue(const DownloadQueue&) = delete;
    DownloadQueue& operator=(const DownloadQueue&) = delete;

    bool LockQueue(const char* file, int line);
    void UnlockQueue(const char* file, int line);

    // Queues item unless it is waiting already, and starts the timer.
    void addSite(const std::shared_ptr<MyVideo>& item);
    // The timer tick: hands waiting items to free workers.
    void OnQueueTimer();
    // Counts the running workers and posts the counts to the main form; returns the running count.
    int showActiveDownloadCount(int waiting);
    // Cancels every worker and drops the waiting items; with shutdown the workers end and the timer stops.
    void stopDownloads(bool shutdown);

    // The status record of a slot, or nullptr when the slot has no worker.
    DownloadQueueThreadInfo* Info(int slot);
    // True when every existing worker waits for an item (or has ended).
    bool AllWorkersSuspended();
    int WaitingCount();

    // For the workers.
    void Post(unsigned msg, std::intptr_t wParam, std::intptr_t lParam);
    void SetProgressBarFull();

private:
    struct Slot {
        std::unique_ptr<DownloadQueueThreadInfo> info;
        std::unique_ptr<DownloadQueueThread> thread;
    };
    void CreateWorkers();
    int WaitingCountLocked() const { return static_cast<int>(waiting_.size()); }

    QObject* const mainForm_;
    const std::function<void()> setProgressBarFull_;
    std::recursive_mutex Mutex_Queue;  // guards waiting_, queued_ and the slot scan
    std::deque<std::shared_ptr<MyVideo>> waiting_;
    std::set<const MyVideo*> queued_;
    std::array<Slot, kSlots> slots_;
    QTimer timer_;
};

}  // namespace pollwick
