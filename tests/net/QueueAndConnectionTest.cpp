#include <gtest/gtest.h>

#include <memory>

#include "Connection.h"
#include "PacketQueue.h"

namespace {

using hNet::Connection;
using hNet::Endpoint;
using hNet::MakeTextPacket;
using hNet::PacketQueue;
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

}  // namespace
