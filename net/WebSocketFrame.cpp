#include "WebSocketFrame.h"

namespace hNet {

namespace {

constexpr std::uint8_t FinalBit = 0x80;
constexpr std::uint8_t ReservedBits = 0x70;
constexpr std::uint8_t OpcodeBits = 0x0F;
constexpr std::uint8_t MaskBit = 0x80;
constexpr std::uint8_t LengthBits = 0x7F;
constexpr std::uint8_t Length16 = 126;
constexpr std::uint8_t Length64 = 127;

bool IsKnown(std::uint8_t opcode) {
    switch (static_cast<WebSocketOpcode>(opcode)) {
        case WebSocketOpcode::Continuation:
        case WebSocketOpcode::Text:
        case WebSocketOpcode::Binary:
        case WebSocketOpcode::Close:
        case WebSocketOpcode::Ping:
        case WebSocketOpcode::Pong:
            return true;
    }
    return false;
}

}  // namespace

std::size_t WriteFrameHead(std::uint8_t* head, WebSocketOpcode opcode, std::uint64_t payloadBytes,
                           const WebSocketMask* mask) {
    head[0] = static_cast<std::uint8_t>(FinalBit | static_cast<std::uint8_t>(opcode));
    const std::uint8_t maskBit = mask != nullptr ? MaskBit : 0;
    std::size_t length = 2;
    if (payloadBytes < Length16) {
        head[1] = static_cast<std::uint8_t>(maskBit | payloadBytes);
    } else if (payloadBytes <= 0xFFFF) {
        head[1] = maskBit | Length16;
        head[2] = static_cast<std::uint8_t>(payloadBytes >> 8);
        head[3] = static_cast<std::uint8_t>(payloadBytes);
        length = 4;
    } else {
        head[1] = maskBit | Length64;
        for (int i = 0; i < 8; ++i) {
            head[2 + i] = static_cast<std::uint8_t>(payloadBytes >> (56 - 8 * i));
        }
        length = 10;
    }
    if (mask != nullptr) {
        for (std::size_t i = 0; i < mask->size(); ++i) {
            head[length++] = (*mask)[i];
        }
    }
    return length;
}

std::string CloseCodeBytes(WebSocketCloseCode code) {
    const auto value = static_cast<std::uint16_t>(code);
    return {static_cast<char>(value >> 8), static_cast<char>(value & 0xFF)};
}

void ApplyMask(char* data, std::size_t count, const WebSocketMask& mask, std::uint64_t position) {
    for (std::size_t i = 0; i < count; ++i) {
        data[i] = static_cast<char>(static_cast<std::uint8_t>(data[i]) ^ mask[(position + i) & 3]);
    }
}

FrameResult FrameReader::CommitHead(std::size_t count) {
    headGot = static_cast<std::uint8_t>(headGot + count);
    if (headGot < headNeeded) {
        return FrameResult::Incomplete;
    }
    if (headGot == 2) {
        const FrameResult start = ReadStart();
        if (start != FrameResult::Complete || headGot < headNeeded) {
            return start == FrameResult::Violation ? start : FrameResult::Incomplete;
        }
    }
    return ReadRest();
}

FrameResult FrameReader::ReadStart() {
    const std::uint8_t code = head[0] & OpcodeBits;
    const bool finalBit = (head[0] & FinalBit) != 0;
    const std::uint8_t length = head[1] & LengthBits;
    const bool masked = (head[1] & MaskBit) != 0;
    if ((head[0] & ReservedBits) != 0 || !IsKnown(code) || masked != (peer == Peer::Client)) {
        return FrameResult::Violation;
    }
    if (IsControl(static_cast<WebSocketOpcode>(code)) ? !finalBit || length > MaxControlPayloadBytes
                                                      : (code == 0) != messageOpen) {
        return FrameResult::Violation;
    }
    const std::uint8_t extended = length == Length64 ? 8 : length == Length16 ? 2 : 0;
    headNeeded = static_cast<std::uint8_t>(2 + extended + (masked ? 4 : 0));
    return FrameResult::Complete;
}

FrameResult FrameReader::ReadRest() {
    const std::uint8_t length = head[1] & LengthBits;
    std::size_t at = 2;
    std::uint64_t bytes = length;
    if (length == Length16 || length == Length64) {
        const std::size_t width = length == Length16 ? 2 : 8;
        bytes = 0;
        for (std::size_t i = 0; i < width; ++i) {
            bytes = (bytes << 8) | head[at++];
        }
        // The most significant bit of a 64-bit length must be 0.
        if (width == 8 && (bytes >> 63) != 0) {
            return FrameResult::Violation;
        }
    }
    if ((head[1] & MaskBit) != 0) {
        for (std::uint8_t& byte : mask) {
            byte = head[at++];
        }
    }
    opcode = static_cast<WebSocketOpcode>(head[0] & OpcodeBits);
    final = (head[0] & FinalBit) != 0;
    if (!IsControl(opcode)) {
        if (opcode != WebSocketOpcode::Continuation) {
            messageOpcode = opcode;
        }
        messageOpen = !final;
    }
    payloadLength = bytes;
    payloadLeft = bytes;
    headGot = 0;
    headNeeded = 2;
    return FrameResult::Complete;
}

FrameResult FrameReader::CommitPayload(char* data, std::size_t count) {
    if (peer == Peer::Client) {
        ApplyMask(data, count, mask, payloadLength - payloadLeft);
    }
    payloadLeft -= count;
    return payloadLeft == 0 ? FrameResult::Complete : FrameResult::Incomplete;
}

}  // namespace hNet
