#include <gtest/gtest.h>

#include <memory>

#include "Connection.h"
#include "PacketQueue.h"

namespace {

using hNet::Connection;
using hNet::Endpoint;
using hNet::Packet;
using hNet::PacketQueue;
using hNet::PacketQueueTask;
using hNet::PacketType;
using hNet::Socket;

std::shared_ptr<Packet> Chat(const std::string& text) {
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    *packet << text;
    return packet;
}

TEST(PacketQueue, KeepsOrderAndSharesPackets) {
    PacketQueue first;
    EXPECT_FALSE(first.HasPending());
    EXPECT_EQ(first.currentPacketSize, 0);
    EXPECT_EQ(first.currentPacketExtractionOffset, 0u);
    EXPECT_EQ(first.currentTask, PacketQueueTask::ProcessPacketSize);

    const auto a = Chat("a");
    const auto b = Chat("bb");
    const auto c = Chat("ccc");
    PacketQueue second;
    for (const auto& packet : {a, b, c}) {
        first.Append(packet);
    }
    second.Append(b);
    EXPECT_EQ(first.PendingBytes(), 3 * (2 + 6) + 1 + 2 + 3u);

    first.currentPacketExtractionOffset = 1;
    first.currentTask = PacketQueueTask::ProcessPacketContents;
    const PacketQueue copy = first;
    EXPECT_EQ(copy.Packets(), first.Packets());
    EXPECT_EQ(copy.currentPacketExtractionOffset, 1u);
    EXPECT_EQ(copy.currentTask, PacketQueueTask::ProcessPacketContents);

    const auto front = first.Front();
    first.Pop();
    EXPECT_EQ(front, a);  // still valid after the pop
    EXPECT_EQ(first.Front(), b);
    first.Pop();
    EXPECT_EQ(first.Front(), c);
    EXPECT_EQ(first.PendingBytes(), 2 + 6 + 3u);

    // Popped from one queue, still whole in the other and in the copy.
    EXPECT_EQ(second.Front(), b);
    EXPECT_EQ(b->buffer.size(), 8u);
    EXPECT_EQ(copy.Front(), a);
    EXPECT_EQ(a.use_count(), 3);  // this test, the copy and `front`
}

TEST(Connection, LabelsAndStartsEmpty) {
    const Connection connection(Socket(), Endpoint("127.0.0.1", 50123));
    EXPECT_EQ(connection.description, "[127.0.0.1:50123]");
    EXPECT_EQ(connection.userName, "");
    EXPECT_FALSE(connection.incoming.HasPending());
    EXPECT_FALSE(connection.outgoing.HasPending());
    EXPECT_EQ(connection.outgoing.currentTask, PacketQueueTask::ProcessPacketSize);
    for (char byte : connection.receiveBuffer) {
        ASSERT_EQ(byte, 0);
    }

    EXPECT_EQ(Connection(Socket(), Endpoint("127.0.0.1", 0)).description, "[127.0.0.1:0]");
    EXPECT_EQ(Connection(Socket(), Endpoint("::1", 65535)).description, "[::1:65535]");
}

TEST(Connection, CopiesShareQueuedPacketsButNotNames) {
    Connection original(Socket(), Endpoint("127.0.0.1", 1));
    original.outgoing.Append(Chat("x"));
    original.outgoing.Append(Chat("y"));
    Connection copy = original;
    copy.userName = "ann";
    EXPECT_EQ(original.userName, "");
    EXPECT_EQ(copy.outgoing.Packets(), original.outgoing.Packets());
}

}  // namespace
