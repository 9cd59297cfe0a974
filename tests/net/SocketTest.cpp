#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Endpoint.h"
#include "Socket.h"
#include "support/Loopback.h"

namespace {

using hNet::Endpoint;
using hNet::IpVersion;
using hNet::NetResult;
using hNet::Socket;

bool IsNonBlocking(const Socket& socket) {
    char byte = 0;
    return recv(socket.GetHandle(), &byte, 1, 0) == SOCKET_ERROR &&
           WSAGetLastError() == WSAEWOULDBLOCK;
}

// Accepts the client that is connecting, waiting at most a second for it.
Socket AcceptWaiting(Socket& listener, Endpoint* peer) {
    Socket accepted;
    if (support::WaitFor(listener.GetHandle(), POLLRDNORM, 1000)) {
        listener.Accept(accepted, peer);
    }
    return accepted;
}

TEST(Socket, CreateAndCloseGuardTheirState) {
    Socket socket;
    EXPECT_EQ(socket.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(socket.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(socket.Close(), NetResult::GenericError);

    ASSERT_EQ(socket.Create(), NetResult::Success);
    const SOCKET first = socket.GetHandle();
    EXPECT_NE(first, INVALID_SOCKET);
    EXPECT_EQ(socket.Create(), NetResult::GenericError);
    EXPECT_EQ(socket.GetHandle(), first);

    Socket copy = socket;  // a copy names the same platform socket
    EXPECT_EQ(copy.GetHandle(), first);
    EXPECT_EQ(socket.Close(), NetResult::Success);
    EXPECT_EQ(socket.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(socket.Close(), NetResult::GenericError);
}

TEST(Socket, AcceptWithNobodyWaitingLeavesOutArgumentsAlone) {
    Socket listener;
    ASSERT_EQ(listener.Create(), NetResult::Success);
    ASSERT_EQ(listener.Listen(Endpoint("127.0.0.1", 0), 5), NetResult::Success);

    Socket out(IpVersion::IPv6, static_cast<SOCKET>(12345));
    Endpoint outEndpoint("192.0.2.1", 9);
    EXPECT_EQ(listener.Accept(out, &outEndpoint), NetResult::GenericError);
    EXPECT_EQ(out.GetHandle(), static_cast<SOCKET>(12345));
    EXPECT_EQ(out.GetIpVersion(), IpVersion::IPv6);
    EXPECT_EQ(outEndpoint.GetIpString(), "192.0.2.1");
    listener.Close();
}

TEST(Socket, AcceptedSocketIsNonBlockingWithNoDelay) {
    Socket listener;
    ASSERT_EQ(listener.Create(), NetResult::Success);
    ASSERT_EQ(listener.Listen(Endpoint("127.0.0.1", 0), 5), NetResult::Success);
    Socket client = support::ConnectClient(support::LocalPort(listener), 0, "127.0.0.1");

    Endpoint peer;
    Socket accepted = AcceptWaiting(listener, &peer);
    ASSERT_NE(accepted.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(accepted.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(peer.GetIpString(), "127.0.0.1");
    EXPECT_TRUE(IsNonBlocking(accepted));

    int noDelay = 0;
    socklen_t length = sizeof(noDelay);
    getsockopt(accepted.GetHandle(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay),
               &length);
    EXPECT_NE(noDelay, 0);

    accepted.Close();
    client.Close();
    listener.Close();
}

TEST(Socket, HeldPortsCannotBeTakenTwice) {
    Socket holder = support::UnlistenedSocket();
    const std::uint16_t port = support::LocalPort(holder);

    Socket second;
    ASSERT_EQ(second.Create(), NetResult::Success);
    EXPECT_EQ(second.Bind(Endpoint("127.0.0.1", port)), NetResult::GenericError);
    // The description goes inside a console line, so the system's line break must not.
    const std::string error = hNet::LastSocketErrorText();
    EXPECT_FALSE(error.empty());
    EXPECT_THAT(error,
                testing::Not(testing::AnyOf(testing::HasSubstr("\r"), testing::HasSubstr("\n"))));
    second.Close();

    // A second listener fails too, even though listeners allow quick rebinding.
    ASSERT_EQ(listen(holder.GetHandle(), 5), 0);
    Socket rival;
    ASSERT_EQ(rival.Create(), NetResult::Success);
    EXPECT_EQ(rival.Listen(Endpoint("127.0.0.1", port), 5), NetResult::GenericError);
    rival.Close();
    holder.Close();
}

TEST(Socket, ListenerRebindsWhileOldConnectionsLinger) {
    Socket listener;
    ASSERT_EQ(listener.Create(), NetResult::Success);
    ASSERT_EQ(listener.Listen(Endpoint("127.0.0.1", 0), 5), NetResult::Success);
    const Endpoint endpoint("127.0.0.1", support::LocalPort(listener));
    Socket client = support::ConnectClient(endpoint.GetPort());
    Socket accepted = AcceptWaiting(listener, nullptr);
    ASSERT_NE(accepted.GetHandle(), INVALID_SOCKET);
    // The server side closes first, so its end of the connection is left in TIME_WAIT.
    accepted.Close();
    support::ReceiveSome(client, 1000);
    client.Close();
    listener.Close();

    Socket restarted;
    ASSERT_EQ(restarted.Create(), NetResult::Success);
    EXPECT_EQ(restarted.Listen(endpoint, 5), NetResult::Success);
    restarted.Close();
}

TEST(Socket, Ipv6ListenerAcceptsIpv4Clients) {
    Socket listener(IpVersion::IPv6);
    ASSERT_EQ(listener.Create(), NetResult::Success);
    if (listener.Listen(Endpoint("::", 0), 5) != NetResult::Success) {
        listener.Close();
        GTEST_SKIP() << "no IPv6 on this host";
    }
    Socket client = support::ConnectClient(support::LocalPort(listener), 0, "127.0.0.1");
    Endpoint peer;
    Socket accepted = AcceptWaiting(listener, &peer);
    ASSERT_NE(accepted.GetHandle(), INVALID_SOCKET);
    EXPECT_EQ(accepted.GetIpVersion(), IpVersion::IPv6);
    EXPECT_EQ(peer.GetIpVersion(), IpVersion::IPv6);
    EXPECT_EQ(peer.GetIpString(), "::ffff:127.0.0.1");
    accepted.Close();
    client.Close();
    listener.Close();
}

}  // namespace
