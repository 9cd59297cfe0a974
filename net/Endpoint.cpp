#include "Endpoint.h"

#include <algorithm>
#include <cstring>

namespace hNet {

namespace {

bool IsTrimmed(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r' || c == '\0';
}

template <typename Address>
std::vector<std::uint8_t> BytesOf(const Address& address) {
    const auto* first = reinterpret_cast<const std::uint8_t*>(&address);
    return {first, first + sizeof(address)};
}

// inet_ntop into a NUL-filled string of the given capacity; Trim removes the fill.
template <typename Address>
std::string PresentationOf(int family, const Address& address, std::size_t capacity) {
    std::string text(capacity, '\0');
    inet_ntop(family, &address, text.data(), static_cast<socklen_t>(capacity));
    return text;
}

template <typename Sockaddr>
const Sockaddr* FirstAnswer(const char* name, int family, addrinfo*& list) {
    addrinfo hints{};
    hints.ai_family = family;
    list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<const Sockaddr*>(list->ai_addr);
}

// The socket address with the endpoint's address bytes in `field`. Bytes of the other
// family leave the wildcard address there rather than a read past their end.
template <typename Address, typename Ip>
Address WithAddressBytes(Address address, Ip Address::*field,
                         const std::vector<std::uint8_t>& bytes) {
    if (bytes.size() == sizeof(Ip)) {
        std::memcpy(&(address.*field), bytes.data(), bytes.size());
    }
    return address;
}

}  // namespace

void Trim(std::string& text) {
    const auto last = std::find_if_not(text.rbegin(), text.rend(), IsTrimmed).base();
    text.erase(last, text.end());
    const auto first = std::find_if_not(text.begin(), text.end(), IsTrimmed);
    text.erase(text.begin(), first);
}

Endpoint::Endpoint(const char* ip, std::uint16_t port) : port(port) {
    in_addr address4{};
    // The all-ones address is not taken as a literal; the lookup below yields the same bytes.
    if (inet_pton(AF_INET, ip, &address4) == 1 && address4.s_addr != INADDR_NONE) {
        hostname = ipString = ip;
        ipBytes = BytesOf(address4);
        ipVersion = IpVersion::IPv4;
    } else if (addrinfo * list; const auto* found = FirstAnswer<sockaddr_in>(ip, AF_INET, list)) {
        ipString = PresentationOf(AF_INET, found->sin_addr, 16);
        hostname = ip;
        ipBytes = BytesOf(found->sin_addr);
        ipVersion = IpVersion::IPv4;
        freeaddrinfo(list);
    } else if (in6_addr address6{}; inet_pton(AF_INET6, ip, &address6) == 1) {
        hostname = ipString = ip;
        ipBytes = BytesOf(address6);
        ipVersion = IpVersion::IPv6;
    } else if (const auto* found6 = FirstAnswer<sockaddr_in6>(ip, AF_INET6, list)) {
        ipString = PresentationOf(AF_INET6, found6->sin6_addr, 46);
        hostname = ip;
        ipBytes = BytesOf(found6->sin6_addr);
        ipVersion = IpVersion::IPv6;
        freeaddrinfo(list);
    } else {
        return;
    }
    Trim(hostname);
    Trim(ipString);
}

Endpoint::Endpoint(const sockaddr* address) {
    if (address->sa_family == AF_INET) {
        const auto* address4 = reinterpret_cast<const sockaddr_in*>(address);
        ipVersion = IpVersion::IPv4;
        port = ntohs(address4->sin_port);
        ipBytes = BytesOf(address4->sin_addr);
        ipString = PresentationOf(AF_INET, address4->sin_addr, 16);
    } else {
        const auto* address6 = reinterpret_cast<const sockaddr_in6*>(address);
        ipVersion = IpVersion::IPv6;
        port = ntohs(address6->sin6_port);
        ipBytes = BytesOf(address6->sin6_addr);
        ipString = PresentationOf(AF_INET6, address6->sin6_addr, 46);
    }
    hostname = ipString;
    Trim(hostname);
    Trim(ipString);
}

sockaddr_in Endpoint::GetSockaddrIPv4() const {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    return WithAddressBytes(address, &sockaddr_in::sin_addr, ipBytes);
}

sockaddr_in6 Endpoint::GetSockaddrIPv6() const {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    return WithAddressBytes(address, &sockaddr_in6::sin6_addr, ipBytes);
}

std::string Describe(const Endpoint& endpoint) {
    return "[" + endpoint.GetIpString() + ":" + std::to_string(endpoint.GetPort()) + "]";
}

bool IsLoopback(const Endpoint& endpoint) {
    const std::vector<std::uint8_t>& bytes = endpoint.GetIpBytes();
    if (endpoint.GetIpVersion() == IpVersion::IPv4) {
        return bytes.size() == 4 && bytes[0] == 127;
    }
    if (bytes.size() != 16) {
        return false;
    }
    static constexpr std::uint8_t Loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static constexpr std::uint8_t Mapped4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::equal(bytes.begin(), bytes.end(), Loopback6) ||
           (std::equal(bytes.begin(), bytes.begin() + 12, Mapped4) && bytes[12] == 127);
}

}  // namespace hNet
