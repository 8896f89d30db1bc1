#include "winutils/Winutils.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <atomic>
#include <memory>

// Last: Xlib's macros (Bool, Status, None) would break the Qt headers.
#include <X11/Xlib.h>

namespace winutils {
namespace {

constexpr int32_t kUnknownSystem = -1;
constexpr int32_t kFirstNtCode = 4;
constexpr uint32_t kNoAcceleration = 0;
constexpr uint32_t kFullAcceleration = 0x800;

std::atomic<bool> g_terminated{false};

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

}  // namespace

int32_t GetOSVersion() {
    // The table knows only the 9x and early NT families; every other system is "anything else".
    return kUnknownSystem;
}

bool IsUserAdministrator() {
    return geteuid() == 0;
}

bool HasAdminRights() {
    return GetOSVersion() < kFirstNtCode || IsUserAdministrator();
}

uint32_t GetDirectXVersion() {
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        return kNoAcceleration;
    }
    int opcode = 0;
    int event = 0;
    int error = 0;
    return XQueryExtension(display.get(), "XVideo", &opcode, &event, &error) ? kFullAcceleration
                                                                             : kNoAcceleration;
}

void RequestApplicationTerminate() {
    g_terminated.store(true);
    if (QCoreApplication* app = QCoreApplication::instance()) {
        // Queued, so a request from any thread reaches the loop of the application's own thread.
        QMetaObject::invokeMethod(app, &QCoreApplication::quit, Qt::QueuedConnection);
    }
}

bool ApplicationTerminated() {
    return g_terminated.load();
}

namespace testing {
void ResetApplicationTerminated() {
    g_terminated.store(false);
}
}  // namespace testing

}  // namespace winutils
