#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

// Latencies in microseconds, kept in a fixed number of buckets: exact below 128 us and
// within 1/64 (1.6%) above, up to any 64-bit value.
class LatencyHistogram {
  public:
    void Add(std::uint64_t micros);
    void Merge(const LatencyHistogram& other);
    std::uint64_t Count() const { return count; }
    std::uint64_t Max() const { return max; }
    // A value that at least `fraction` of the recorded ones do not exceed: the upper end
    // of its bucket, never above the largest value recorded. 0 when nothing was recorded.
    std::uint64_t Percentile(double fraction) const;

  private:
    static constexpr int SubBucketBits = 6;
    static constexpr std::size_t SubBuckets = std::size_t{1} << SubBucketBits;
    static constexpr std::size_t BucketCount = SubBuckets * (64 - SubBucketBits + 1);

    static std::size_t IndexOf(std::uint64_t micros);
    static std::uint64_t UpperEnd(std::size_t index);

    std::array<std::uint64_t, BucketCount> buckets{};
    std::uint64_t count = 0;
    std::uint64_t max = 0;
};
