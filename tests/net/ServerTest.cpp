#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <map>
#include <string>

#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using hNet::Connection;
using hNet::MakeTextPacket;
using hNet::Packet;
using hNet::PacketQueueTask;
using hNet::PacketType;
using support::BodyOf;
using support::Frame;

constexpr std::size_t IdleConnections = 2000;
const std::string Hi = BodyOf(MakeTextPacket(PacketType::ChatMessage, "hi"));

std::shared_ptr<Packet> Filler(std::size_t size, char fill) {
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    packet->buffer.resize(size, fill);
    return packet;
}

// The engine alone, turn by turn, with a record of what it gave the handlers.
class ServerTest : public testing::Test {
  protected:
    struct Closed {
        std::string description;
        std::string reason;
        bool stillListed;
        PacketQueueTask receiveTask;
    };

    void SetUp() override {
        port = server.Listen();
        server.onConnect = [this](Connection& connection) {
            accepted.push_back(connection.description);
        };
        server.onDisconnect = [this](Connection& connection, const std::string& reason) {
            bool listed = false;
            for (const auto& each : server.connections) {
                listed = listed || &each == &connection;
            }
            closed.push_back(
                {connection.description, reason, listed, connection.incoming.currentTask});
        };
        server.onPacket = [this](std::shared_ptr<Packet> packet, Connection& connection) {
            return Record(packet, connection);
        };
    }
    void TearDown() override {
        for (auto& client : clients) {
            client.Close();
        }
    }

    bool Record(const std::shared_ptr<Packet>& packet, const Connection& connection) {
        handled.push_back(connection.description + " " + BodyOf(packet));
        return true;
    }

    // Clients read little at a time, so the server's sends fill their buffers quickly.
    hNet::Socket& Connect() {
        clients.push_back(support::ConnectClient(port, 4096));
        return clients.back();
    }

    bool AcceptUntil(std::size_t count) {
        return support::TurnUntil(server, [&] { return server.connections.size() >= count; });
    }

    // Connects `count` clients and turns until all of them are accepted. The server's
    // send buffers are kept small too, so that a client that does not read soon blocks them.
    void ConnectAll(std::size_t count) {
        for (std::size_t i = 0; i < count; ++i) {
            Connect();
            ASSERT_TRUE(AcceptUntil(server.connections.size() + 1));
            support::SetBuffer(server.connections.back().socket, SO_SNDBUF, 4096);
        }
    }

    bool TurnUntilClosed(std::size_t count) {
        return support::TurnUntil(server, [&] { return closed.size() >= count; });
    }

    // What client `index` receives while the server turns, until `count` bytes have come.
    std::string ReceiveTurning(std::size_t index, std::size_t count) {
        std::string received;
        for (int turn = 0; turn < 2000 && received.size() < count; ++turn) {
            server.Frame();
            received += support::ReceiveSome(clients[index], 0);
        }
        return received;
    }

    void ExpectDescriptorsMatchConnections() {
        ASSERT_EQ(server.masterFds.size(), server.connections.size() + 1);
        EXPECT_EQ(server.masterFds[0].fd, server.listeningSocket.GetHandle());
        for (std::size_t k = 0; k < server.connections.size(); ++k) {
            EXPECT_EQ(server.masterFds[k + 1].fd, server.connections[k].socket.GetHandle());
        }
    }

    std::deque<hNet::Socket> clients;
    support::TestServer<hNet::Server> server;
    std::uint16_t port = 0;
    std::vector<std::string> accepted;
    std::vector<Closed> closed;
    std::vector<std::string> handled;
};

TEST_F(ServerTest, AcceptsOneClientPerTurnAndServesItFromTheNext) {
    hNet::Socket& first = Connect();
    Connect();
    support::SendAll(first, Frame(Hi));
    ASSERT_TRUE(AcceptUntil(1));
    EXPECT_EQ(accepted.size(), 1u);
    // Accepted in this turn, so its waiting bytes are untouched.
    EXPECT_EQ(server.connections[0].incoming.currentTask, PacketQueueTask::ProcessPacketSize);
    EXPECT_EQ(server.connections[0].incoming.currentPacketExtractionOffset, 0u);

    server.Frame();
    EXPECT_EQ(server.connections.size(), 2u);
    EXPECT_EQ(accepted.size(), 2u);
    EXPECT_EQ(server.connections[0].incoming.currentTask, PacketQueueTask::ProcessPacketContents);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, JoinsFieldsSentInPieces) {
    ConnectAll(1);
    for (char byte : Frame(Hi)) {
        support::SendAll(clients[0], std::string(1, byte));
        const auto offset = server.connections[0].incoming.currentPacketExtractionOffset;
        const auto task = server.connections[0].incoming.currentTask;
        ASSERT_TRUE(support::TurnUntil(server, [&] {
            const auto& incoming = server.connections[0].incoming;
            return !handled.empty() || incoming.currentPacketExtractionOffset != offset ||
                   incoming.currentTask != task;
        }));
    }
    EXPECT_THAT(handled, testing::ElementsAre(accepted[0] + " " + Hi));
}

TEST_F(ServerTest, TakesBackToBackFramesOneFieldPerTurn) {
    ConnectAll(1);
    const std::string second = BodyOf(MakeTextPacket(PacketType::ChatMessage, "hey"));
    support::SendAll(clients[0], Frame(Hi) + Frame(second));
    ASSERT_TRUE(support::TurnUntil(server, [&] {
        return server.connections[0].incoming.currentTask == PacketQueueTask::ProcessPacketContents;
    }));
    server.Frame();  // the first body
    EXPECT_EQ(handled.size(), 1u);
    server.Frame();  // the second size
    EXPECT_EQ(handled.size(), 1u);
    server.Frame();  // the second body
    EXPECT_THAT(handled, testing::ElementsAre(accepted[0] + " " + Hi, accepted[0] + " " + second));
}

TEST_F(ServerTest, AcceptsTheLargestBodyAndClosesOnBadSizes) {
    ConnectAll(4);
    const std::string largest(hNet::MaxPacketSize, 'z');
    support::SendAll(clients[0], Frame(largest));
    support::SendAll(clients[1], std::string("\x20\x01", 2) + std::string(16, 'x'));  // 8193
    support::SendAll(clients[2], std::string("\x00\x00", 2) + "xx");
    support::SendAll(clients[3], std::string("\x00\x01", 2) + "x");
    ASSERT_TRUE(
        support::TurnUntil(server, [&] { return closed.size() == 3 && handled.size() == 1; }));

    EXPECT_EQ(handled[0], accepted[0] + " " + largest);
    std::map<std::string, std::string> reasons;
    for (const auto& each : closed) {
        reasons[each.description] = each.reason;
        EXPECT_TRUE(each.stillListed);
        // Closed on the size alone: no body byte was taken.
        EXPECT_EQ(each.receiveTask, PacketQueueTask::ProcessPacketSize);
    }
    EXPECT_EQ(reasons[accepted[1]], "Packet size too large.");
    EXPECT_EQ(reasons[accepted[2]], "Packet size too small.");
    EXPECT_EQ(reasons[accepted[3]], "Packet size too small.");
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, KeepsDescriptorsInStepWhenSeveralCloseInOneTurn) {
    ConnectAll(4);
    support::ResetAndClose(clients[3]);
    support::ResetAndClose(clients[1]);
    for (int turn = 0; turn < 3000 && closed.size() < 2; ++turn) {
        server.Frame();
        ExpectDescriptorsMatchConnections();
    }
    ASSERT_EQ(server.connections.size(), 2u);
    EXPECT_EQ(server.connections[0].description, accepted[0]);
    EXPECT_EQ(server.connections[1].description, accepted[2]);

    // The rest are served as before.
    support::SendAll(clients[2], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return handled.size() == 1; }));
    EXPECT_EQ(handled[0], accepted[2] + " " + Hi);
}

// What a client sent before ending its stream in order is still read and handled. The
// close reason is the platform's: POSIX polls report the end of stream as readable and the
// recv returns 0, Windows reports POLLHUP.
TEST_F(ServerTest, ReadsEverythingBeforeAnOrderlyEndOfStream) {
    ConnectAll(2);
    support::SendAll(clients[0], Frame(Hi) + Frame(Hi));
    shutdown(clients[0].GetHandle(), 1);  // the write side: an orderly end of stream
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(handled.size(), 2u);
    EXPECT_THAT(closed[0].reason, testing::AnyOf("Recv==0", "POLLHUP"));
    EXPECT_EQ(closed[0].description, accepted[0]);
    EXPECT_TRUE(closed[0].stillListed);
    ExpectDescriptorsMatchConnections();
}

// A client may be silent between frames for as long as it likes, but not in the middle of
// one: a size prefix, or a body begun, must be followed by the rest of the frame in time.
TEST_F(ServerTest, ClosesAFrameLeftHalfSentButNeverAnIdleClient) {
    std::int64_t nowMs = 1000;
    server.clock = [&] { return nowMs; };
    ConnectAll(3);
    support::SendAll(clients[0], Frame(Hi).substr(0, 1));
    support::SendAll(clients[1], Frame(Hi).substr(0, 5));
    support::Turns(server, 5);
    nowMs += hNet::Server::FrameTimeLimitMs - 1;
    support::Turns(server, 5);
    EXPECT_TRUE(closed.empty());
    nowMs += 1;
    server.Frame();
    ASSERT_EQ(closed.size(), 2u);
    for (const Closed& late : closed) {
        EXPECT_EQ(late.reason, "Frame not completed in time.");
    }
    nowMs += 24 * 60 * 60 * 1000;
    support::Turns(server, 5);
    EXPECT_EQ(server.connections.size(), 1u);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, ClosingDropsWhatWasQueuedForTheClosingClient) {
    ConnectAll(2);
    server.connections[0].outgoing.Append(Filler(100, 'q'));
    const auto farewell = Filler(10, 'f');
    server.onDisconnect = [&](Connection&, const std::string&) {
        for (auto& connection : server.connections) {
            connection.outgoing.Append(farewell);
        }
    };
    server.CloseConnection(0, "closed by test");
    ExpectDescriptorsMatchConnections();

    // The closed client sees its stream end with nothing in it; the other gets the farewell.
    EXPECT_EQ(support::ReceiveSome(clients[0], 2000), "");
    EXPECT_EQ(ReceiveTurning(1, 12), Frame(farewell->buffer));
}

TEST_F(ServerTest, DispatchesNewestConnectionFirstAndStopsAtARefusal) {
    ConnectAll(2);
    std::vector<std::shared_ptr<Packet>> first;
    for (const char* text : {"1", "2", "3"}) {
        first.push_back(MakeTextPacket(PacketType::ChatMessage, text));
        server.connections[0].incoming.Append(first.back());
    }
    const auto other = MakeTextPacket(PacketType::ChatMessage, "other");
    server.connections[1].incoming.Append(other);
    server.onPacket = [&](std::shared_ptr<Packet> packet, Connection& connection) {
        return Record(packet, connection) && packet != first[1];
    };

    server.Frame();
    const auto entry = [&](std::size_t k, const std::shared_ptr<Packet>& packet) {
        return accepted[k] + " " + BodyOf(packet);
    };
    EXPECT_THAT(handled,
                testing::ElementsAre(entry(1, other), entry(0, first[0]), entry(0, first[1])));
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].reason, "Failed to process incoming packet.");
    EXPECT_EQ(closed[0].description, accepted[0]);
}

TEST_F(ServerTest, PacketExceptionFromAHandlerClosesOnlyThatClient) {
    ConnectAll(2);
    int readsBeforeFailure = 0;
    server.onPacket = [&](std::shared_ptr<Packet> packet, Connection& connection) {
        if (connection.description == accepted[0]) {
            std::uint32_t value = 0;
            *packet >> value;
            ++readsBeforeFailure;
            *packet >> value;  // runs past the end of a short body
        }
        return Record(packet, connection);
    };
    support::SendAll(clients[0], Frame(std::string("\x00\x02\x00\x00\x00\x01", 6)));
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(closed[0].reason, "Failed to process incoming packet.");
    EXPECT_EQ(readsBeforeFailure, 1);

    support::SendAll(clients[1], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return handled.size() == 1; }));
    EXPECT_EQ(handled[0], accepted[1] + " " + Hi);
}

TEST_F(ServerTest, ClosesAClientThatLetsItsSendQueueGrowPastTheLimit) {
    ConnectAll(2);
    const auto overfill = [chunk = Filler(8000, 'c')](Connection& connection) {
        for (std::size_t queued = 0; queued <= hNet::Server::SendQueueLimit; queued += 8002) {
            connection.outgoing.Append(chunk);
        }
    };
    overfill(server.connections[0]);
    server.Frame();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].reason, "Send queue limit exceeded.");
    EXPECT_EQ(closed[0].description, accepted[0]);
    ExpectDescriptorsMatchConnections();

    // Also for a client accepted in the very turn its queue overflows.
    server.onConnect = overfill;
    Connect();
    ASSERT_TRUE(TurnUntilClosed(2));
    EXPECT_EQ(closed[1].reason, "Send queue limit exceeded.");
    ASSERT_EQ(server.connections.size(), 1u);
    EXPECT_EQ(server.connections[0].description, accepted[1]);
    ExpectDescriptorsMatchConnections();
}

TEST_F(ServerTest, SurvivesAResetWhileMegabytesAreOnTheirWay) {
    // Full-sized buffers this time, so that megabytes can be in flight to the client.
    clients.push_back(support::ConnectClient(port));
    ASSERT_TRUE(AcceptUntil(1));
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
    ASSERT_TRUE(closed.empty());
    EXPECT_GE(queued, 2 * hNet::Server::SendQueueLimit);
    support::ResetAndClose(clients[0]);
    ASSERT_TRUE(TurnUntilClosed(1));
    EXPECT_EQ(closed[0].description, accepted[0]);

    support::SendAll(clients[1], Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(server, [&] { return handled.size() == 1; }));
}

// The engine among thousands of idle clients: each event is served in the next turn.
class IdleServerTest : public ServerTest {
  protected:
    void SetUp() override {
        hNet::RaiseOpenFileLimit();
        ServerTest::SetUp();
        ConnectAll(IdleConnections);
    }
};

TEST_F(IdleServerTest, ServesReadableHungUpAndWritableConnectionsInTheNextTurn) {
    const std::string reader = server.connections[1500].description;
    support::SendAll(clients[1500], Frame(Hi).substr(0, 2));
    support::ResetAndClose(clients[500]);
    ASSERT_TRUE(support::WaitFor(server.connections[1500].socket.GetHandle(), POLLRDNORM));
    ASSERT_TRUE(support::WaitFor(server.connections[500].socket.GetHandle(), POLLRDNORM));
    server.Frame();
    ASSERT_EQ(closed.size(), 1u);
    EXPECT_EQ(closed[0].description, accepted[500]);
    EXPECT_EQ(server.connections[1499].description, reader);
    EXPECT_EQ(server.connections[1499].incoming.currentTask,
              PacketQueueTask::ProcessPacketContents);

    // A queue larger than the socket takes keeps asking for writing until it is sent.
    for (int i = 0; i < 64; ++i) {
        server.connections[300].outgoing.Append(Filler(8000, static_cast<char>('a' + i % 26)));
    }
    const std::size_t queued = server.connections[300].outgoing.PendingBytes();
    EXPECT_EQ(ReceiveTurning(300, queued).size(), queued);
    server.Frame();
    EXPECT_EQ(server.masterFds[301].events, POLLRDNORM);
}

TEST_F(IdleServerTest, ServesAClientWhoseDescriptorNumberWasJustFreed) {
    const SOCKET freed = server.connections[1200].socket.GetHandle();
    clients[1200].Close();
    // The client's socket is made first, so that the accepted one can take the freed number.
    hNet::Socket& newcomer = clients.emplace_back();
    ASSERT_EQ(newcomer.Create(), hNet::NetResult::Success);
    ASSERT_TRUE(TurnUntilClosed(1));
    ASSERT_EQ(newcomer.Connect(hNet::Endpoint("127.0.0.1", port)), hNet::NetResult::Success);
    ASSERT_EQ(newcomer.SetBlocking(true), hNet::NetResult::Success);
    ASSERT_TRUE(AcceptUntil(IdleConnections));
    if (server.connections.back().socket.GetHandle() != freed) {
        GTEST_SKIP() << "this system does not hand out a freed number again at once";
    }

    support::SendAll(newcomer, Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(
        server, [&] { return !handled.empty(); }, 10));
    EXPECT_EQ(handled[0], accepted.back() + " " + Hi);
}

TEST(ServerSetUp, ReportsAPortAlreadyHeld) {
    support::TestServer<hNet::Server> holder;
    const std::uint16_t port = holder.Listen();
    support::TestServer<hNet::Server> server;
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
}

}  // namespace
