#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What the benchmark writes into every chat text it sends, so that each receiver can
// tell who sent it, in which order and when.
struct Probe {
    std::uint32_t run = 0;        // tells this run's texts from anybody else's
    std::uint32_t sender = 0;     // at most MaxProbeSender
    std::uint64_t sequence = 0;   // per sender, from 0, below 2^32
    std::uint64_t sentNanos = 0;  // steady clock
};

inline constexpr std::uint32_t MaxProbeSender = 0xFFFF;
// "bench RRRRRRRR SSSS QQQQQQQQ TTTTTTTTTTTTTTTT": the fields in fixed-width hex.
inline constexpr std::size_t ProbeBytes = 45;

// The probe as text, padded with dots to textBytes (at least ProbeBytes).
std::string EncodeProbe(const Probe& probe, std::size_t textBytes);
// Empty when the text is not a probe.
std::optional<Probe> DecodeProbe(std::string_view text);
