// A program of its own: it replaces the global allocation functions to count what the
// server's turns take from the heap.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "MyServer.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

// Only what happens inside a counted stretch is recorded; the record itself is fixed
// storage, so counting allocates nothing.
struct HeapRecord {
    bool counting = false;
    std::size_t allocations = 0;
    std::size_t releases = 0;
    std::array<std::size_t, 4096> sizes{};
};

HeapRecord record;

void* Allocate(std::size_t size) {
    if (record.counting) {
        if (record.allocations < record.sizes.size()) {
            record.sizes[record.allocations] = size;
        }
        ++record.allocations;
    }
    if (void* memory = std::malloc(size == 0 ? 1 : size)) {
        return memory;
    }
    throw std::bad_alloc();
}

void Release(void* memory) {
    if (record.counting && memory != nullptr) {
        ++record.releases;
    }
    std::free(memory);
}

}  // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void operator delete(void* memory) noexcept {
    Release(memory);
}
void operator delete[](void* memory) noexcept {
    Release(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    Release(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    Release(memory);
}

namespace {

using hNet::Packet;
using hNet::PacketType;
using ChatServer = support::TestServer<MyServer>;

// The sizes of what one stretch allocated, sorted.
std::vector<std::size_t> Counted(void (*work)(ChatServer&), ChatServer& server) {
    record = HeapRecord{};
    record.counting = true;
    work(server);
    record.counting = false;
    std::vector<std::size_t> sizes(
        record.sizes.begin(), record.sizes.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                         record.allocations, record.sizes.size())));
    std::sort(sizes.begin(), sizes.end());
    return sizes;
}

class TurnAllocation : public testing::Test {
  protected:
    static constexpr int ClientCount = 5;
    static constexpr int SenderCount = 2;
    static constexpr int MessagesPerSender = 40;

    void SetUp() override {
        const std::uint16_t port = server.Listen();
        for (int i = 0; i < ClientCount; ++i) {
            clients.push_back(support::ConnectClient(port));
        }
        ASSERT_TRUE(
            support::TurnUntil(server, [&] { return server.connections.size() == ClientCount; }));
        // Let the greetings and arrival notices go out, and throw them away.
        support::Turns(server, 50);
        for (const auto& client : clients) {
            while (!support::ReceiveSome(client, 20).empty()) {
            }
        }
    }

    void TearDown() override {
        for (auto& client : clients) {
            client.Close();
        }
    }

    // Every sender writes its chat lines at once; the server then turns, counted, until
    // every client holds every relayed line. True when they all arrived.
    bool RelayRound(std::size_t& allocations, std::size_t& releases,
                    std::vector<std::size_t>& sizes) {
        std::string text(64, 'x');
        std::string lines;
        for (int m = 0; m < MessagesPerSender; ++m) {
            text[0] = static_cast<char>('a' + m % 26);
            const std::string frame =
                support::Frame(hNet::MakeTextPacket(PacketType::ChatMessage, text)->buffer);
            lines += frame;
            frameBytes = frame.size();
        }
        for (int s = 0; s < SenderCount; ++s) {
            support::SendAll(clients[s], lines);
        }
        const std::size_t expected = frameBytes * MessagesPerSender * SenderCount;
        std::vector<std::size_t> received(clients.size(), 0);
        allocations = releases = 0;
        sizes.clear();
        for (int turn = 0; turn < 5000; ++turn) {
            const auto turnSizes = Counted([](ChatServer& chat) { chat.Frame(); }, server);
            allocations += record.allocations;
            releases += record.releases;
            sizes.insert(sizes.end(), turnSizes.begin(), turnSizes.end());
            bool all = true;
            for (std::size_t c = 0; c < clients.size(); ++c) {
                received[c] += support::ReceiveSome(clients[c], 0).size();
                all = all && received[c] == expected;
            }
            if (all) {
                std::sort(sizes.begin(), sizes.end());
                return true;
            }
        }
        return false;
    }

    ChatServer server;
    std::vector<hNet::Socket> clients;
    std::size_t frameBytes = 0;
};

TEST_F(TurnAllocation, IdleTurnsAllocateNothing) {
    Counted([](ChatServer& chat) { support::Turns(chat, 300); }, server);
    EXPECT_EQ(record.allocations, 0u);
    EXPECT_EQ(record.releases, 0u);
}

// Each relayed line costs exactly the packet the receive step makes of it (the shared
// object and its body), however many clients it goes to and however many turns it takes.
TEST_F(TurnAllocation, BusyTurnsAllocateOnlyThePackets) {
    std::size_t allocations = 0;
    std::size_t releases = 0;
    std::vector<std::size_t> sizes;
    // The first round may still grow the queues to the depth this load needs.
    ASSERT_TRUE(RelayRound(allocations, releases, sizes));
    ASSERT_TRUE(RelayRound(allocations, releases, sizes));

    const std::size_t lines = MessagesPerSender * SenderCount;
    const std::size_t bodyBytes = frameBytes - 2;
    const auto onePacket = Counted(
        [](ChatServer&) {
            const char body[2] = {};
            const auto packet = std::make_shared<Packet>(body, 2);
            static_cast<void>(packet);
        },
        server);
    ASSERT_EQ(onePacket.size(), 2u);
    const std::size_t sharedObjectBytes =
        onePacket[0] == 2 ? onePacket[1] : onePacket[0];  // the other is the 2-byte body

    std::vector<std::size_t> expected(lines, sharedObjectBytes);
    expected.insert(expected.end(), lines, bodyBytes);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(allocations, 2 * lines);
    EXPECT_EQ(sizes, expected);
    // Every packet was freed once its last queue let go of it.
    EXPECT_EQ(releases, 2 * lines);
}

}  // namespace
