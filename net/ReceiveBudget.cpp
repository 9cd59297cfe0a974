#include "ReceiveBudget.h"

#include <algorithm>

namespace hNet {

namespace {

// Long enough to fill either bucket from empty, short enough that no product overflows.
constexpr std::int64_t LongestRefillMs = 60 * 60 * 1000;

// Milliseconds until a bucket holding `millis` thousandths rises above zero.
std::int64_t UntilAboveZero(std::int64_t millis, std::int64_t perSecond) {
    return millis > 0 ? 0 : (-millis) / perSecond + 1;
}

}  // namespace

void ReceiveBudget::Refill(std::int64_t nowMs) {
    const std::int64_t elapsed = std::clamp<std::int64_t>(nowMs - refilledMs, 0, LongestRefillMs);
    refilledMs = std::max(refilledMs, nowMs);
    byteMillis = std::min(byteMillis + elapsed * BytesPerSecond, BurstBytes * 1000);
    lineMillis = std::min(lineMillis + elapsed * LinesPerSecond, BurstLines * 1000);
}

void ReceiveBudget::Charge(std::int64_t bytes, std::int64_t lines) {
    byteMillis -= bytes * 1000;
    lineMillis -= lines * 1000;
}

bool ReceiveBudget::Spent() const {
    return byteMillis <= 0 || lineMillis <= 0;
}

std::int64_t ReceiveBudget::RefilledAtMs() const {
    return refilledMs + std::max(UntilAboveZero(byteMillis, BytesPerSecond),
                                 UntilAboveZero(lineMillis, LinesPerSecond));
}

}  // namespace hNet
