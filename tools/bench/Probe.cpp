#include "Probe.h"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::string_view Marker = "bench ";
constexpr int RunDigits = 8;
constexpr int SenderDigits = 4;
constexpr int SequenceDigits = 8;
constexpr int TimeDigits = 16;

void AppendHex(std::string& text, std::uint64_t value, int digits) {
    constexpr char Digits[] = "0123456789abcdef";
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
        text += Digits[(value >> shift) & 0xF];
    }
}

// Reads a hex field of exactly `digits` characters and the blank behind it, if any.
bool ReadHex(std::string_view& text, int digits, std::uint64_t& value) {
    const auto width = static_cast<std::size_t>(digits);
    if (text.size() < width) {
        return false;
    }
    const auto [end, error] = std::from_chars(text.data(), text.data() + width, value, 16);
    if (error != std::errc() || end != text.data() + width) {
        return false;
    }
    text.remove_prefix(width);
    if (!text.empty() && text.front() == ' ') {
        text.remove_prefix(1);
    }
    return true;
}

}  // namespace

std::string EncodeProbe(const Probe& probe, std::size_t textBytes) {
    std::string text(Marker);
    text.reserve(textBytes);
    AppendHex(text, probe.run, RunDigits);
    text += ' ';
    AppendHex(text, probe.sender, SenderDigits);
    text += ' ';
    AppendHex(text, probe.sequence, SequenceDigits);
    text += ' ';
    AppendHex(text, probe.sentNanos, TimeDigits);
    text.resize(std::max(textBytes, text.size()), '.');
    return text;
}

std::optional<Probe> DecodeProbe(std::string_view text) {
    if (text.size() < ProbeBytes || text.substr(0, Marker.size()) != Marker) {
        return std::nullopt;
    }
    text.remove_prefix(Marker.size());
    std::uint64_t run = 0;
    std::uint64_t sender = 0;
    Probe probe;
    if (!ReadHex(text, RunDigits, run) || !ReadHex(text, SenderDigits, sender) ||
        !ReadHex(text, SequenceDigits, probe.sequence) ||
        !ReadHex(text, TimeDigits, probe.sentNanos)) {
        return std::nullopt;
    }
    probe.run = static_cast<std::uint32_t>(run);
    probe.sender = static_cast<std::uint32_t>(sender);
    return probe;
}
