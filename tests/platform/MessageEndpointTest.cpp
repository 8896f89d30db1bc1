#include "platform/MessageEndpoint.h"

#include "platform/WindowsMessages.h"
#include "tests/platform/ForkedChild.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::FindWindow;
using platform::MessageEndpoint;
using platform::PostMessageTo;
using platform::WindowHandle;
using platform::WindowMessage;
using testsupport::ChildChannel;
using testsupport::ForkedChild;

// Reads from the endpoint until `count` messages came or timeoutMs passed.
std::vector<WindowMessage> Collect(MessageEndpoint& endpoint, std::size_t count, int timeoutMs = 20000) {
    std::vector<WindowMessage> all;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (all.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{endpoint.Fd(), POLLIN, 0};
        poll(&ready, 1, 50);
        for (const auto& message : endpoint.ReadPending()) {
            all.push_back(message);
        }
    }
    return all;
}

std::size_t EndpointFilesIn(const fs::path& folder) {
    std::size_t count = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        count += entry.path().filename().string().rfind("window.", 0) == 0 ? 1 : 0;
    }
    return count;
}

class MessageEndpoints : public testing::Test {
protected:
    fs::path Folder() const { return home_.runtimeDir() / "strevio"; }

    testsupport::IsolatedHome home_;
};

TEST_F(MessageEndpoints, AWindowIsFoundByItsClassIgnoringCase) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("ZURAROVOVE", error);
    ASSERT_TRUE(endpoint) << error.message();
    EXPECT_NE(endpoint->Handle(), 0u);
    EXPECT_EQ(FindWindow("ZURAROVOVE"), endpoint->Handle());
    EXPECT_EQ(FindWindow("zurarovove"), endpoint->Handle());
    EXPECT_FALSE(FindWindow("ZURAROVOV"));
    EXPECT_FALSE(FindWindow("OtherPollwick"));
}

TEST_F(MessageEndpoints, TwoWindowsOfOneProcessHaveTheirOwnHandles) {
    std::error_code error;
    auto first = MessageEndpoint::Create("StrevioPollwick", error);
    auto second = MessageEndpoint::Create("Hidden", error);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->Handle(), second->Handle());
    EXPECT_EQ(FindWindow("Hidden"), second->Handle());
    ASSERT_TRUE(PostMessageTo(second->Handle(), platform::WM_CLOSE, 0, 0));
    EXPECT_TRUE(first->ReadPending().empty());
    EXPECT_EQ(second->ReadPending(), (std::vector<WindowMessage>{{platform::WM_CLOSE, 0, 0}}));
}

TEST_F(MessageEndpoints, MessageValuesArriveUnchanged) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("Values", error);
    ASSERT_TRUE(endpoint);
    const std::vector<WindowMessage> sent = {
        {platform::WM_USER + 300, 0, 0},
        {platform::WM_QUERYENDSESSION, 1, -1},
        {UINT32_MAX, UINT64_MAX, INT64_MIN},
        {0, 0x1234567890ABCDEFull, INT64_MAX},
    };
    for (const auto& m : sent) {
        ASSERT_TRUE(PostMessageTo(endpoint->Handle(), m.message, m.wParam, m.lParam));
    }
    EXPECT_EQ(endpoint->ReadPending(), sent);
    EXPECT_TRUE(endpoint->ReadPending().empty()) << "reading never blocks";
}

TEST_F(MessageEndpoints, MessagesFromAnotherProcessArriveInOrder) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("ZURAROVOVE", error);
    ASSERT_TRUE(endpoint);
    constexpr std::uint32_t kCount = 300;  // well past the system's datagram queue length
    ForkedChild sender([](const ChildChannel&) {
        auto window = FindWindow("ZURAROVOVE");
        if (!window) {
            return 1;
        }
        for (std::uint32_t i = 1; i <= kCount; ++i) {
            if (!PostMessageTo(*window, platform::WM_USER, i, -static_cast<std::int64_t>(i))) {
                return 2;
            }
        }
        return 0;
    });
    auto received = Collect(*endpoint, kCount);
    EXPECT_EQ(sender.Wait(), 0);
    ASSERT_EQ(received.size(), kCount);
    for (std::uint32_t i = 0; i < kCount; ++i) {
        ASSERT_EQ(received[i], (WindowMessage{platform::WM_USER, i + 1, -static_cast<std::int64_t>(i + 1)}));
    }
}

TEST_F(MessageEndpoints, AWindowInAnotherProcessReceivesWmClose) {
    ForkedChild window([](const ChildChannel& channel) {
        std::error_code e;
        auto endpoint = MessageEndpoint::Create("ZURAROVOVE", e);
        if (!endpoint) {
            return 1;
        }
        channel.Send(endpoint->Handle());
        auto got = Collect(*endpoint, 1);
        return got == std::vector<WindowMessage>{{platform::WM_CLOSE, 0, 0}} ? 0 : 3;
    });
    auto handle = window.Channel().Receive();
    ASSERT_TRUE(handle);
    ASSERT_EQ(FindWindow("ZURAROVOVE"), static_cast<WindowHandle>(*handle));
    EXPECT_TRUE(PostMessageTo(static_cast<WindowHandle>(*handle), platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(window.Wait(), 0);
    EXPECT_FALSE(FindWindow("ZURAROVOVE")) << "an ended process's window is gone";
    EXPECT_EQ(EndpointFilesIn(Folder()), 0u);
}

// The handle of an endpoint made by a child process that was then killed (0 when none was made).
WindowHandle EndpointOfAKilledProcess(const char* className) {
    ForkedChild window([className](const ChildChannel& channel) {
        std::error_code e;
        auto endpoint = MessageEndpoint::Create(className, e);
        channel.Send(endpoint ? endpoint->Handle() : 0);
        channel.Receive(60000);
        return 0;
    });
    const auto handle = window.Channel().Receive();
    window.Kill();
    return handle ? static_cast<WindowHandle>(*handle) : 0;
}

TEST_F(MessageEndpoints, PostingToAKilledProcessFailsAtOnceAndItsLeftoversAreCleared) {
    const WindowHandle handle = EndpointOfAKilledProcess("StrevioHidden");
    ASSERT_NE(handle, 0u);
    EXPECT_GT(EndpointFilesIn(Folder()), 0u) << "a crash leaves the files behind";

    EXPECT_FALSE(PostMessageTo(handle, platform::WM_USER + 300, 0, 0));
    EXPECT_FALSE(FindWindow("StrevioHidden"));
    EXPECT_EQ(EndpointFilesIn(Folder()), 0u);
}

TEST_F(MessageEndpoints, EndpointsLeaveNoFilesAndLeftoversOfDeadOnesAreSwept) {
    {
        std::error_code error;
        std::vector<MessageEndpoint> endpoints;
        for (int i = 0; i < 20; ++i) {
            auto endpoint = MessageEndpoint::Create("Many", error);
            ASSERT_TRUE(endpoint) << error.message();
            endpoints.push_back(std::move(*endpoint));
        }
        EXPECT_EQ(EndpointFilesIn(Folder()), 40u);  // a socket and a class file each, nothing more
    }
    EXPECT_EQ(EndpointFilesIn(Folder()), 0u);

    // What a process killed while making its endpoint may have left.
    const WindowHandle handle = EndpointOfAKilledProcess("Dying");
    ASSERT_NE(handle, 0u);
    testsupport::WriteFile(Folder() / ("window." + std::to_string(handle) + ".class.tmp"), "Dyi");
    EXPECT_FALSE(FindWindow("Dying"));
    EXPECT_EQ(EndpointFilesIn(Folder()), 0u);
}

TEST_F(MessageEndpoints, ARemovedEndpointCannotBeReached) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("Gone", error);
    ASSERT_TRUE(endpoint);
    WindowHandle handle = endpoint->Handle();
    endpoint.reset();
    EXPECT_FALSE(PostMessageTo(handle, platform::WM_CLOSE, 0, 0));
    EXPECT_FALSE(FindWindow("Gone"));
    EXPECT_FALSE(PostMessageTo(0, platform::WM_CLOSE, 0, 0));
    EXPECT_FALSE(PostMessageTo(12345, platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(EndpointFilesIn(Folder()), 0u);
}

TEST_F(MessageEndpoints, AReceiverThatDoesNotReadMakesPostingFailInsteadOfHang) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("Hung", error);
    ASSERT_TRUE(endpoint);
    std::uint32_t posted = 0;
    while (posted < 1000 && PostMessageTo(endpoint->Handle(), platform::WM_USER, posted, 0)) {
        ++posted;
    }
    EXPECT_GT(posted, 0u);
    EXPECT_LT(posted, 1000u);
    auto queued = endpoint->ReadPending();
    ASSERT_EQ(queued.size(), posted) << "the queued ones are all there";
    EXPECT_EQ(queued.back().wParam, posted - 1);
    EXPECT_TRUE(PostMessageTo(endpoint->Handle(), platform::WM_USER, 0, 0)) << "room again after reading";
}

TEST_F(MessageEndpoints, DatagramsThatAreNoMessageAreDropped) {
    std::error_code error;
    auto endpoint = MessageEndpoint::Create("Junk", error);
    ASSERT_TRUE(endpoint);
    int raw = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(raw, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string path = (Folder() / ("window." + std::to_string(endpoint->Handle()))).string();
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    for (std::string junk : {std::string("hello"), std::string(24, 'x'), std::string(100, '\0')}) {
        EXPECT_EQ(
            sendto(raw, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&address), sizeof(address)),
            static_cast<ssize_t>(junk.size()));
    }
    close(raw);
    ASSERT_TRUE(PostMessageTo(endpoint->Handle(), platform::WM_CLOSE, 0, 0));
    EXPECT_EQ(endpoint->ReadPending(), (std::vector<WindowMessage>{{platform::WM_CLOSE, 0, 0}}));
}

TEST_F(MessageEndpoints, AnEmptyClassIsRefused) {
    std::error_code error;
    EXPECT_FALSE(MessageEndpoint::Create("", error));
    EXPECT_EQ(error, std::errc::invalid_argument);
}

}  // namespace
