#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Endpoint.h"
#include "PacketQueue.h"
#include "Socket.h"
#include "StreamFraming.h"
#include "support/Loopback.h"

namespace {

using hNet::Packet;
using hNet::PacketQueue;
using hNet::PacketQueueTask;
using hNet::SendGathering;
using hNet::Socket;

// A body of exactly `size` bytes (type code included) whose bytes tell where they came from.
std::shared_ptr<Packet> Body(std::size_t size, int seed) {
    auto packet = std::make_shared<Packet>();
    packet->buffer.resize(size);
    for (std::size_t i = 0; i < size; ++i) {
        packet->buffer[i] = static_cast<char>(seed * 31 + static_cast<int>(i));
    }
    return packet;
}

// Bodies of mixed sizes, small ones first so that size prefixes are close together.
std::vector<std::shared_ptr<Packet>> MixedBodies(int count) {
    std::vector<std::shared_ptr<Packet>> bodies;
    for (int i = 0; i < count; ++i) {
        bodies.push_back(Body(2 + static_cast<std::size_t>(i * 7 % 23), i));
    }
    return bodies;
}

std::string Wire(const std::vector<std::shared_ptr<Packet>>& bodies) {
    std::string wire;
    for (const auto& body : bodies) {
        wire += support::Frame(body->buffer);
    }
    return wire;
}

PacketQueue QueueOf(const std::vector<std::shared_ptr<Packet>>& bodies) {
    PacketQueue queue;
    for (const auto& body : bodies) {
        queue.Append(body);
    }
    return queue;
}

// Plays a socket that takes at most `limit` bytes of one gathered send; returns them.
std::string TakeGathered(PacketQueue& queue, std::size_t limit) {
    SendGathering gathering;
    hNet::GatherQueued(queue, gathering);
    std::string taken;
    for (std::size_t i = 0; i < gathering.count && taken.size() < limit; ++i) {
        const auto& slice = gathering.slices[i];
        taken.append(slice.data, std::min<std::size_t>(slice.size, limit - taken.size()));
    }
    hNet::CommitSent(queue, taken.size());
    return taken;
}

TEST(GatherSend, AnySplitResumesAtTheFirstUnsentByte) {
    const auto bodies = MixedBodies(40);
    const std::string wire = Wire(bodies);
    // One stop at every byte of the stream, then the rest.
    for (std::size_t split = 0; split <= wire.size(); ++split) {
        PacketQueue queue = QueueOf(bodies);
        std::string sent = TakeGathered(queue, split);
        for (int call = 0; call < 100 && queue.HasPending(); ++call) {
            sent += TakeGathered(queue, wire.size());
        }
        ASSERT_EQ(sent, wire) << "split at " << split;
        EXPECT_EQ(queue.PendingBytes(), 0u);
    }
    // Stops every few bytes, so that consecutive stops fall inside one prefix or body.
    for (std::size_t step = 1; step <= 9; ++step) {
        PacketQueue queue = QueueOf(bodies);
        std::string sent;
        for (std::size_t call = 0; call <= wire.size() && queue.HasPending(); ++call) {
            sent += TakeGathered(queue, step);
        }
        ASSERT_EQ(sent, wire) << "steps of " << step;
    }
}

TEST(GatherSend, SlicesPointIntoTheQueuedBodies) {
    const auto bodies = MixedBodies(40);
    PacketQueue queue = QueueOf(bodies);
    TakeGathered(queue, 2 + 1);  // the first frame's prefix and one of its two body bytes
    SendGathering gathering;
    hNet::GatherQueued(queue, gathering);
    // The rest of the first body, then a prefix and a body each while two slices fit.
    ASSERT_EQ(gathering.count, hNet::MaxIoSlices - 1);
    EXPECT_EQ(gathering.slices[0].data, bodies[0]->buffer.data() + 1);
    EXPECT_EQ(gathering.slices[0].size, 1u);
    for (std::size_t i = 1; i + 1 < gathering.count; i += 2) {
        EXPECT_EQ(gathering.slices[i].size, 2u);
        EXPECT_EQ(gathering.slices[i + 1].data, bodies[(i + 1) / 2]->buffer.data());
    }
}

TEST(GatherSend, StopsGatheringPastTheByteCap) {
    std::vector<std::shared_ptr<Packet>> bodies;
    for (int i = 0; i < 12; ++i) {
        bodies.push_back(Body(hNet::MaxPacketSize, i));
    }
    PacketQueue queue = QueueOf(bodies);
    SendGathering gathering;
    hNet::GatherQueued(queue, gathering);
    // Seven frames stay under 64 KiB, so an eighth is added, and no more.
    EXPECT_EQ(gathering.count, 2 * 8u);
    EXPECT_EQ(gathering.bytes, 8 * (2 + hNet::MaxPacketSize));
}

// A TCP connection on loopback: `sender` as the server's side, `receiver` a blocking client.
struct LoopbackPair {
    explicit LoopbackPair(int bufferBytes = 0) {
        Socket listener;
        EXPECT_EQ(listener.Create(), hNet::NetResult::Success);
        EXPECT_EQ(listener.Listen(hNet::Endpoint("127.0.0.1", 0), 1), hNet::NetResult::Success);
        receiver = support::ConnectClient(support::LocalPort(listener), bufferBytes);
        EXPECT_EQ(listener.Accept(sender, nullptr), hNet::NetResult::Success);
        listener.Close();
        if (bufferBytes > 0) {
            support::SetBuffer(sender, SO_SNDBUF, bufferBytes);
        }
    }
    ~LoopbackPair() {
        sender.Close();
        receiver.Close();
    }
    LoopbackPair(const LoopbackPair&) = delete;
    LoopbackPair& operator=(const LoopbackPair&) = delete;

    Socket sender;
    Socket receiver;
};

TEST(GatherSend, OneCallMovesManyQueuedPackets) {
    const LoopbackPair pair;
    const auto bodies = MixedBodies(static_cast<int>(hNet::MaxIoSlices / 2));
    const std::string wire = Wire(bodies);
    PacketQueue queue = QueueOf(bodies);

    SendGathering gathering;
    hNet::GatherQueued(queue, gathering);
    ASSERT_EQ(gathering.count, 2 * bodies.size());
    ASSERT_EQ(gathering.bytes, wire.size());
    const long sent =
        hNet::SendGather(pair.sender.GetHandle(), gathering.slices.data(), gathering.count);
    ASSERT_EQ(sent, static_cast<long>(wire.size()));
    hNet::CommitSent(queue, static_cast<std::size_t>(sent));
    EXPECT_FALSE(queue.HasPending());
    EXPECT_EQ(queue.currentTask, PacketQueueTask::ProcessPacketSize);
    EXPECT_EQ(queue.currentPacketExtractionOffset, 0u);
    EXPECT_EQ(support::ReceiveExactly(pair.receiver, wire.size(), 5000), wire);

    // More than one gathering holds still leaves in one send step when the socket takes it.
    const auto many = MixedBodies(300);
    PacketQueue longQueue = QueueOf(many);
    EXPECT_TRUE(hNet::SendQueued(pair.sender.GetHandle(), longQueue));
    EXPECT_FALSE(longQueue.HasPending());
    EXPECT_EQ(support::ReceiveExactly(pair.receiver, Wire(many).size(), 5000), Wire(many));
}

// Reads what has arrived, at most `limit` bytes, without waiting.
std::string ReadArrived(const Socket& socket, std::size_t limit) {
    return support::ReceiveSome(socket, 0, limit);
}

// Where a send step that the socket cut short left its queue.
struct Stops {
    int insidePrefix = 0;
    int insideBody = 0;
};

// Sends the bodies through a connection whose buffers are as small as the system allows
// and which starts full, draining it in uneven pieces; every byte must arrive once, in order.
void SendThroughFullSocket(const std::vector<std::shared_ptr<Packet>>& bodies, Stops& stops) {
    const LoopbackPair pair(1);
    const std::string filler(512, '#');
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const auto sent =
            send(pair.sender.GetHandle(), filler.data(), static_cast<int>(filler.size()), 0);
        if (sent <= 0) {
            break;
        }
        expected.append(filler, 0, static_cast<std::size_t>(sent));
    }
    expected += Wire(bodies);
    PacketQueue queue = QueueOf(bodies);
    std::string received;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (std::size_t turn = 0; turn < 1000000 && received.size() < expected.size() &&
                               std::chrono::steady_clock::now() < deadline;
         ++turn) {
        if (queue.HasPending() && !hNet::SendQueued(pair.sender.GetHandle(), queue)) {
            const std::uint32_t offset = queue.currentPacketExtractionOffset;
            const bool inPrefix = queue.currentTask == PacketQueueTask::ProcessPacketSize;
            (inPrefix ? stops.insidePrefix : stops.insideBody) += offset > 0;
        }
        received += ReadArrived(pair.receiver, 1 + turn * 37 % 700);
    }
    ASSERT_EQ(received.size(), expected.size());
    EXPECT_TRUE(received == expected) << "bytes lost, repeated or reordered";
    EXPECT_FALSE(queue.HasPending());
}

TEST(GatherSend, NearlyFullSocketStopsInsidePrefixesAndBodies) {
    Stops stops;
    // The same frames shifted by one more byte each time, so that wherever the socket
    // cuts the stream, some run cuts it inside a size prefix.
    for (std::size_t shift = 0; shift < 16; ++shift) {
        std::vector<std::shared_ptr<Packet>> bodies{Body(2 + shift, 99)};
        for (int i = 0; i < 400; ++i) {
            bodies.push_back(Body(i % 2 ? 2 : 150 + i % 50, i));
        }
        SendThroughFullSocket(bodies, stops);
    }
    EXPECT_GT(stops.insidePrefix, 0);
    EXPECT_GT(stops.insideBody, 0);
}

TEST(GatherSend, SharedPacketLeavesWholeOnEveryQueue) {
    const auto shared = Body(hNet::MaxPacketSize, 7);
    const std::vector<char> original = shared->buffer;
    struct Client {
        std::unique_ptr<LoopbackPair> pair;
        PacketQueue queue;
        std::string expected;
        std::string received;
    };
    std::vector<Client> clients(4);
    for (std::size_t c = 0; c < clients.size(); ++c) {
        Client& client = clients[c];
        client.pair = std::make_unique<LoopbackPair>(4096);
        // A different amount in front of the shared packet on each connection.
        const auto before = MixedBodies(static_cast<int>(c * 5));
        for (const auto& body : before) {
            client.queue.Append(body);
        }
        client.queue.Append(shared);
        client.queue.Append(Body(3, static_cast<int>(c)));
        client.expected = Wire(before) + support::Frame(original) +
                          support::Frame(client.queue.Packets().back()->buffer);
    }
    for (int turn = 0; turn < 10000; ++turn) {
        bool done = true;
        for (std::size_t c = 0; c < clients.size(); ++c) {
            Client& client = clients[c];
            hNet::SendQueued(client.pair->sender.GetHandle(), client.queue);
            // Each receiver reads at its own pace, so the queues stand at different places.
            client.received += ReadArrived(client.pair->receiver, 100 + 300 * c);
            done = done && client.received.size() >= client.expected.size();
        }
        if (done) {
            break;
        }
    }
    for (const Client& client : clients) {
        EXPECT_FALSE(client.queue.HasPending());
        EXPECT_TRUE(client.received == client.expected);
    }
    EXPECT_EQ(shared->buffer, original);
    EXPECT_EQ(shared.use_count(), 1);
}

}  // namespace
