#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform.h"

namespace hNet {

enum class IpVersion : std::int32_t { Unknown = 0, IPv4 = 1, IPv6 = 2 };

// Removes C-locale white space and NUL characters from both ends, in place.
void Trim(std::string& text);

// An IP address and port. A plain value: it owns no platform resource.
class Endpoint {
  public:
    Endpoint() = default;
    // Accepts an IPv4 literal, an IPv6 literal or a host name (IPv4 answers preferred).
    // A text that resolves to nothing gives IpVersion::Unknown with the given port.
    Endpoint(const char* ip, std::uint16_t port);
    // From an address filled in by the platform; AF_INET, anything else is read as AF_INET6.
    explicit Endpoint(const sockaddr* address);

    IpVersion GetIpVersion() const { return ipVersion; }
    const std::string& GetHostname() const { return hostname; }
    const std::string& GetIpString() const { return ipString; }
    const std::vector<std::uint8_t>& GetIpBytes() const { return ipBytes; }
    std::uint16_t GetPort() const { return port; }

    sockaddr_in GetSockaddrIPv4() const;
    sockaddr_in6 GetSockaddrIPv6() const;

  private:
    IpVersion ipVersion = IpVersion::Unknown;
    std::string hostname;
    std::string ipString;
    std::vector<std::uint8_t> ipBytes;
    std::uint16_t port = 0;
};

// "[ip:port]", how console lines name a client.
std::string Describe(const Endpoint& endpoint);

// On this machine: 127.0.0.0/8 or ::1, IPv4-mapped or not.
bool IsLoopback(const Endpoint& endpoint);

}  // namespace hNet
