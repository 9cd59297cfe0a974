#include <gtest/gtest.h>

#include <ctime>

#include "Endpoint.h"
#include "Platform.h"
#include "Socket.h"
#include "support/Loopback.h"

namespace {

using hNet::Endpoint;
using hNet::NetResult;
using hNet::Socket;

Socket ListeningOn(const char* address, std::uint16_t port) {
    Socket listener;
    EXPECT_EQ(listener.Create(), NetResult::Success);
    EXPECT_EQ(listener.Listen(Endpoint(address, port), 5), NetResult::Success);
    return listener;
}

// A second server must not share, or take over, a port that one is listening on; the
// failure is then described on one line of its own.
TEST(PortReuse, ASecondListenerCannotTakeABoundPort) {
    const std::uint16_t port = support::FreePort();
    Socket first = ListeningOn("0.0.0.0", port);
    Socket second;
    ASSERT_EQ(second.Create(), NetResult::Success);
    EXPECT_EQ(second.Listen(Endpoint("127.0.0.1", port), 5), NetResult::GenericError);

    const std::string text = hNet::LastSocketErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;

    second.Close();
    first.Close();
}

// A restarted server gets its port back although the connections of the earlier run,
// closed from the server's side, are still winding down.
TEST(PortReuse, ARestartedListenerRebindsOverClosedConnections) {
    const std::uint16_t port = support::FreePort();
    Socket listener = ListeningOn("127.0.0.1", port);
    Socket client = support::ConnectClient(port);
    WSAPOLLFD entry{};
    entry.fd = listener.GetHandle();
    entry.events = POLLRDNORM;
    ASSERT_EQ(WSAPoll(&entry, 1, 2000), 1);
    Socket accepted;
    ASSERT_EQ(listener.Accept(accepted, nullptr), NetResult::Success);
    accepted.Close();
    listener.Close();

    Socket restarted;
    ASSERT_EQ(restarted.Create(), NetResult::Success);
    EXPECT_EQ(restarted.Listen(Endpoint("127.0.0.1", port), 5), NetResult::Success);
    restarted.Close();
    client.Close();
}

TEST(LocalTime, ConvertsBackToTheSameCalendarTime) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_TRUE(hNet::ToLocalTime(now, local));
    EXPECT_EQ(std::mktime(&local), now);
}

}  // namespace
