#include "PacketQueue.h"

namespace hNet {

namespace {

std::size_t WireSize(const Packet& packet) {
    return SizePrefixBytes + packet.buffer.size();
}

}  // namespace

PacketQueue::PacketQueue(const PacketQueue& other)
    : currentPacketSize(other.currentPacketSize),
      currentPacketExtractionOffset(other.currentPacketExtractionOffset),
      currentTask(other.currentTask),
      packets(other.packets),
      pendingBytes(other.pendingBytes) {}

PacketQueue& PacketQueue::operator=(const PacketQueue& other) {
    std::uint64_t* const counter = appendCounter;
    *this = PacketQueue(other);
    appendCounter = counter;
    if (appendCounter != nullptr && HasPending()) {
        ++*appendCounter;
    }
    return *this;
}

void PacketQueue::Append(std::shared_ptr<Packet> packet) {
    pendingBytes += WireSize(*packet);
    if (appendCounter != nullptr) {
        ++*appendCounter;
    }
    packets.push_back(std::move(packet));
}

void PacketQueue::Pop() {
    pendingBytes -= WireSize(*packets.front());
    packets.pop_front();
}

}  // namespace hNet
