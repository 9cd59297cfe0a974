#include "PacketRing.h"

#include <utility>

namespace hNet {

namespace {

constexpr std::size_t FirstCapacity = 8;

}  // namespace

// The copy is compact: its oldest packet sits in its first slot.
PacketRing::PacketRing(const PacketRing& other) : slots(other.slots.size()), count(other.count) {
    for (std::size_t i = 0; i < count; ++i) {
        slots[i] = other[i];
    }
}

PacketRing::PacketRing(PacketRing&& other) noexcept
    : slots(std::move(other.slots)),
      head(std::exchange(other.head, 0)),
      count(std::exchange(other.count, 0)) {
    other.slots.clear();
}

PacketRing& PacketRing::operator=(PacketRing other) noexcept {
    slots.swap(other.slots);
    std::swap(head, other.head);
    std::swap(count, other.count);
    return *this;
}

void PacketRing::push_back(std::shared_ptr<Packet> packet) {
    if (count == slots.size()) {
        Grow();
    }
    slots[(head + count) & (slots.size() - 1)] = std::move(packet);
    ++count;
}

void PacketRing::pop_front() {
    slots[head].reset();
    head = (head + 1) & (slots.size() - 1);
    --count;
}

void PacketRing::Grow() {
    std::vector<std::shared_ptr<Packet>> larger(slots.empty() ? FirstCapacity : 2 * slots.size());
    for (std::size_t i = 0; i < count; ++i) {
        larger[i] = std::move(slots[(head + i) & (slots.size() - 1)]);
    }
    slots.swap(larger);
    head = 0;
}

}  // namespace hNet
