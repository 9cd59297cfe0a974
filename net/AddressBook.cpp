#include "AddressBook.h"

#include <algorithm>

namespace hNet {

namespace {

// The burst refills from empty in this long; an address silent for longer is as new.
constexpr std::int64_t FullRefillMs =
    AddressBook::BurstConnects * 1000 / AddressBook::ConnectsPerSecond;

std::uint64_t BigEndian(const std::vector<std::uint8_t>& bytes, std::size_t from) {
    std::uint64_t value = 0;
    for (std::size_t i = from; i < from + 8; ++i) {
        value = (value << 8) | bytes[i];
    }
    return value;
}

}  // namespace

AddressKey AddressKeyOf(const Endpoint& endpoint) {
    const std::vector<std::uint8_t>& bytes = endpoint.GetIpBytes();
    if (bytes.size() == 4) {
        return {0, 0xFFFF00000000u | (std::uint64_t{bytes[0]} << 24) | (bytes[1] << 16) |
                       (bytes[2] << 8) | bytes[3]};
    }
    if (bytes.size() != 16) {
        return {};
    }
    const AddressKey key{BigEndian(bytes, 0), BigEndian(bytes, 8)};
    // An IPv4 client of an IPv6 socket is the IPv4 address it came from.
    if (key.high == 0 && (key.low >> 32) == 0xFFFF) {
        return key;
    }
    return {key.high, 0};
}

AddressBook::Address& AddressBook::Find(const Endpoint& endpoint, std::int64_t nowMs) {
    if (addresses.size() >= forgetAt) {
        Forget(nowMs);
    }
    Address& address = addresses[AddressKeyOf(endpoint)];
    Refill(address, nowMs);
    return address;
}

AddressBook::Admission AddressBook::Check(const Endpoint& endpoint, std::int64_t nowMs) {
    const Address& address = Find(endpoint, nowMs);
    if (address.connections >= MaxConnections) {
        return Admission::TooMany;
    }
    return address.connectMillis < 1000 ? Admission::TooFast : Admission::Admitted;
}

std::shared_ptr<ReceiveBudget> AddressBook::Join(const Endpoint& endpoint, std::int64_t nowMs) {
    Address& address = Find(endpoint, nowMs);
    address.connectMillis -= 1000;
    ++address.connections;
    return address.budget;
}

void AddressBook::Leave(const Endpoint& endpoint) {
    const auto found = addresses.find(AddressKeyOf(endpoint));
    if (found != addresses.end() && found->second.connections > 0) {
        --found->second.connections;
    }
}

void AddressBook::Refill(Address& address, std::int64_t nowMs) const {
    const std::int64_t elapsed =
        std::clamp<std::int64_t>(nowMs - address.refilledMs, 0, FullRefillMs);
    address.refilledMs = std::max(address.refilledMs, nowMs);
    address.connectMillis =
        std::min(address.connectMillis + elapsed * ConnectsPerSecond, BurstConnects * 1000);
}

void AddressBook::Forget(std::int64_t nowMs) {
    for (auto it = addresses.begin(); it != addresses.end();) {
        Refill(it->second, nowMs);
        const bool idle =
            it->second.connections == 0 && it->second.connectMillis == BurstConnects * 1000;
        it = idle ? addresses.erase(it) : std::next(it);
    }
    forgetAt = std::max<std::size_t>(64, 2 * addresses.size());
}

}  // namespace hNet
