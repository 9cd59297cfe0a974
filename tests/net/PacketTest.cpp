#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Packet.h"

namespace {

using hNet::MaxPacketSize;
using hNet::Packet;
using hNet::PacketException;
using hNet::PacketType;

std::vector<char> Bytes(std::initializer_list<int> values) {
    std::vector<char> bytes;
    for (int value : values) {
        bytes.push_back(static_cast<char>(value));
    }
    return bytes;
}

template <typename Operation>
std::string MessageOf(Operation operation) {
    try {
        operation();
    } catch (const PacketException& exception) {
        return exception.what();
    }
    return "no exception";
}

const char* const AppendMessage =
    "[Packet::Append(const void*, uint32_t)] - Packet size exceeded max packet size.";
const char* const U32Message =
    "[Packet::operator >>(uint32_t& ] - Extraction offset exceeded buffer size.";
const char* const StringMessage =
    "[Packet::operator >> (std::string &] - Extraction offset exceeded buffer size";

TEST(Packet, BuildsBodiesInNetworkOrder) {
    Packet chat(PacketType::ChatMessage);
    chat << std::string("abc");
    EXPECT_EQ(chat.buffer, Bytes({0, 1, 0, 0, 0, 3, 'a', 'b', 'c'}));

    Packet array(PacketType::IntegerArray);
    array << 2u << 7u << 300u;
    EXPECT_EQ(array.buffer, Bytes({0, 2, 0, 0, 0, 2, 0, 0, 0, 7, 0, 0, 1, 0x2C}));

    Packet odd(static_cast<PacketType>(0x0102));
    EXPECT_EQ(odd.buffer, Bytes({1, 2}));
    EXPECT_EQ(odd.GetPacketType(), static_cast<PacketType>(0x0102));
    EXPECT_EQ(odd.extractionOffset, 2u);
}

TEST(Packet, ClearAndTypeCodes) {
    Packet packet(PacketType::UserList);
    packet << std::string("ann\n");
    packet.Clear();
    EXPECT_EQ(packet.buffer, Bytes({0, 0}));
    EXPECT_EQ(packet.extractionOffset, 2u);

    packet.buffer = Bytes({0xFF, 0xFF, 9});
    EXPECT_EQ(static_cast<unsigned>(packet.GetPacketType()), 65535u);
    packet.AssignPacketType(PacketType::SetUserName);
    EXPECT_EQ(packet.buffer, Bytes({0, 5, 9}));

    // Too short to hold a code: reads as Invalid and never past the body.
    packet.buffer = Bytes({7});
    EXPECT_EQ(packet.GetPacketType(), PacketType::Invalid);
    packet.buffer.clear();
    EXPECT_EQ(packet.GetPacketType(), PacketType::Invalid);
}

TEST(Packet, AppendStopsAtMaxPacketSize) {
    Packet packet;
    const std::vector<char> filler(MaxPacketSize - 4, 'x');
    packet.Append(filler.data(), static_cast<std::uint32_t>(filler.size()));
    EXPECT_EQ(packet.buffer.size(), 8190u);
    packet.Append("ab", 2);
    EXPECT_EQ(packet.buffer.size(), MaxPacketSize);
    EXPECT_EQ(MessageOf([&] { packet.Append("c", 1); }), AppendMessage);
    EXPECT_EQ(MessageOf([&] { packet << 1u; }), AppendMessage);
    EXPECT_EQ(packet.buffer.size(), MaxPacketSize);
}

TEST(Packet, StringBoundLeavesTheCountBehind) {
    Packet fits(PacketType::ChatMessage);
    fits << std::string(hNet::MaxTextBytes, 'a');
    EXPECT_EQ(fits.buffer.size(), MaxPacketSize);

    Packet overflows(PacketType::ChatMessage);
    EXPECT_EQ(MessageOf([&] { overflows << std::string(hNet::MaxTextBytes + 1, 'a'); }),
              AppendMessage);
    EXPECT_EQ(overflows.buffer, Bytes({0, 1, 0, 0, 0x1F, 0xFB}));
}

TEST(Packet, ExtractionReadsBackWhatWasInserted) {
    Packet packet(PacketType::ChatMessage);
    const std::string withNuls("a\0b\0", 4);
    packet << withNuls << std::string() << 4294967295u;
    std::string text = "stale";
    std::string empty = "stale";
    std::uint32_t value = 0;
    packet >> text >> empty >> value;
    EXPECT_EQ(text, withNuls);
    EXPECT_EQ(empty, "");
    EXPECT_EQ(value, 4294967295u);
    EXPECT_EQ(packet.extractionOffset, packet.buffer.size());
}

TEST(Packet, ExtractionFailuresKeepTheirState) {
    Packet fresh;
    std::uint32_t value = 42;
    EXPECT_EQ(MessageOf([&] { fresh >> value; }), U32Message);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(fresh.extractionOffset, 2u);

    Packet shortText;
    shortText.buffer = Bytes({0, 1, 0, 0, 0, 10, 'a', 'b', 'c', 'd', 'e'});
    std::string text = "stale";
    EXPECT_EQ(MessageOf([&] { shortText >> text; }), StringMessage);
    EXPECT_EQ(text, "");
    EXPECT_EQ(shortText.extractionOffset, 6u);

    Packet codeOnly;
    codeOnly.buffer = Bytes({0, 1});
    text = "stale";
    EXPECT_EQ(MessageOf([&] { codeOnly >> text; }), U32Message);
    EXPECT_EQ(text, "");

    // A count near 2^32 must not wrap around the bound check.
    Packet huge;
    huge.buffer = Bytes({0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 'a'});
    EXPECT_EQ(MessageOf([&] { huge >> text; }), StringMessage);
}

}  // namespace
