#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <map>
#include <string>

#include "RecordingServer.h"
#include "support/Loopback.h"

namespace {

using hNet::Connection;
using hNet::Packet;
using hNet::PacketQueueTask;
using hNet::PacketType;
using support::Frame;

const std::string Hi("\x00\x01\x00\x00\x00\x02hi", 8);

std::shared_ptr<Packet> Filler(std::size_t size, char fill) {
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    packet->buffer.resize(size, fill);
    return packet;
}

std::string WireOf(const Packet& packet) {
    return Frame(packet.buffer);
}

class ServerTest : public testing::Test {
  protected:
    void SetUp() override { server.Start(); }
    void TearDown() override {
        server.onConnect = nullptr;
        server.onDisconnect = nullptr;
        server.onPacket = nullptr;
        for (auto& client : clients) {
            client.Close();
        }
        while (!server.connections.empty()) {
            server.CloseConnection(0, "test over");
        }
        server.listeningSocket.Close();
    }

    // Clients read little at a time, so the server's sends fill their buffers quickly.
    hNet::Socket& Connect() {
        clients.push_back(support::ConnectClient(server.port, 4096));
        return clients.back();
    }

    // Connects `count` clients and turns until all of them are accepted. The server's
    // send buffers are kept small too, so that a client that does not read soon blocks them.
    void ConnectAll(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            Connect();
            ASSERT_TRUE(server.AcceptUntil(server.connections.size() + 1));
            const int sendBuffer = 4096;
            setsockopt(server.connections.back().socket.GetHandle(), SOL_SOCKET, SO_SNDBUF,
                       reinterpret_cast<const char*>(&sendBuffer), sizeof(sendBuffer));
        }
    }

    bool TurnUntilClosed(std::size_t count) {
        return support::TurnUntil(server, [&] { return server.disconnected.size() >= count; });
    }

    void ExpectDescriptorsMatchConnections() {
        ASSERT_EQ(server.masterFds.size(), server.connections.size() + 1);
        EXPECT_EQ(server.masterFds[0].fd, server.listeningSocket.GetHandle());
        for (std::size_t k = 0; k < server.connections.size(); ++k) {
            EXPECT_EQ(server.masterFds[k + 1].fd, server.connections[k].socket.GetHandle());
        }
    }

    RecordingServer server;
    std::deque<hNet::Socket> clients;
};

TEST_F(ServerTest, AcceptsOneClientPerTurnAndServesItFromTheNext) {
    hNet::Socket& first = Connect();
    Connect();
    support::SendAll(first, Frame(Hi));
    ASSERT_TRUE(server.AcceptUntil(1));
    EXPECT_EQ(server.connected.size(), 1u);
    // Accepted in this turn, so its waiting bytes are untouched.
    EXPECT_EQ(server.connections[0].incoming.currentTask, PacketQueueTask::ProcessPacketSize);
    EXPECT_EQ(server.connections[0].incoming.currentPacketExtractionOffset, 0u);

    server.Frame();
    EXPECT_EQ(server.connections.size(), 2u);
    EXPECT_EQ(server.connected.size(), 2u);
    EXPECT_EQ(server.connections[0].incoming.currentTask, PacketQueueTask::ProcessPacketContents);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, JoinsFieldsSentInPieces) {
    hNet::Socket& client = Connect();
    ASSERT_TRUE(server.AcceptUntil(1));
    const std::string wire = Frame(Hi);
    for (char byte : wire) {
        support::SendAll(client, std::string(1, byte));
        const auto offset = server.connections[0].incoming.currentPacketExtractionOffset;
        const auto task = server.connections[0].incoming.currentTask;
        ASSERT_TRUE(support::TurnUntil(server, [&] {
            const auto& incoming = server.connections[0].incoming;
            return !server.handled.empty() || incoming.currentPacketExtractionOffset != offset ||
                   incoming.currentTask != task;
        }));
    }
    ASSERT_EQ(server.handled.size(), 1u);
    EXPECT_EQ(server.handled[0], server.connections[0].description + " " + Hi);
}

TEST_F(ServerTest, TakesBackToBackFramesOneFieldPerTurn) {
    hNet::Socket& client = Connect();
    ASSERT_TRUE(server.AcceptUntil(1));
    const std::string second("\x00\x01\x00\x00\x00\x03hey", 9);
    support::SendAll(client, Frame(Hi) + Frame(second));
    ASSERT_TRUE(support::TurnUntil(server, [&] {
        return server.connections[0].incoming.currentTask == PacketQueueTask::ProcessPacketContents;
    }));
    server.Frame();  // the first body
    EXPECT_EQ(server.handled.size(), 1u);
    server.Frame();  // the second size
    EXPECT_EQ(server.handled.size(), 1u);
    server.Frame();  // the second body
    ASSERT_EQ(server.handled.size(), 2u);
    EXPECT_EQ(server.handled[1], server.connections[0].description + " " + second);
}

TEST_F(ServerTest, AcceptsTheLargestBodyAndClosesOnBadSizes) {
    ConnectAll(4);
    const std::string largest(8192, 'z');
    support::SendAll(clients[0], Frame(largest));
    support::SendAll(clients[1], std::string("\x20\x01", 2) + std::string(16, 'x'));  // 8193
    support::SendAll(clients[2], std::string("\x00\x00", 2) + "xx");
    support::SendAll(clients[3], std::string("\x00\x01", 2) + "x");
    ASSERT_TRUE(support::TurnUntil(
        server, [&] { return server.disconnected.size() == 3 && server.handled.size() == 1; }));

    EXPECT_EQ(server.handled[0].size(), server.connections[0].description.size() + 1 + 8192);
    std::map<std::string, std::string> reasons;
    for (const auto& closed : server.disconnected) {
        reasons[closed.description] = closed.reason;
        EXPECT_TRUE(closed.stillListed);
        // Closed on the size alone: no body byte was taken.
        EXPECT_EQ(closed.receiveTask, PacketQueueTask::ProcessPacketSize);
    }
    ASSERT_EQ(server.connected.size(), 4u);
    EXPECT_EQ(reasons[server.connected[1]], "Packet size too large.");
    EXPECT_EQ(reasons[server.connected[2]], "Packet size too small.");
    EXPECT_EQ(reasons[server.connected[3]], "Packet size too small.");
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, ResumesPartialSendsAtTheFirstUnsentByte) {
    ConnectAll(1);
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        const auto packet =
            Filler(1000 + static_cast<std::size_t>(i) * 97, static_cast<char>('a' + i % 26));
        server.connections[0].outgoing.Append(packet);
        expected += WireOf(*packet);
    }
    server.Frame();
    server.Frame();
    // The socket is full: packets wait and write readiness is still asked for.
    ASSERT_TRUE(server.connections[0].outgoing.HasPending());
    EXPECT_EQ(server.masterFds[1].events, POLLRDNORM | POLLWRNORM);

    std::string received;
    for (int turn = 0; turn < 5000 && received.size() < expected.size(); ++turn) {
        server.Frame();
        received += support::ReceiveSome(clients[0], 0);
    }
    EXPECT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "bytes repeated, skipped or reordered";
    EXPECT_FALSE(server.connections[0].outgoing.HasPending());
    EXPECT_EQ(server.masterFds[1].events, POLLRDNORM);
}

TEST_F(ServerTest, SendsOneSharedPacketWholeOnEveryQueue) {
    ConnectAll(3);
    const auto shared = Filler(8000, 's');
    for (auto& connection : server.connections) {
        connection.outgoing.Append(shared);
    }
    const std::string wire = WireOf(*shared);
    for (auto& client : clients) {
        std::string received;
        for (int turn = 0; turn < 2000 && received.size() < wire.size(); ++turn) {
            server.Frame();
            received += support::ReceiveSome(client, 0);
        }
        EXPECT_TRUE(received == wire);
    }
    EXPECT_EQ(shared.use_count(), 1);
}

TEST_F(ServerTest, KeepsDescriptorsInStepWhenSeveralCloseInOneTurn) {
    ConnectAll(4);
    support::ResetAndClose(clients[3]);
    support::ResetAndClose(clients[1]);
    for (int turn = 0; turn < 3000 && server.disconnected.size() < 2; ++turn) {
        server.Frame();
        ExpectDescriptorsMatchConnections();
    }
    ASSERT_EQ(server.connections.size(), 2u);
    EXPECT_EQ(server.connections[0].description, server.connected[0]);
    EXPECT_EQ(server.connections[1].description, server.connected[2]);

    // The rest are served as before.
    support::SendAll(clients[2], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.handled.size() == 1; }));
    EXPECT_EQ(server.handled[0], server.connected[2] + " " + Hi);
}

// What a client sent before ending its stream in order is still read and handled. The
// close reason is the platform's: POSIX polls report the end of stream as readable and the
// recv returns 0, Windows reports POLLHUP.
TEST_F(ServerTest, ReadsEverythingBeforeAnOrderlyEndOfStream) {
    ConnectAll(2);
    support::SendAll(clients[0], Frame(Hi) + Frame(Hi));
    shutdown(clients[0].GetHandle(), 1);  // the write side: an orderly end of stream
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(server.handled.size(), 2u);
    const std::string& reason = server.disconnected[0].reason;
    EXPECT_TRUE(reason == "Recv==0" || reason == "POLLHUP") << reason;
    EXPECT_EQ(server.disconnected[0].description, server.connected[0]);
    EXPECT_TRUE(server.disconnected[0].stillListed);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, ClosingDropsWhatWasQueuedForTheClosingClient) {
    ConnectAll(2);
    server.connections[0].outgoing.Append(Filler(100, 'q'));
    const auto farewell = Filler(10, 'f');
    server.onDisconnect = [&](Connection&) {
        for (auto& connection : server.connections) {
            connection.outgoing.Append(farewell);
        }
    };
    server.CloseConnection(0, "closed by test");
    EXPECT_EQ(server.disconnected[0].reason, "closed by test");
    ExpectDescriptorsMatchConnections();

    // The closed client sees its stream end with nothing in it; the other gets the farewell.
    EXPECT_EQ(support::ReceiveSome(clients[0], 2000), "");
    std::string received;
    for (int turn = 0; turn < 2000 && received.size() < 12; ++turn) {
        server.Frame();
        received += support::ReceiveSome(clients[1], 0);
    }
    EXPECT_TRUE(received == WireOf(*farewell));
}

TEST_F(ServerTest, DispatchesNewestConnectionFirstAndStopsAtARefusal) {
    ConnectAll(2);
    for (const char* body : {"\x00\x01"
                             "1",
                             "\x00\x01"
                             "2",
                             "\x00\x01"
                             "3"}) {
        auto packet = std::make_shared<Packet>();
        packet->buffer.assign(body, body + 3);
        server.connections[0].incoming.Append(packet);
    }
    auto other = std::make_shared<Packet>();
    other->buffer.assign({0, 1, 'o'});
    server.connections[1].incoming.Append(other);
    server.onPacket = [](Packet& packet, Connection&) { return packet.buffer[2] != '2'; };

    server.Frame();
    const std::string first = server.connected[0] + " ";
    EXPECT_EQ(server.handled,
              (std::vector<std::string>{server.connected[1] + " " + std::string("\x00\x01o", 3),
                                        first + std::string("\x00\x01"
                                                            "1",
                                                            3),
                                        first + std::string("\x00\x01"
                                                            "2",
                                                            3)}));
    ASSERT_EQ(server.disconnected.size(), 1u);
    EXPECT_EQ(server.disconnected[0].reason, "Failed to process incoming packet.");
    EXPECT_EQ(server.disconnected[0].description, server.connected[0]);
}

TEST_F(ServerTest, PacketExceptionFromAHandlerClosesOnlyThatClient) {
    ConnectAll(2);
    int readsBeforeFailure = 0;
    server.onPacket = [&](Packet& packet, Connection&) {
        std::uint32_t value = 0;
        packet >> value;
        ++readsBeforeFailure;
        packet >> value;  // runs past the end of a short body
        return true;
    };
    support::SendAll(clients[0], Frame(std::string("\x00\x02\x00\x00\x00\x01", 6)));
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(server.disconnected[0].reason, "Failed to process incoming packet.");
    EXPECT_EQ(readsBeforeFailure, 1);

    server.onPacket = nullptr;
    support::SendAll(clients[1], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.handled.size() == 2; }));
    EXPECT_EQ(server.handled[1], server.connected[1] + " " + Hi);
}

TEST_F(ServerTest, ClosesAClientThatLetsItsSendQueueGrowPastTheLimit) {
    ConnectAll(2);
    const auto chunk = Filler(8000, 'c');
    for (std::size_t queued = 0; queued <= hNet::Server::SendQueueLimit; queued += 8002) {
        server.connections[0].outgoing.Append(chunk);
    }
    server.Frame();
    ASSERT_EQ(server.disconnected.size(), 1u);
    EXPECT_EQ(server.disconnected[0].reason, "Send queue limit exceeded.");
    EXPECT_EQ(server.disconnected[0].description, server.connected[0]);
    ExpectDescriptorsMatchConnections();

    // Also for a client accepted in the very turn its queue overflows.
    server.onConnect = [&](Connection& connection) {
        for (std::size_t queued = 0; queued <= hNet::Server::SendQueueLimit; queued += 8002) {
            connection.outgoing.Append(chunk);
        }
    };
    Connect();
    ASSERT_TRUE(TurnUntilClosed(2));
    EXPECT_EQ(server.disconnected[1].reason, "Send queue limit exceeded.");
    EXPECT_EQ(server.disconnected[1].description, server.connected[2]);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, SurvivesAResetWhileMegabytesAreOnTheirWay) {
    // Full-sized buffers this time, so that megabytes can be in flight to the client.
    clients.push_back(support::ConnectClient(server.port));
    ASSERT_TRUE(server.AcceptUntil(1));
    ConnectAll(1);
    const auto chunk = Filler(8000, 'm');
    std::size_t queued = 0;
    for (int turn = 0; turn < 2000 && queued < 4 * hNet::Server::SendQueueLimit; ++turn) {
        if (server.connections[0].outgoing.PendingBytes() < hNet::Server::SendQueueLimit / 2) {
            server.connections[0].outgoing.Append(chunk);
            queued += 8002;
        }
        server.Frame();
    }
    ASSERT_TRUE(server.disconnected.empty());
    EXPECT_GE(queued, 2 * hNet::Server::SendQueueLimit);
    support::ResetAndClose(clients[0]);
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(server.disconnected[0].description, server.connected[0]);

    support::SendAll(clients[1], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.handled.size() == 1; }));
}

TEST(ServerSetUp, WritesItsStartUpLines) {
    RecordingServer server;
    const std::uint16_t port = support::FreePort();
    support::StreamCapture out(std::cout);
    support::StreamCapture err(std::cerr);
    ASSERT_TRUE(server.Initialize(hNet::Endpoint("127.0.0.1", port)));
    EXPECT_EQ(out.Text(), "Socket successfully created.\nServer initialized.\nListening on port " +
                              std::to_string(port) + ".\n\n");
    EXPECT_EQ(err.Text(), "");
    ASSERT_EQ(server.masterFds.size(), 1u);
    EXPECT_EQ(server.masterFds[0].fd, server.listeningSocket.GetHandle());
    EXPECT_EQ(server.masterFds[0].events, POLLRDNORM);
    EXPECT_EQ(server.masterFds[0].revents, 0);
    server.listeningSocket.Close();
}

TEST(ServerSetUp, ReportsAPortAlreadyHeld) {
    RecordingServer holder;
    const std::uint16_t port = holder.Start();
    RecordingServer server;
    support::StreamCapture out(std::cout);
    support::StreamCapture err(std::cerr);
    EXPECT_FALSE(server.Initialize(hNet::Endpoint("127.0.0.1", port)));
    EXPECT_EQ(out.Text(), "Socket successfully created.\n");
    EXPECT_EQ(err.Text(), "Failed to listen on port " + std::to_string(port) + ".\n");
    EXPECT_EQ(server.listeningSocket.GetHandle(), INVALID_SOCKET);
    EXPECT_TRUE(server.masterFds.empty());

    // An unresolved endpoint is refused the same way.
    EXPECT_FALSE(server.Initialize(hNet::Endpoint("no-such-host.invalid", 6112)));
    EXPECT_EQ(server.listeningSocket.GetHandle(), INVALID_SOCKET);
    holder.listeningSocket.Close();
}

}  // namespace
