#include "LatencyHistogram.h"

#include <algorithm>
#include <cmath>

namespace {

int HighestBit(std::uint64_t value) {
    int bit = 0;
    while (value >>= 1) {
        ++bit;
    }
    return bit;
}

}  // namespace

// Row 0 holds 0..63 one by one; row r >= 1 splits [64 << (r-1), 128 << (r-1)) into 64.
std::size_t LatencyHistogram::IndexOf(std::uint64_t micros) {
    if (micros < SubBuckets) {
        return static_cast<std::size_t>(micros);
    }
    const int shift = HighestBit(micros) - SubBucketBits;
    const auto row = static_cast<std::size_t>(shift + 1);
    return row * SubBuckets + static_cast<std::size_t>((micros >> shift) & (SubBuckets - 1));
}

std::uint64_t LatencyHistogram::UpperEnd(std::size_t index) {
    const std::size_t row = index / SubBuckets;
    if (row == 0) {
        return index;
    }
    const std::uint64_t lower = (SubBuckets + index % SubBuckets) << (row - 1);
    return lower + ((std::uint64_t{1} << (row - 1)) - 1);
}

void LatencyHistogram::Add(std::uint64_t micros) {
    ++buckets[IndexOf(micros)];
    ++count;
    max = std::max(max, micros);
}

void LatencyHistogram::Merge(const LatencyHistogram& other) {
    for (std::size_t i = 0; i < BucketCount; ++i) {
        buckets[i] += other.buckets[i];
    }
    count += other.count;
    max = std::max(max, other.max);
}

std::uint64_t LatencyHistogram::Percentile(double fraction) const {
    if (count == 0) {
        return 0;
    }
    const auto rank = std::max<std::uint64_t>(
        1, static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count))));
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < BucketCount; ++i) {
        seen += buckets[i];
        if (seen >= rank) {
            return std::min(UpperEnd(i), max);
        }
    }
    return max;
}
