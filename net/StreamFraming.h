#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "PacketQueue.h"
#include "Platform.h"

namespace hNet {

// Frames on the stream are a 2-byte big-endian body size followed by the body.
// Progress of a partly moved frame lives in the queue of its direction, so any split
// of the stream into pieces yields the same packets.

enum class ReceiveResult {
    Progress,    // bytes taken; a packet may have been queued
    WouldBlock,  // nothing to read now
    PeerClosed,  // the peer ended the stream
    Failed,      // the stream broke
    TooLarge,    // announced body above MaxPacketSize
    TooSmall,    // announced body too short to hold a type code
    // From a browser only:
    ProtocolError,  // a WebSocket frame broke the protocol
    TextMessage,    // a WebSocket text message: the chat's frames are binary
    CloseFrame,     // the browser sent a Close frame
};

// How frames travel: as they are, or each as one WebSocket binary message to a browser.
enum class Wire { Stream, WebSocket };

// Where the next received bytes of the current field go, and how many it still lacks.
struct FieldWindow {
    char* data;
    std::uint32_t length;
};

FieldWindow NextReceiveWindow(PacketQueue& incoming, char* receiveBuffer);

// Accounts for `count` bytes just written into the window; queues the packet when its
// body is complete. Pure bookkeeping, usable without a socket.
ReceiveResult CommitReceived(PacketQueue& incoming, const char* receiveBuffer, std::uint32_t count);

// For bytes already read into memory: copies as many of the `size` bytes at `data` as the
// current field lacks into its window and commits them; `taken` is how many.
ReceiveResult TakeReceived(PacketQueue& incoming, char* receiveBuffer, const char* data,
                           std::size_t size, std::uint32_t& taken);

// One recv of at most the rest of the current field; `received` is how many bytes it took.
ReceiveResult ReceiveField(SOCKET handle, PacketQueue& incoming, char* receiveBuffer,
                           std::uint32_t& received);

// A gathered send stops adding frames once this many bytes are gathered, so it offers at
// most this plus one frame.
inline constexpr std::size_t GatherBytes = 64 * 1024;

// The slices of one gathered send and the size prefixes they point at, which live here
// rather than on the heap (a browser's frame heads live in the packets). Only the first `count`
// slices are set. Not copyable: the slices point into the object itself.
struct SendGathering {
    SendGathering() = default;
    SendGathering(const SendGathering&) = delete;
    SendGathering& operator=(const SendGathering&) = delete;

    std::array<IoSlice, MaxIoSlices> slices;
    std::array<std::uint16_t, MaxIoSlices / 2> prefixes;  // network order
    std::size_t count = 0;
    std::size_t bytes = 0;
};

// Points the slices at the queued frames, oldest first: the unsent rest of the current
// field, then whole frames, within MaxIoSlices slices and about GatherBytes bytes.
void GatherQueued(const PacketQueue& outgoing, SendGathering& gathering, Wire wire = Wire::Stream);

// Accounts for `count` bytes the socket took from the gathered frames: pops the packets
// sent in full and leaves the framing state at the first unsent byte. Pure bookkeeping,
// usable without a socket.
void CommitSent(PacketQueue& outgoing, std::size_t count, Wire wire = Wire::Stream);

// Sends queued frames, one gathered call per attempt, for as long as the socket takes
// all it is offered; true when the queue is empty.
bool SendQueued(SOCKET handle, PacketQueue& outgoing, Wire wire = Wire::Stream);

}  // namespace hNet
