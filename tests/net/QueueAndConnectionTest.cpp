#include <gtest/gtest.h>

#include <memory>

#include "Connection.h"
#include "PacketQueue.h"

namespace {

using hNet::Connection;
using hNet::Endpoint;
using hNet::MakeTextPacket;
using hNet::PacketQueue;
using hNet::PacketQueueTask;
using hNet::PacketType;
using hNet::Socket;

TEST(PacketQueue, KeepsOrderAndSharesPackets) {
    const auto a = MakeTextPacket(PacketType::ChatMessage, "a");
    const auto b = MakeTextPacket(PacketType::ChatMessage, "bb");
    const auto c = MakeTextPacket(PacketType::ChatMessage, "ccc");
    PacketQueue first;
    PacketQueue second;
    for (const auto& packet : {a, b, c}) {
        first.Append(packet);
    }
    second.Append(b);
    EXPECT_EQ(first.PendingBytes(), 3 * (2 + 6) + 1 + 2 + 3u);

    const auto front = first.Front();
    first.Pop();
    EXPECT_EQ(front, a);  // still valid after the pop
    EXPECT_EQ(first.Front(), b);
    first.Pop();
    EXPECT_EQ(first.Front(), c);
    EXPECT_EQ(first.PendingBytes(), 2 + 6 + 3u);

    // Popped from one queue, still whole in the other.
    EXPECT_EQ(second.Front(), b);
    EXPECT_EQ(b->buffer.size(), 8u);
    EXPECT_EQ(a.use_count(), 2);  // this test and `front`
}

TEST(Connection, IsLabelledByItsAddress) {
    EXPECT_EQ(Connection(Socket(), Endpoint("127.0.0.1", 50123)).description, "[127.0.0.1:50123]");
    EXPECT_EQ(Connection(Socket(), Endpoint("127.0.0.1", 0)).description, "[127.0.0.1:0]");
    EXPECT_EQ(Connection(Socket(), Endpoint("::1", 65535)).description, "[::1:65535]");
}

// A record is a value: its copy shares the queued packets, counts its appends nowhere, and
// leaves the socket open when it goes; a queue assigned a copy counts where it counted.
TEST(Connection, CopySharesThePacketsAndLeavesTheSocketOpen) {
    Socket socket;
    ASSERT_EQ(socket.Create(), hNet::NetResult::Success);
    Connection original(socket, Endpoint("127.0.0.1", 1));
    std::uint64_t appends = 0;
    original.outgoing.CountAppendsIn(&appends);
    // Five in and out first, so that the five kept wrap round the end of the ring.
    for (int i = 0; i < 10; ++i) {
        original.outgoing.Append(MakeTextPacket(PacketType::ChatMessage, std::to_string(i)));
        if (i < 5) {
            original.outgoing.Pop();
        }
    }
    original.outgoing.currentPacketSize = 7;
    original.outgoing.currentPacketExtractionOffset = 3;
    original.outgoing.currentTask = PacketQueueTask::ProcessPacketContents;
    original.receiveBuffer[5] = 'r';
    {
        Connection copy = original;
        const hNet::PacketRing& packets = copy.outgoing.Packets();
        ASSERT_EQ(packets.size(), 5u);
        for (std::size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i], original.outgoing.Packets()[i]) << "position " << i;
        }
        EXPECT_EQ(copy.outgoing.PendingBytes(), original.outgoing.PendingBytes());
        EXPECT_EQ(copy.outgoing.currentPacketSize, 7);
        EXPECT_EQ(copy.outgoing.currentPacketExtractionOffset, 3u);
        EXPECT_EQ(copy.outgoing.currentTask, PacketQueueTask::ProcessPacketContents);
        EXPECT_EQ(copy.receiveBuffer, original.receiveBuffer);
        copy.outgoing.Append(MakeTextPacket(PacketType::ChatMessage, "copy only"));
        EXPECT_EQ(appends, 10u);
    }
    EXPECT_EQ(original.outgoing.Packets().size(), 5u);
    EXPECT_EQ(original.socket.SetBlocking(true), hNet::NetResult::Success);  // still open

    PacketQueue assigned;
    std::uint64_t assignedAppends = 0;
    assigned.CountAppendsIn(&assignedAppends);
    assigned = original.outgoing;
    EXPECT_EQ(assigned.Front(), original.outgoing.Front());
    EXPECT_EQ(assignedAppends, 1u);
    original.socket.Close();
}

}  // namespace
