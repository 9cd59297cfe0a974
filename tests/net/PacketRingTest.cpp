#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <utility>

#include "PacketRing.h"

namespace {

using hNet::Packet;
using hNet::PacketRing;

void ExpectSame(const PacketRing& ring, const std::deque<std::shared_ptr<Packet>>& model) {
    ASSERT_EQ(ring.size(), model.size());
    for (std::size_t i = 0; i < model.size(); ++i) {
        ASSERT_EQ(ring[i], model[i]) << "position " << i;
    }
}

// Depths rise and fall across the wrap point, so the ring grows while wrapped.
TEST(PacketRing, KeepsOrderThroughWrapsAndGrowth) {
    PacketRing ring;
    std::deque<std::shared_ptr<Packet>> model;
    for (int round = 0; round < 40; ++round) {
        const int pushes = 1 + round * 7 % 23;
        const int pops = round * 5 % 19;
        for (int i = 0; i < pushes; ++i) {
            auto packet = std::make_shared<Packet>();
            model.push_back(packet);
            ring.push_back(std::move(packet));
        }
        for (int i = 0; i < pops && !model.empty(); ++i) {
            ASSERT_EQ(ring.front(), model.front());
            model.pop_front();
            ring.pop_front();
        }
        ExpectSame(ring, model);
        ASSERT_EQ(ring.back(), model.back());
    }

    PacketRing moved = std::move(ring);
    ExpectSame(moved, model);
    EXPECT_TRUE(ring.empty());  // NOLINT(bugprone-use-after-move): a moved-from ring is empty
    ring.push_back(model.front());
    EXPECT_EQ(ring.size(), 1u);
}

}  // namespace
