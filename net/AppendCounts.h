#pragma once

#include <cstdint>

namespace hNet {

// Appends to every connection's queues, counted so that the passes over all connections
// can tell when there is nothing for them to do. Each pass remembers the count it last saw.
class AppendCounts {
  public:
    // Where the connections' incoming and outgoing queues count their appends.
    std::uint64_t incoming = 0;
    std::uint64_t outgoing = 0;

    // Each true when there have been appends since its pass last asked; marks them seen.
    bool IncomingSinceDispatch() { return CatchUp(incoming, dispatchedAt); }
    bool OutgoingSinceWriteInterest() { return CatchUp(outgoing, writeInterestAt); }
    bool OutgoingSinceSendLimit() { return CatchUp(outgoing, sendLimitAt); }

  private:
    static bool CatchUp(std::uint64_t count, std::uint64_t& seen) {
        const bool moved = seen != count;
        seen = count;
        return moved;
    }

    std::uint64_t dispatchedAt = 0;
    std::uint64_t writeInterestAt = 0;
    std::uint64_t sendLimitAt = 0;
};

}  // namespace hNet
