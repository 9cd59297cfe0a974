#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "PacketException.h"
#include "PacketType.h"
#include "WireFormat.h"

namespace hNet {

// One message body: a big-endian 16-bit type code followed by fields in network byte
// order. The networking layer reads and fills `buffer` directly.
class Packet {
  public:
    explicit Packet(PacketType packetType = PacketType::Invalid);
    // A received body, kept as it came: its type code is whatever it begins with.
    Packet(const char* body, std::uint32_t size);

    void Clear();
    // A body too short to hold a code reads as PacketType::Invalid.
    PacketType GetPacketType() const;
    void AssignPacketType(PacketType packetType);

    // Throws PacketException, appending nothing, if the body would exceed MaxPacketSize.
    void Append(const void* data, std::uint32_t size);

    Packet& operator<<(std::uint32_t value);
    Packet& operator<<(const std::string& text);
    Packet& operator>>(std::uint32_t& value);
    Packet& operator>>(std::string& text);
    // The text in place, without a copy; valid while the body is neither changed nor freed.
    Packet& operator>>(std::string_view& text);

    // What goes in front of the body to a browser: the head of a WebSocket binary message
    // and the size prefix. It depends only on the body's size, so it is made once, when
    // first asked for, and shared by every browser the packet goes to.
    std::string_view WebSocketHead() const {
        if (webSocketHeadBytes == 0 || webSocketHeadFor != buffer.size()) {
            MakeWebSocketHead();
        }
        return {webSocketHead.data(), webSocketHeadBytes};
    }

    std::uint32_t extractionOffset = 2;
    std::vector<char> buffer;

  private:
    void MakeWebSocketHead() const;

    mutable std::array<char, 6> webSocketHead{};
    mutable std::uint8_t webSocketHeadBytes = 0;
    // The body size the head was made for; a body that changed since gets a new one.
    mutable std::size_t webSocketHeadFor = 0;
};

// A packet of the type with one string field: a chat line, a name or a list of names.
std::shared_ptr<Packet> MakeTextPacket(PacketType packetType, const std::string& text);

}  // namespace hNet
