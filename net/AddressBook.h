#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "Endpoint.h"
#include "ReceiveBudget.h"

namespace hNet {

// Who a connection counts as for the limits per address: an IPv4 address, or the /64 of
// an IPv6 one, which is what one subscriber's network gets.
struct AddressKey {
    std::uint64_t high = 0;
    std::uint64_t low = 0;
    bool operator==(const AddressKey& other) const {
        return high == other.high && low == other.low;
    }
};

AddressKey AddressKeyOf(const Endpoint& endpoint);

// The connections from each address, how fast new ones came, and the receive budget they
// all draw on, so that opening more connections buys no more room: a crowd behind one
// NAT gets what it needs, one attacker no more than that crowd.
class AddressBook {
  public:
    // At most this many connections at once from one address.
    static constexpr std::size_t MaxConnections = 32;
    // New connections from one address: a burst of this many, then this many a second.
    static constexpr std::int64_t BurstConnects = 16;
    static constexpr std::int64_t ConnectsPerSecond = 2;

    enum class Admission { Admitted, TooMany, TooFast };

    // Whether a new connection from the endpoint's address may join; one that may not
    // costs nothing.
    Admission Check(const Endpoint& endpoint, std::int64_t nowMs);
    // Counts a new connection from the endpoint's address; the receive budget that all of
    // the address's connections draw on.
    std::shared_ptr<ReceiveBudget> Join(const Endpoint& endpoint, std::int64_t nowMs);
    // A connection that joined has gone.
    void Leave(const Endpoint& endpoint);
    // Addresses known, with connections or with new ones too recent to forget.
    std::size_t Size() const { return addresses.size(); }

  private:
    struct KeyHash {
        std::size_t operator()(const AddressKey& key) const {
            return std::hash<std::uint64_t>()(key.high * 0x9E3779B97F4A7C15u ^ key.low);
        }
    };

    struct Address {
        std::size_t connections = 0;
        // In thousandths of a connect, so that a millisecond's refill is a whole number.
        std::int64_t connectMillis = BurstConnects * 1000;
        std::int64_t refilledMs = 0;
        std::shared_ptr<ReceiveBudget> budget = std::make_shared<ReceiveBudget>();
    };

    Address& Find(const Endpoint& endpoint, std::int64_t nowMs);
    void Refill(Address& address, std::int64_t nowMs) const;
    // Drops the addresses with no connection whose burst has refilled: they would be made
    // again just the same. Runs when the book has doubled since the last time, so that it
    // costs little per connect and the book stays within twice what it must remember.
    void Forget(std::int64_t nowMs);

    std::unordered_map<AddressKey, Address, KeyHash> addresses;
    std::size_t forgetAt = 64;
};

}  // namespace hNet
