#include "player/SessionEnd.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>

namespace player {
namespace {

// The signal handler may only write to a descriptor; the GUI thread reads the other end.
std::atomic<int> g_signalWriteFd{-1};
int g_signalReadFd = -1;

void OnSignal(int /*signal*/) {
    const int saved = errno;
    const int fd = g_signalWriteFd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

SessionEnd::SessionEnd(std::function<void()> onEnd, QObject* parent)
    : QObject(parent), onEnd_(std::move(onEnd)) {
    if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
        connect(app, &QGuiApplication::commitDataRequest, this, [this](QSessionManager&) { Fire(); });
    }
    int fds[2];
    if (g_signalWriteFd.load() >= 0 || ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        return;
    }
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_signalReadFd = fds[0];
    g_signalWriteFd = fds[1];
    notifier_ = std::make_unique<QSocketNotifier>(fds[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        [[maybe_unused]] const ssize_t n = ::read(g_signalReadFd, buffer, sizeof buffer);
        Fire();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = ::sigaction(SIGTERM, &action, nullptr) == 0;
}

SessionEnd::~SessionEnd() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    notifier_.reset();
    const int writeFd = g_signalWriteFd.exchange(-1);
    if (writeFd >= 0) {
        ::close(writeFd);
        ::close(g_signalReadFd);
        g_signalReadFd = -1;
    }
}

void SessionEnd::Fire() {
    if (fired_) {
        return;
    }
    fired_ = true;
    if (onEnd_) {
        onEnd_();
    }
}

}  // namespace player
