// Message endpoints: hidden windows that other processes find by window class and post messages to.
//
// An endpoint is a Unix datagram socket "window.<number>" in the runtime folder (see NamedObjects.h),
// with a file "window.<number>.class" beside it that holds its window class. The number is the window
// handle that callers store in shared data: the process id shifted left by 8 bits plus a counter, never
// 0, so the socket's path follows from the handle alone. Datagrams of one sender arrive in the order
// sent. The folder is private to the user, so only the user's own processes can post.
#pragma once

#include "platform/NamedObjects.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace platform {

using WindowHandle = std::uint32_t;

struct WindowMessage {
    std::uint32_t message = 0;
    std::uint64_t wParam = 0;
    std::int64_t lParam = 0;

    bool operator==(const WindowMessage&) const = default;
};

class MessageEndpoint {
public:
    // Makes the endpoint of one hidden window of `className` in this process.
    static std::optional<MessageEndpoint> Create(const std::string& className, std::error_code& error);

    MessageEndpoint(MessageEndpoint&& other) noexcept = default;
    MessageEndpoint& operator=(MessageEndpoint&& other) noexcept;
    MessageEndpoint(const MessageEndpoint&) = delete;
    MessageEndpoint& operator=(const MessageEndpoint&) = delete;
    // Removes the endpoint: later posts to its handle fail.
    ~MessageEndpoint();

    WindowHandle Handle() const { return handle_; }
    const std::string& ClassName() const { return className_; }
    // The socket, non-blocking; readable when messages wait. For a poll loop.
    int Fd() const { return socket_.Get(); }

    // The messages that have arrived, in order; never blocks. Datagrams that are no message are dropped.
    std::vector<WindowMessage> ReadPending();

private:
    MessageEndpoint(FileDescriptor socket, WindowHandle handle, std::string className,
                    std::filesystem::path folder);
    void Remove();

    FileDescriptor socket_;
    WindowHandle handle_ = 0;
    std::string className_;
    std::filesystem::path folder_;
};

// A live endpoint whose window class equals className (ignoring ASCII case, as window classes do);
// nullopt when there is none. Endpoints left behind by dead processes are removed on the way.
std::optional<WindowHandle> FindWindow(const std::string& className);

// Queues a message to the endpoint. False at once when the endpoint does not exist or its process has
// died. When the receiver has a full queue (it does not read), waits up to 2 s for room, then gives up.
bool PostMessageTo(WindowHandle window, std::uint32_t message, std::uint64_t wParam, std::int64_t lParam);

}  // namespace platform
