// The poll step with a few thousand idle connections: the poll set must answer as WSAPoll
// does, and the engine must serve each kind of readiness in the next turn.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "RecordingServer.h"
#include "support/Loopback.h"

namespace {

using support::Frame;

constexpr std::size_t IdleConnections = 2000;
const std::string Hi("\x00\x01\x00\x00\x00\x02hi", 8);

bool WaitFor(SOCKET handle, short events) {
    WSAPOLLFD entry{};
    entry.fd = handle;
    entry.events = events;
    return WSAPoll(&entry, 1, 2000) > 0;
}

// Fills the socket's send buffer until it takes no more.
void FillSendBuffer(SOCKET handle) {
    const std::string chunk(65536, 'x');
    for (int i = 0; i < 1000 && send(handle, chunk.data(), static_cast<int>(chunk.size()), 0) > 0;
         ++i) {
    }
}

class PollSetTest : public testing::Test {
  protected:
    void SetUp() override {
        hNet::RaiseOpenFileLimit();
        port = support::FreePort();
        ASSERT_EQ(listener.Create(), hNet::NetResult::Success);
        ASSERT_EQ(listener.Listen(hNet::Endpoint("127.0.0.1", port), 64), hNet::NetResult::Success);
        entries.push_back(Entry(listener.GetHandle()));
        for (std::size_t i = 0; i < IdleConnections; ++i) {
            AddConnection();
        }
        for (const WSAPOLLFD& entry : entries) {
            set.Watch(entry.fd, entry.events);
        }
    }
    void TearDown() override {
        for (std::size_t i = 1; i < entries.size(); ++i) {
            set.Forget(entries[i].fd);
            closesocket(entries[i].fd);
        }
        for (auto& client : clients) {
            client.Close();
        }
        set.Forget(listener.GetHandle());
        listener.Close();
    }

    static WSAPOLLFD Entry(SOCKET handle) {
        WSAPOLLFD entry{};
        entry.fd = handle;
        entry.events = POLLRDNORM;
        return entry;
    }

    // A client and the server's end of it, which goes to the end of the array.
    void AddConnection() {
        clients.push_back(support::ConnectClient(port, 4096));
        hNet::Socket accepted;
        ASSERT_EQ(listener.Accept(accepted, nullptr), hNet::NetResult::Success);
        const int sendBuffer = 4096;
        setsockopt(accepted.GetHandle(), SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char*>(&sendBuffer), sizeof(sendBuffer));
        entries.push_back(Entry(accepted.GetHandle()));
    }

    void SetEvents(std::size_t entry, short events) {
        entries[entry].events = events;
        set.Watch(entries[entry].fd, events);
    }

    // Both answer for the same array at the same moment; every socket is settled.
    void ExpectSameAsPoll(const char* situation) {
        std::vector<WSAPOLLFD> fromSet = entries;
        std::vector<WSAPOLLFD> fromPoll = entries;
        const int setResult =
            set.Poll(fromSet.data(), static_cast<unsigned long>(fromSet.size()), 0);
        const int pollResult =
            WSAPoll(fromPoll.data(), static_cast<unsigned long>(fromPoll.size()), 0);
        EXPECT_EQ(setResult, pollResult) << situation;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            EXPECT_EQ(fromSet[i].revents, fromPoll[i].revents) << situation << ", entry " << i;
        }
    }

    std::uint16_t port = 0;
    hNet::Socket listener;
    std::deque<hNet::Socket> clients;  // client i is the peer of entry i + 1
    std::vector<WSAPOLLFD> entries;
    hNet::PollSet set;
};

TEST_F(PollSetTest, AnswersAsPollDoesForEveryKindOfReadiness) {
    ExpectSameAsPoll("all idle");

    support::SendAll(clients[100], "x");
    ASSERT_TRUE(WaitFor(entries[101].fd, POLLRDNORM));
    support::ResetAndClose(clients[200]);
    ASSERT_TRUE(WaitFor(entries[201].fd, POLLRDNORM));
    SetEvents(301, POLLRDNORM | POLLWRNORM);
    ExpectSameAsPoll("readable, reset, writable");

    // A full socket asks for writing: not ready until its peer drains it.
    FillSendBuffer(entries[401].fd);
    SetEvents(401, POLLRDNORM | POLLWRNORM);
    ExpectSameAsPoll("full socket");
    ExpectSameAsPoll("full socket, asked again");
    for (int i = 0; i < 1000 && !support::ReceiveSome(clients[400], 50).empty(); ++i) {
    }
    ASSERT_TRUE(WaitFor(entries[401].fd, POLLWRNORM));
    ExpectSameAsPoll("drained");
    SetEvents(401, POLLRDNORM);
    SetEvents(301, POLLRDNORM);
    ExpectSameAsPoll("write interest dropped");

    // A handle that is no longer open is invalid.
    const SOCKET closed = entries[800].fd;
    set.Forget(closed);
    closesocket(closed);
    set.Watch(closed, POLLRDNORM);
    ExpectSameAsPoll("closed handle");
    set.Forget(closed);
    entries.erase(entries.begin() + 800);

    // Closes move later entries down, as the engine's erase does.
    set.Forget(entries[600].fd);
    closesocket(entries[600].fd);
    entries.erase(entries.begin() + 600);
    support::SendAll(clients[1500], "y");
    ASSERT_TRUE(WaitFor(entries[1499].fd, POLLRDNORM));  // two entries below it are gone
    ExpectSameAsPoll("after an entry was removed");
}

// The client's socket is made first, so that the accepted one can take the freed number.
hNet::Socket UnconnectedClient() {
    hNet::Socket client;
    EXPECT_EQ(client.Create(), hNet::NetResult::Success);
    return client;
}

void ConnectBlocking(hNet::Socket& client, std::uint16_t port) {
    ASSERT_EQ(client.Connect(hNet::Endpoint("127.0.0.1", port)), hNet::NetResult::Success);
    ASSERT_EQ(client.SetBlocking(true), hNet::NetResult::Success);
}

// The engine among thousands of idle clients: each event is served in the next turn.
class IdleServerTest : public testing::Test {
  protected:
    void SetUp() override {
        hNet::RaiseOpenFileLimit();
        server.Start();
        for (std::size_t i = 0; i < IdleConnections; ++i) {
            clients.push_back(support::ConnectClient(server.port, 4096));
            ASSERT_TRUE(server.AcceptUntil(i + 1));
        }
        // Greetings and notices are the test's own; nothing else is queued.
        support::Turns(server, 2);
    }
    void TearDown() override {
        for (auto& client : clients) {
            client.Close();
        }
        while (!server.connections.empty()) {
            server.CloseConnection(0, "test over");
        }
        server.listeningSocket.Close();
    }

    RecordingServer server;
    std::deque<hNet::Socket> clients;
};

TEST_F(IdleServerTest, ServesReadableHungUpAndWritableConnectionsInTheNextTurn) {
    const std::string reader = server.connections[1500].description;
    const std::string vanished = server.connections[500].description;

    support::SendAll(clients[1500], Frame(Hi).substr(0, 2));
    support::ResetAndClose(clients[500]);
    ASSERT_TRUE(WaitFor(server.connections[1500].socket.GetHandle(), POLLRDNORM));
    ASSERT_TRUE(WaitFor(server.connections[500].socket.GetHandle(), POLLRDNORM));
    server.Frame();
    ASSERT_EQ(server.disconnected.size(), 1u);
    EXPECT_EQ(server.disconnected[0].description, vanished);
    EXPECT_EQ(server.connections[1499].description, reader);
    EXPECT_EQ(server.connections[1499].incoming.currentTask,
              hNet::PacketQueueTask::ProcessPacketContents);

    // A queue larger than the socket takes keeps asking for writing until it is sent.
    hNet::Connection& slow = server.connections[300];
    for (int i = 0; i < 64; ++i) {
        auto packet = std::make_shared<hNet::Packet>(hNet::PacketType::ChatMessage);
        packet->buffer.resize(8000, static_cast<char>('a' + i % 26));
        slow.outgoing.Append(packet);
    }
    const std::size_t queued = slow.outgoing.PendingBytes();
    std::size_t received = 0;
    for (int turn = 0; turn < 2000 && received < queued; ++turn) {
        server.Frame();
        received += support::ReceiveSome(clients[300], 0).size();
    }
    EXPECT_EQ(received, queued);
    server.Frame();
    EXPECT_EQ(server.masterFds[301].events, POLLRDNORM);
}

TEST_F(IdleServerTest, ServesAClientWhoseDescriptorNumberWasJustFreed) {
    const SOCKET freed = server.connections[1200].socket.GetHandle();
    clients[1200].Close();
    clients.push_back(UnconnectedClient());
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.disconnected.size() == 1; }));
    ConnectBlocking(clients.back(), server.port);
    ASSERT_TRUE(server.AcceptUntil(IdleConnections));
    if (server.connections.back().socket.GetHandle() != freed) {
        GTEST_SKIP() << "this system does not hand out a freed number again at once";
    }

    support::SendAll(clients.back(), Frame(Hi));
    ASSERT_TRUE(support::TurnUntil(
        server, [&] { return !server.handled.empty(); }, 10));
    EXPECT_EQ(server.handled[0], server.connections.back().description + " " + Hi);
}

}  // namespace
