#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "Packet.h"

namespace hNet {

// First-in, first-out shared packets in a ring. The storage doubles when the ring is
// full and is kept when it empties, so a queue that cycles at a steady depth allocates
// nothing; it stays at the deepest the queue has been, which its owner bounds. A copy
// shares the packets.
class PacketRing {
  public:
    PacketRing() = default;
    PacketRing(const PacketRing& other);
    PacketRing(PacketRing&& other) noexcept;
    // Copies or moves, by how the argument was made.
    PacketRing& operator=(PacketRing other) noexcept;
    ~PacketRing() = default;

    bool empty() const { return count == 0; }
    std::size_t size() const { return count; }
    // Position 0 is the oldest packet.
    const std::shared_ptr<Packet>& operator[](std::size_t position) const {
        return slots[(head + position) & (slots.size() - 1)];
    }
    const std::shared_ptr<Packet>& front() const { return (*this)[0]; }
    const std::shared_ptr<Packet>& back() const { return (*this)[count - 1]; }

    void push_back(std::shared_ptr<Packet> packet);
    void pop_front();

  private:
    void Grow();

    // A power of two in size, so positions wrap with a mask; unused slots hold no packet.
    std::vector<std::shared_ptr<Packet>> slots;
    std::size_t head = 0;
    std::size_t count = 0;
};

}  // namespace hNet
