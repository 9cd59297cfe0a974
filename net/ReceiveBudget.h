#pragma once

#include <cstdint>

namespace hNet {

// What one client may send the server: a bucket of bytes and one of lines (complete
// packets), both refilled with time. A person typing or pasting a hundred lines of up to
// 1,000 bytes at once stays within the bursts; a flooder is held to the sustained rates,
// below what a reader draining 128 KiB/s takes, so no flood fills a reader's send queue.
class ReceiveBudget {
  public:
    static constexpr std::int64_t BurstBytes = 128 * 1024;
    static constexpr std::int64_t BytesPerSecond = 64 * 1024;
    static constexpr std::int64_t BurstLines = 128;
    static constexpr std::int64_t LinesPerSecond = 20;

    // Adds what the time since the last refill earned, up to the bursts. Times are in
    // milliseconds of a clock that never goes back.
    void Refill(std::int64_t nowMs);
    // Takes what was just received; a bucket may go below empty by the last read.
    void Charge(std::int64_t bytes, std::int64_t lines);
    // True while either bucket is empty: nothing more is read until both have refilled.
    bool Spent() const;
    // The earliest time at which Refill makes the budget no longer spent.
    std::int64_t RefilledAtMs() const;

  private:
    // In thousandths, so that a millisecond's refill is a whole number.
    std::int64_t byteMillis = BurstBytes * 1000;
    std::int64_t lineMillis = BurstLines * 1000;
    std::int64_t refilledMs = 0;
};

}  // namespace hNet
