// Arbitrary bytes as a received packet body: through every extraction, checked against
// what each promises, and through the chat's packet handler with two live connections.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "Endpoint.h"
#include "Harness.h"
#include "MyServer.h"
#include "NetworkRuntime.h"
#include "NoticeForm.h"
#include "Packet.h"
#include "WireFormat.h"
#include "support/TestServer.h"

namespace {

using harness::Require;
using hNet::Packet;
using hNet::PacketException;
using hNet::PacketType;
using ChatServer = support::TestServer<MyServer>;

std::uint32_t BigEndianAt(const std::vector<char>& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[offset + i]);
    }
    return value;
}

// Odd bytes of the body ask for a number, even ones for a string, until one fails.
void ExtractEverything(const std::uint8_t* data, std::size_t size) {
    Packet packet;
    packet.buffer.assign(data, data + size);
    const std::vector<char> body = packet.buffer;
    for (std::size_t step = 0; step < size; ++step) {
        const std::uint32_t before = packet.extractionOffset;
        if (data[step] & 1) {
            std::uint32_t value = 0xA5A5A5A5;
            try {
                packet >> value;
            } catch (const PacketException&) {
                Require(packet.extractionOffset == before && value == 0xA5A5A5A5,
                        "a failed number extraction changed nothing");
                Require(before + 4 > size, "a number extraction failed with 4 bytes left");
                break;
            }
            Require(packet.extractionOffset == before + 4, "a number advances by 4");
            Require(value == BigEndianAt(body, before), "a number is read big-endian");
        } else {
            std::string text = "stale";
            try {
                packet >> text;
            } catch (const PacketException&) {
                Require(text.empty(), "a failed string extraction leaves the target empty");
                Require(packet.extractionOffset == before || packet.extractionOffset == before + 4,
                        "a failed string extraction stops at or behind its count");
                break;
            }
            Require(packet.extractionOffset == before + 4 + text.size(),
                    "a string advances past its count and bytes");
            Require(text.size() == BigEndianAt(body, before), "a string is as long as its count");
            Require(std::memcmp(text.data(), body.data() + before + 4, text.size()) == 0,
                    "a string holds the body's bytes");
        }
        Require(packet.extractionOffset <= packet.buffer.size(), "extraction stays in the body");
    }
    Require(packet.buffer == body, "extraction leaves the body unchanged");
}

// The bytes as a string field: inserted when they fit, and read back unchanged.
void InsertAndExtract(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Packet packet(PacketType::ChatMessage);
    try {
        packet << text;
    } catch (const PacketException&) {
        Require(size > hNet::MaxTextBytes, "a string that fits is inserted");
        Require(packet.buffer.size() == 6, "a string too long leaves only its count behind");
        return;
    }
    Require(size <= hNet::MaxTextBytes, "a string too long is refused");
    std::string back;
    packet >> back;
    Require(back == text && packet.extractionOffset == packet.buffer.size(),
            "an inserted string reads back whole");
}

bool IsChatCode(PacketType type) {
    return type == PacketType::ChatMessage || type == PacketType::IntegerArray ||
           type == PacketType::SetUserName;
}

ChatServer& TheServer() {
    static ChatServer* const server = [] {
        harness::SilenceConsole();
        Require(hNet::NetworkRuntime::Initialize(), "the socket library starts");
        auto* made = new ChatServer;
        // Never turned: listening gives it the engine's layout, so that connections can be
        // added and closed as the engine does.
        Require(made->Listen() != 0, "the server listens");
        return made;
    }();
    return *server;
}

// Sent once from each connection, so that a name can replace and duplicate another.
void HandleAsReceived(const std::uint8_t* data, std::size_t size) {
    static const hNet::Endpoint first("127.0.0.1", 50001);
    static const hNet::Endpoint second("127.0.0.1", 50002);
    ChatServer& server = TheServer();
    // Invalid sockets: the handlers only queue, and nothing here sends.
    server.AddConnection(hNet::Socket(), first);
    server.AddConnection(hNet::Socket(), second);
    for (int k = 1; k >= 0; --k) {
        auto packet = std::make_shared<Packet>();
        packet->buffer.assign(data, data + size);
        hNet::Connection& sender = server.connections[static_cast<std::size_t>(k)];
        const bool chat = IsChatCode(packet->GetPacketType());
        bool handled = false;
        try {
            handled = server.ProcessPacket(packet, sender);
            Require(handled == chat, "exactly the chat codes are accepted");
        } catch (const PacketException& failure) {
            Require(std::strstr(failure.what(), "Append") == nullptr,
                    "the server never builds a body beyond the limit");
            Require(chat, "only a parsed body can fail to parse");
        }
        Require(std::vector<char>(data, data + size) == packet->buffer,
                "handling leaves the received body unchanged");
        if (handled && packet->GetPacketType() == PacketType::ChatMessage) {
            Packet reader = *packet;
            reader.extractionOffset = 2;
            std::string_view text;
            reader >> text;
            const bool relayed = !ImitatesNotice(text);
            for (const hNet::Connection& connection : server.connections) {
                Require((connection.outgoing.Packets().back() == packet) == relayed,
                        "a chat line is relayed as the very packet received, unless it "
                        "imitates a notice");
            }
        }
        Require(server.UserNames().size() <= server.connections.size(),
                "one name per connection at most");
    }
    server.CloseConnection(0, "gone");
    server.CloseConnection(0, "gone");
    Require(server.UserNames().empty(), "every name leaves with its connection");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ExtractEverything(data, size);
    InsertAndExtract(data, size);
    HandleAsReceived(data, size);
    return 0;
}
