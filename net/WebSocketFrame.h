#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace hNet {

enum class WebSocketOpcode : std::uint8_t {
    Continuation = 0x0,
    Text = 0x1,
    Binary = 0x2,
    Close = 0x8,
    Ping = 0x9,
    Pong = 0xA,
};

// The status codes this system puts in its Close frames.
enum class WebSocketCloseCode : std::uint16_t {
    Normal = 1000,
    ProtocolError = 1002,
    UnsupportedData = 1003,
    PolicyViolation = 1008,
};

using WebSocketMask = std::array<std::uint8_t, 4>;

// Close, ping and pong: short, never fragmented, and allowed between a message's fragments.
inline bool IsControl(WebSocketOpcode opcode) {
    return (static_cast<std::uint8_t>(opcode) & 0x08) != 0;
}

// A status code as a Close frame's payload begins with it: two bytes, big-endian.
std::string CloseCodeBytes(WebSocketCloseCode code);

// Two bytes, eight of extended length and four of mask.
inline constexpr std::size_t MaxFrameHeadBytes = 14;
// A control frame (close, ping, pong) carries at most this much and is never fragmented.
inline constexpr std::size_t MaxControlPayloadBytes = 125;

// Writes the head of one final, unfragmented frame; its length. A client masks every
// frame it sends, a server none.
std::size_t WriteFrameHead(std::uint8_t* head, WebSocketOpcode opcode, std::uint64_t payloadBytes,
                           const WebSocketMask* mask = nullptr);

// Masks or unmasks, in place, `count` payload bytes that start `position` bytes into the
// payload: the same operation both ways.
void ApplyMask(char* data, std::size_t count, const WebSocketMask& mask, std::uint64_t position);

enum class FrameResult {
    Incomplete,  // more bytes of the head or payload to come
    Complete,    // the head is in (CommitHead), or the payload (CommitPayload)
    Violation,   // the peer broke the protocol: close with ProtocolError
};

// Reads frames from a stream that arrives in pieces of any size, one part at a time: a
// frame's head, then its payload, so that the owner can receive each part straight where
// it belongs. Checks every rule that does not depend on what the payload means: reserved
// bits and opcodes, masking by the peer's role, control frames short and whole, and
// continuations only inside a fragmented message. A plain value.
class FrameReader {
  public:
    // A server reads masked frames from clients; a client reads unmasked ones.
    enum class Peer { Client, Server };

    explicit FrameReader(Peer peer) : peer(peer) {}

    // True between frames and while a head is arriving.
    bool InHead() const { return payloadLeft == 0; }
    // True when no byte of a frame has come that is not part of a whole frame.
    bool BetweenFrames() const { return payloadLeft == 0 && headGot == 0; }
    // Where the next bytes of the head go, and how many of them are known to be missing.
    std::uint8_t* HeadWindow() { return head.data() + headGot; }
    std::size_t HeadMissing() const { return headNeeded - headGot; }
    FrameResult CommitHead(std::size_t count);

    // The frame whose head came last: valid from a Complete CommitHead until the next one.
    WebSocketOpcode Opcode() const { return opcode; }
    // Text or Binary for a data frame, continuations included.
    WebSocketOpcode MessageOpcode() const { return messageOpcode; }
    bool Final() const { return final; }
    std::uint64_t PayloadLength() const { return payloadLength; }
    std::uint64_t PayloadLeft() const { return payloadLeft; }

    // Unmasks `count` payload bytes just received, in place; Complete when they end the
    // frame's payload, after which the next head is read.
    FrameResult CommitPayload(char* data, std::size_t count);

  private:
    // Checks the first two bytes and learns how long the head is.
    FrameResult ReadStart();
    FrameResult ReadRest();

    Peer peer;
    std::array<std::uint8_t, MaxFrameHeadBytes> head{};
    std::uint8_t headGot = 0;
    std::uint8_t headNeeded = 2;
    bool final = true;
    bool messageOpen = false;  // a fragmented data message awaits its continuations
    WebSocketOpcode opcode = WebSocketOpcode::Continuation;
    WebSocketOpcode messageOpcode = WebSocketOpcode::Binary;
    WebSocketMask mask{};
    std::uint64_t payloadLength = 0;
    std::uint64_t payloadLeft = 0;
};

}  // namespace hNet
