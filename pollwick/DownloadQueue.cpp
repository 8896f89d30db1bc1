#include "pollwick/DownloadQueue.h"

#include <algorithm>

#include "platform/Dispatcher.h"
#include "platform/qt/WindowMessages.h"
#include "pollwick/Configuration.h"
#include "winutils/Winutils_debug.h"

namespace pollwick {

namespace {

using winutils::DEBUG_GENERAL;
using winutils::DEBUG_STATUS_LOCKS;
using winutils::DebugLog;

constexpr int kTimerIntervalMs = 250;
constexpr unsigned kWorkerJoinStepMs = 1000;

}  // namespace

DownloadQueue::DownloadQueue(QObject* mainForm, std::function<void()> setProgressBarFull)
    : mainForm_(mainForm), setProgressBarFull_(std::move(setProgressBarFull)) {
    CreateWorkers();
    timer_.setInterval(kTimerIntervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { OnQueueTimer(); });
}

DownloadQueue::~DownloadQueue() {
    stopDownloads(true);
    for (Slot& slot : slots_) {
        if (!slot.thread) {
            continue;
        }
        slot.thread->Terminate();
        // The stop above ends a running download within about a second; say so in the log while waiting.
        while (!slot.thread->WaitFor(kWorkerJoinStepMs)) {
            DebugLog(DEBUG_GENERAL, "DownloadQueue::~DownloadQueue: waiting for worker %d",
                     slot.info->threadNum);
        }
        slot.thread.reset();
    }
}

bool DownloadQueue::LockQueue(const char* file, int line) {
    Mutex_Queue.lock();
    DebugLog(DEBUG_STATUS_LOCKS, "DownloadQueue::LockQueue: %s:%d", file, line);
    return true;
}

void DownloadQueue::UnlockQueue(const char* file, int line) {
    DebugLog(DEBUG_STATUS_LOCKS, "DownloadQueue::UnlockQueue: %s:%d", file, line);
    Mutex_Queue.unlock();
}

void DownloadQueue::CreateWorkers() {
    int count = 4;
    if (config) {
        config->Prefs_Lock(__FILE__, __LINE__);
        count = config->Preferences.ThreadCount;
        config->Prefs_Unlock(__FILE__, __LINE__);
    }
    for (int n = 0; n < std::min(count, kSlots); ++n) {
        Slot& slot = slots_[n];
        if (slot.info) {
            continue;
        }
        try {
            auto info = std::make_unique<DownloadQueueThreadInfo>(n, this);
            slot.thread = std::make_unique<DownloadQueueThread>(*info);
            slot.info = std::move(info);
        } catch (const std::exception& e) {
            DebugLog(DEBUG_GENERAL, "DownloadQueue: could not create worker %d: %s", n, e.what());
            slot.thread.reset();
        }
    }
}

void DownloadQueue::addSite(const std::shared_ptr<MyVideo>& item) {
    CreateWorkers();
    LockQueue(__FILE__, __LINE__);
    if (queued_.count(item.get()) != 0) {
        DebugLog(DEBUG_GENERAL,
                 "DownloadQueue::DownloadQueueThread::addSite[%p]: ALREADY QUEUED - Not adding",
                 static_cast<const void*>(item.get()));
    } else {
        waiting_.push_back(item);
        queued_.insert(item.get());
    }
    showActiveDownloadCount(WaitingCountLocked());
    UnlockQueue(__FILE__, __LINE__);
    timer_.start();
}

void DownloadQueue::OnQueueTimer() {
    timer_.stop();
    LockQueue(__FILE__, __LINE__);
    try {
        Post(kMsgWaitingCount, WaitingCountLocked(), 0);
        for (int n = 0; n < kSlots && !waiting_.empty(); ++n) {
            Slot& slot = slots_[n];
            if (!slot.thread || !slot.thread->IsSuspended() || slot.info->locked_checkIfHasVideoCopy()) {
                continue;
            }
            std::shared_ptr<MyVideo> item = waiting_.front();
            waiting_.pop_front();
            queued_.erase(item.get());
            slot.thread->handleSite(item);
        }
        showActiveDownloadCount(WaitingCountLocked());
        if (!waiting_.empty()) {
            timer_.start();
        } else {
            Post(kMsgQueueIdle, 0, 0);
        }
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "DownloadQueue::OnQueueTimer: EXCEPTION %s", e.what());
    }
    UnlockQueue(__FILE__, __LINE__);
}

int DownloadQueue::showActiveDownloadCount(int waiting) {
    int running = 0;
    for (const Slot& slot : slots_) {
        if (slot.thread && !slot.thread->IsSuspended()) {
            ++running;
        }
    }
    Post(kMsgActiveDownloadCount, waiting, running);
    return running;
}

void DownloadQueue::stopDownloads(bool shutdown) {
    LockQueue(__FILE__, __LINE__);
    for (Slot& slot : slots_) {
        if (slot.info) {
            slot.info->locked_setCancel(true);
        }
    }
    waiting_.clear();
    queued_.clear();
    Post(kMsgStopped, 0, 0);
    for (Slot& slot : slots_) {
        if (slot.info) {
            slot.info->locked_setShutdown(shutdown);
        }
    }
    if (shutdown) {
        timer_.stop();
    } else {
        timer_.start();
    }
    UnlockQueue(__FILE__, __LINE__);
}

DownloadQueueThreadInfo* DownloadQueue::Info(int slot) {
    if (slot < 0 || slot >= kSlots) {
        return nullptr;
    }
    return slots_[slot].info.get();
}

bool DownloadQueue::AllWorkersSuspended() {
    return std::all_of(slots_.begin(), slots_.end(),
                       [](const Slot& slot) { return !slot.thread || slot.thread->IsSuspended(); });
}

int DownloadQueue::WaitingCount() {
    LockQueue(__FILE__, __LINE__);
    const int count = WaitingCountLocked();
    UnlockQueue(__FILE__, __LINE__);
    return count;
}

void DownloadQueue::Post(unsigned msg, std::intptr_t wParam, std::intptr_t lParam) {
    if (mainForm_) {
        platform::PostMessage(mainForm_, msg, wParam, lParam);
    }
}

void DownloadQueue::SetProgressBarFull() {
    if (!setProgressBarFull_) {
        return;
    }
    try {
        platform::Synchronize(setProgressBarFull_);
    } catch (const std::exception& e) {
        DebugLog(DEBUG_GENERAL, "DownloadQueue::SetProgressBarFull: %s", e.what());
    }
}

}  // namespace pollwick
