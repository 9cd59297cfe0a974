#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "Packet.h"
#include "PacketRing.h"

namespace hNet {

enum class PacketQueueTask { ProcessPacketSize = 0, ProcessPacketContents = 1 };

// One direction of a connection: shared packets, oldest first, and the framing state
// of the packet currently crossing the socket. Only the stream framing touches the
// three framing fields.
class PacketQueue {
  public:
    PacketQueue() = default;
    // A copy shares the packets and takes the framing state, but counts its appends
    // nowhere: the counter belongs to the owner of the original, which a copy may outlive.
    PacketQueue(const PacketQueue& other);
    // Takes the other's packets and framing state but keeps counting where it counted,
    // the packets taken as one append, so that its owner looks at them.
    PacketQueue& operator=(const PacketQueue& other);
    PacketQueue(PacketQueue&& other) noexcept = default;
    PacketQueue& operator=(PacketQueue&& other) noexcept = default;
    ~PacketQueue() = default;

    void Append(std::shared_ptr<Packet> packet);
    bool HasPending() const { return !packets.empty(); }
    std::shared_ptr<Packet> Front() const { return packets.front(); }
    void Pop();
    // Every later Append also counts in `counter`, so that the owner of many queues can
    // tell at a glance that none of them has grown since it last looked at them all.
    void CountAppendsIn(std::uint64_t* counter) { appendCounter = counter; }

    const PacketRing& Packets() const { return packets; }
    // Wire bytes (size prefix and body) of every queued packet; the engine bounds it.
    std::size_t PendingBytes() const { return pendingBytes; }

    std::uint16_t currentPacketSize = 0;
    std::uint32_t currentPacketExtractionOffset = 0;
    PacketQueueTask currentTask = PacketQueueTask::ProcessPacketSize;

  private:
    PacketRing packets;
    std::size_t pendingBytes = 0;
    std::uint64_t* appendCounter = nullptr;
};

}  // namespace hNet
