#pragma once

#include <cstdint>

namespace hNet {

// The facts of the chat protocol that the server, the clients and the tests share;
// web/protocol.js holds its own copy, which a test keeps in step.

// Every frame is a big-endian body size of this many bytes, then the body.
inline constexpr std::uint32_t SizePrefixBytes = 2;

// The largest body in bytes, type code included.
inline constexpr std::uint32_t MaxPacketSize = 8192;

// The longest string one body carries: the body less its type code and the string's count.
inline constexpr std::uint32_t MaxTextBytes = MaxPacketSize - 2 - 4;

// The longest name the server takes: long enough for any name a person picks, short
// enough that one client cannot fill the list for everyone else.
inline constexpr std::uint32_t MaxNameBytes = 64;

// How the server refuses a longer name, and the client too, before sending it.
inline constexpr char NameTooLongRefusal[] = "User name refused: a name is at most 64 bytes.";

// The port the server listens on and the clients connect to.
inline constexpr std::uint16_t ChatPort = 6112;
// The port it serves browsers on: the page, and the chat through WebSockets.
inline constexpr std::uint16_t WebPort = 8080;

}  // namespace hNet
