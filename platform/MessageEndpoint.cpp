#include "platform/MessageEndpoint.h"

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <utility>

namespace platform {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kWireMagic = 0x4D534731;  // "MSG1"
constexpr int kPostRoomWaitMs = 2000;
constexpr int kCounterBits = 8;

struct Wire {
    std::uint32_t magic;
    std::uint32_t message;
    std::uint64_t wParam;
    std::int64_t lParam;
};

std::string SocketName(WindowHandle handle) {
    return "window." + std::to_string(handle);
}
std::string ClassFileName(WindowHandle handle) {
    return SocketName(handle) + ".class";
}

std::optional<sockaddr_un> AddressOf(const fs::path& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string& text = socketPath.native();
    if (text.size() >= sizeof(address.sun_path)) {
        return std::nullopt;
    }
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return address;
}

FileDescriptor DatagramSocket(int extraFlags) {
    return FileDescriptor(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | extraFlags, 0));
}

// A socket connected to the endpoint, or an invalid one when nobody receives there.
FileDescriptor ConnectTo(const fs::path& socketPath) {
    auto address = AddressOf(socketPath);
    FileDescriptor fd = DatagramSocket(0);
    if (!address || !fd.Valid()) {
        return {};
    }
    while (connect(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
        if (errno != EINTR) {
            return {};
        }
    }
    return fd;
}

bool IsAlive(const fs::path& socketPath) {
    return ConnectTo(socketPath).Valid();
}

WindowHandle NextHandle() {
    static std::atomic<std::uint32_t> counter{0};
    std::uint32_t low = 0;
    do {
        low = counter.fetch_add(1) & ((1u << kCounterBits) - 1);
    } while (low == 0);
    return (static_cast<std::uint32_t>(getpid()) << kCounterBits) | low;
}

bool EqualsIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; };
        if (lower(static_cast<unsigned char>(a[i])) != lower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

// Written in place: endpoints are made and looked up under the runtime folder's lock, so nobody reads a
// class file while it is written, and one left half-written by a crash belongs to a dead endpoint, whose
// files the next look-up removes.
bool WriteClassFile(const fs::path& folder, WindowHandle handle, const std::string& className) {
    std::ofstream out(folder / ClassFileName(handle), std::ios::binary | std::ios::trunc);
    out << className;
    return static_cast<bool>(out.flush());
}

// Earlier builds wrote the class file through this temporary name; one left by a crash goes with the rest.
std::string LeftoverTemporaryName(WindowHandle handle) {
    return ClassFileName(handle) + ".tmp";
}

void RemoveEndpointFiles(const fs::path& folder, WindowHandle handle) {
    unlink((folder / SocketName(handle)).c_str());
    unlink((folder / ClassFileName(handle)).c_str());
    unlink((folder / LeftoverTemporaryName(handle)).c_str());
}

// The handle named by a file "window.<number>", "window.<number>.class" or "window.<number>.class.tmp";
// 0 for any other file.
WindowHandle HandleOfFile(const std::string& fileName) {
    const std::string prefix = "window.";
    if (fileName.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    std::string rest = fileName.substr(prefix.size());
    std::size_t digits = 0;
    while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') {
        ++digits;
    }
    std::string suffix = rest.substr(digits);
    if (digits == 0 || digits > 10 || (!suffix.empty() && suffix != ".class" && suffix != ".class.tmp")) {
        return 0;
    }
    unsigned long long value = std::stoull(rest.substr(0, digits));
    return value <= UINT32_MAX ? static_cast<WindowHandle>(value) : 0;
}

std::vector<WindowHandle> ListedHandles(const fs::path& folder) {
    std::vector<WindowHandle> handles;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(folder.c_str()), closedir);
    if (!dir) {
        return handles;
    }
    while (dirent* entry = readdir(dir.get())) {
        WindowHandle handle = HandleOfFile(entry->d_name);
        if (handle != 0) {
            handles.push_back(handle);
        }
    }
    std::sort(handles.begin(), handles.end());
    handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
    return handles;
}

}  // namespace

MessageEndpoint::MessageEndpoint(FileDescriptor socket, WindowHandle handle, std::string className,
                                 fs::path folder)
    : socket_(std::move(socket)),
      handle_(handle),
      className_(std::move(className)),
      folder_(std::move(folder)) {}

MessageEndpoint& MessageEndpoint::operator=(MessageEndpoint&& other) noexcept {
    if (this != &other) {
        Remove();
        socket_ = std::move(other.socket_);
        handle_ = std::exchange(other.handle_, 0);
        className_ = std::move(other.className_);
        folder_ = std::move(other.folder_);
    }
    return *this;
}

MessageEndpoint::~MessageEndpoint() {
    Remove();
}

void MessageEndpoint::Remove() {
    if (!socket_.Valid()) {
        return;
    }
    // The files go first, so a sender meets a missing endpoint rather than a closed one.
    RemoveEndpointFiles(folder_, handle_);
    socket_ = FileDescriptor();
}

std::optional<MessageEndpoint> MessageEndpoint::Create(const std::string& className, std::error_code& error) {
    error.clear();
    if (className.empty()) {
        error = std::make_error_code(std::errc::invalid_argument);
        return std::nullopt;
    }
    auto locked = LockRuntimeFolder(error);
    if (!locked) {
        return std::nullopt;
    }
    const fs::path& folder = locked->path;
    constexpr int kAttempts = 1 << kCounterBits;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        WindowHandle handle = NextHandle();
        fs::path socketPath = folder / SocketName(handle);
        auto address = AddressOf(socketPath);
        FileDescriptor fd = DatagramSocket(SOCK_NONBLOCK);
        if (!address || !fd.Valid()) {
            error = address ? std::error_code(errno, std::generic_category())
                            : std::make_error_code(std::errc::filename_too_long);
            return std::nullopt;
        }
        if (bind(fd.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
            if (errno != EADDRINUSE) {
                error.assign(errno, std::generic_category());
                return std::nullopt;
            }
            // Left by a dead process whose id came back: take the name over. A live one is ours.
            if (!IsAlive(socketPath)) {
                RemoveEndpointFiles(folder, handle);
            }
            continue;
        }
        if (!WriteClassFile(folder, handle, className)) {
            error = std::make_error_code(std::errc::io_error);
            RemoveEndpointFiles(folder, handle);
            return std::nullopt;
        }
        return MessageEndpoint(std::move(fd), handle, className, folder);
    }
    error = std::make_error_code(std::errc::address_in_use);
    return std::nullopt;
}

std::vector<WindowMessage> MessageEndpoint::ReadPending() {
    std::vector<WindowMessage> messages;
    for (;;) {
        Wire wire{};
        ssize_t got = recv(socket_.Get(), &wire, sizeof(wire), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (static_cast<std::size_t>(got) == sizeof(wire) && wire.magic == kWireMagic) {
            messages.push_back({wire.message, wire.wParam, wire.lParam});
        }
    }
    return messages;
}

std::optional<WindowHandle> FindWindow(const std::string& className) {
    std::error_code error;
    auto locked = LockRuntimeFolder(error);
    if (!locked) {
        return std::nullopt;
    }
    const fs::path& folder = locked->path;
    std::optional<WindowHandle> found;
    for (WindowHandle handle : ListedHandles(folder)) {
        if (!IsAlive(folder / SocketName(handle))) {
            RemoveEndpointFiles(folder, handle);
            continue;
        }
        std::ifstream in(folder / ClassFileName(handle), std::ios::binary);
        std::string recorded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!found && EqualsIgnoringAsciiCase(recorded, className)) {
            found = handle;
        }
    }
    return found;
}

bool PostMessageTo(WindowHandle window, std::uint32_t message, std::uint64_t wParam, std::int64_t lParam) {
    std::error_code error;
    auto folder = RuntimeFolder(error);
    if (window == 0 || !folder) {
        return false;
    }
    FileDescriptor fd = ConnectTo(*folder / SocketName(window));
    if (!fd.Valid()) {
        return false;
    }
    const Wire wire{kWireMagic, message, wParam, lParam};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kPostRoomWaitMs);
    for (;;) {
        if (send(fd.Get(), &wire, sizeof(wire), MSG_DONTWAIT | MSG_NOSIGNAL) ==
            static_cast<ssize_t>(sizeof(wire))) {
            return true;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return false;  // the receiver went away meanwhile
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd room{fd.Get(), POLLOUT, 0};
        poll(&room, 1, static_cast<int>(left.count()));
    }
}

}  // namespace platform
