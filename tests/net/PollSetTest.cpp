// The poll set with a few thousand idle connections must answer as WSAPoll does.

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "PollSet.h"
#include "support/Loopback.h"

namespace {

constexpr std::size_t IdleConnections = 2000;

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
        ASSERT_EQ(listener.Create(), hNet::NetResult::Success);
        ASSERT_EQ(listener.Listen(hNet::Endpoint("127.0.0.1", 0), 64), hNet::NetResult::Success);
        port = support::LocalPort(listener);
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
        support::SetBuffer(accepted, SO_SNDBUF, 4096);
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
    ASSERT_TRUE(support::WaitFor(entries[101].fd, POLLRDNORM));
    support::ResetAndClose(clients[200]);
    ASSERT_TRUE(support::WaitFor(entries[201].fd, POLLRDNORM));
    SetEvents(301, POLLRDNORM | POLLWRNORM);
    ExpectSameAsPoll("readable, reset, writable");

    // A full socket asks for writing: not ready until its peer drains it.
    FillSendBuffer(entries[401].fd);
    SetEvents(401, POLLRDNORM | POLLWRNORM);
    ExpectSameAsPoll("full socket");
    ExpectSameAsPoll("full socket, asked again");
    for (int i = 0; i < 1000 && !support::ReceiveSome(clients[400], 50).empty(); ++i) {
    }
    ASSERT_TRUE(support::WaitFor(entries[401].fd, POLLWRNORM));
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
    ASSERT_TRUE(support::WaitFor(entries[1499].fd, POLLRDNORM));  // two entries below it are gone
    ExpectSameAsPoll("after an entry was removed");
}

}  // namespace
