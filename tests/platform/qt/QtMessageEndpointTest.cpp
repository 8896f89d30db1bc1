#include "platform/qt/QtMessageEndpoint.h"

#include "platform/WindowsMessages.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>
#include <QEventLoop>
#include <QTimer>

#include <tuple>
#include <vector>

namespace {

using Received = std::tuple<quint32, quint64, qint64>;

TEST(QtMessageEndpoint, PostedMessagesArriveAsSignalsInOrder) {
    testsupport::IsolatedHome home;
    std::error_code error;
    auto endpoint = platform::QtMessageEndpoint::Create("StrevioHidden", error);
    ASSERT_TRUE(endpoint) << error.message();
    EXPECT_EQ(endpoint->ClassName(), "StrevioHidden");
    EXPECT_EQ(platform::FindWindow("StrevioHidden"), endpoint->Handle());

    std::vector<Received> received;
    QEventLoop loop;
    QObject::connect(endpoint.get(), &platform::QtMessageEndpoint::messageReceived,
                     [&](quint32 message, quint64 wParam, qint64 lParam) {
                         received.emplace_back(message, wParam, lParam);
                         if (received.size() == 3) {
                             loop.quit();
                         }
                     });
    ASSERT_TRUE(platform::PostMessageTo(endpoint->Handle(), platform::WM_USER + 300, 0, 0));
    ASSERT_TRUE(platform::PostMessageTo(endpoint->Handle(), platform::WM_CLOSE, 1, -2));
    ASSERT_TRUE(platform::PostMessageTo(endpoint->Handle(), platform::WM_QUIT, 3, 4));
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();

    const std::vector<Received> expected = {
        {platform::WM_USER + 300, 0, 0}, {platform::WM_CLOSE, 1, -2}, {platform::WM_QUIT, 3, 4}};
    EXPECT_EQ(received, expected);
}

TEST(QtMessageEndpoint, AReceiverMayDeleteTheEndpointFromItsSlot) {
    testsupport::IsolatedHome home;
    std::error_code error;
    auto endpoint = platform::QtMessageEndpoint::Create("Closing", error);
    ASSERT_TRUE(endpoint);
    const platform::WindowHandle handle = endpoint->Handle();
    int calls = 0;
    QEventLoop loop;
    QObject::connect(endpoint.get(), &platform::QtMessageEndpoint::messageReceived,
                     [&](quint32, quint64, qint64) {
                         ++calls;
                         endpoint.reset();  // as a hidden window that WM_CLOSE destroys
                         loop.quit();
                     });
    ASSERT_TRUE(platform::PostMessageTo(handle, platform::WM_CLOSE, 0, 0));
    ASSERT_TRUE(platform::PostMessageTo(handle, platform::WM_CLOSE, 0, 0));
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(endpoint);
    EXPECT_FALSE(platform::PostMessageTo(handle, platform::WM_CLOSE, 0, 0));
}

}  // namespace
