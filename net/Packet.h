#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PacketException.h"
#include "PacketType.h"

namespace hNet {

// The largest body in bytes, type code included.
inline constexpr std::uint32_t MaxPacketSize = 8192;

// One message body: a big-endian 16-bit type code followed by fields in network byte
// order. The networking layer reads and fills `buffer` directly.
class Packet {
  public:
    explicit Packet(PacketType packetType = PacketType::Invalid);

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

    std::uint32_t extractionOffset = 2;
    std::vector<char> buffer;
};

}  // namespace hNet
