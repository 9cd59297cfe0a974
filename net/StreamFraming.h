#pragma once

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
};

// Where the next received bytes of the current field go, and how many it still lacks.
struct FieldWindow {
    char* data;
    std::uint32_t length;
};

FieldWindow NextReceiveWindow(PacketQueue& incoming, char* receiveBuffer);

// Accounts for `count` bytes just written into the window; queues the packet when its
// body is complete. Pure bookkeeping, usable without a socket.
ReceiveResult CommitReceived(PacketQueue& incoming, const char* receiveBuffer, std::uint32_t count);

// One recv of at most the rest of the current field.
ReceiveResult ReceiveField(SOCKET handle, PacketQueue& incoming, char* receiveBuffer);

// Sends queued frames for as long as the socket takes them; true when the queue is empty.
bool SendQueued(SOCKET handle, PacketQueue& outgoing);

}  // namespace hNet
