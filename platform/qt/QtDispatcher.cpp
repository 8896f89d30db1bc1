#include "platform/qt/QtDispatcher.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <mutex>

#include "platform/Dispatcher.h"

namespace platform {
namespace {

// Guards gInstalled; a worker's wake-up holds it while it posts to the application, so uninstalling
// cannot pull the application away under a post.
std::mutex gQtHostLock;
bool gInstalled = false;

void WakeQtMainThread() {
    std::lock_guard guard(gQtHostLock);
    QCoreApplication* app = QCoreApplication::instance();
    if (!gInstalled || app == nullptr) {
        return;
    }
    QMetaObject::invokeMethod(
        app, [] { CheckSynchronize(); }, Qt::QueuedConnection);
}

void PumpQtEvents() {
    QCoreApplication::processEvents();
}

}  // namespace

void InstallQtDispatcher() {
    {
        std::lock_guard guard(gQtHostLock);
        gInstalled = true;
    }
    SetMainThread();
    SetDispatcherHost(WakeQtMainThread, PumpQtEvents);
}

void UninstallQtDispatcher() {
    {
        std::lock_guard guard(gQtHostLock);
        gInstalled = false;
    }
    SetDispatcherHost({}, {});
    ShutdownDispatcher();
}

}  // namespace platform
