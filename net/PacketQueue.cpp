#include "PacketQueue.h"

namespace hNet {

namespace {

std::size_t WireSize(const Packet& packet) {
    return 2 + packet.buffer.size();
}

}  // namespace

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
