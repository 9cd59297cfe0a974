#include "Packet.h"

#include <algorithm>
#include <cstring>

#include "Platform.h"
#include "WebSocketFrame.h"

namespace hNet {

Packet::Packet(PacketType packetType) {
    Clear();
    AssignPacketType(packetType);
}

Packet::Packet(const char* body, std::uint32_t size) : buffer(body, body + size) {}

void Packet::Clear() {
    buffer.assign(2, 0);
    extractionOffset = 2;
}

PacketType Packet::GetPacketType() const {
    if (buffer.size() < 2) {
        return PacketType::Invalid;
    }
    std::uint16_t code = 0;
    std::memcpy(&code, buffer.data(), sizeof(code));
    return static_cast<PacketType>(ntohs(code));
}

void Packet::AssignPacketType(PacketType packetType) {
    const std::uint16_t code = htons(static_cast<std::uint16_t>(packetType));
    std::memcpy(buffer.data(), &code, sizeof(code));
}

void Packet::Append(const void* data, std::uint32_t size) {
    if (buffer.size() + size > MaxPacketSize) {
        throw PacketException(
            "[Packet::Append(const void*, uint32_t)] - Packet size exceeded max packet size.");
    }
    const auto* bytes = static_cast<const char*>(data);
    buffer.insert(buffer.end(), bytes, bytes + size);
}

Packet& Packet::operator<<(std::uint32_t value) {
    const std::uint32_t wire = htonl(value);
    Append(&wire, sizeof(wire));
    return *this;
}

Packet& Packet::operator<<(const std::string& text) {
    // A length past any possible body must not wrap when narrowed to 32 bits.
    const auto size =
        static_cast<std::uint32_t>(std::min<std::size_t>(text.size(), MaxPacketSize + 1));
    *this << size;
    Append(text.data(), size);
    return *this;
}

Packet& Packet::operator>>(std::uint32_t& value) {
    if (buffer.size() < 4 || extractionOffset > buffer.size() - 4) {
        throw PacketException(
            "[Packet::operator >>(uint32_t& ] - Extraction offset exceeded buffer size.");
    }
    std::uint32_t wire = 0;
    std::memcpy(&wire, buffer.data() + extractionOffset, sizeof(wire));
    value = ntohl(wire);
    extractionOffset += sizeof(wire);
    return *this;
}

Packet& Packet::operator>>(std::string& text) {
    text.clear();
    std::string_view view;
    *this >> view;
    text.assign(view);
    return *this;
}

Packet& Packet::operator>>(std::string_view& text) {
    std::uint32_t size = 0;
    *this >> size;
    if (size > buffer.size() - extractionOffset) {
        throw PacketException(
            "[Packet::operator >> (std::string &] - Extraction offset exceeded buffer size");
    }
    text = std::string_view(buffer.data() + extractionOffset, size);
    extractionOffset += size;
    return *this;
}

// The frame's length then takes 16 bits at most, and the head fits its 6 bytes.
static_assert(SizePrefixBytes + MaxPacketSize <= 0xFFFF);

void Packet::MakeWebSocketHead() const {
    std::uint8_t head[MaxFrameHeadBytes];
    const std::size_t frameHead =
        WriteFrameHead(head, WebSocketOpcode::Binary, SizePrefixBytes + buffer.size());
    std::memcpy(webSocketHead.data(), head, frameHead);
    const std::uint16_t prefix = htons(static_cast<std::uint16_t>(buffer.size()));
    std::memcpy(webSocketHead.data() + frameHead, &prefix, sizeof(prefix));
    webSocketHeadBytes = static_cast<std::uint8_t>(frameHead + sizeof(prefix));
    webSocketHeadFor = buffer.size();
}

std::shared_ptr<Packet> MakeTextPacket(PacketType packetType, const std::string& text) {
    auto packet = std::make_shared<Packet>(packetType);
    *packet << text;
    return packet;
}

}  // namespace hNet
