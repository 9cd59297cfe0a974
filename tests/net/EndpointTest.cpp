#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "Endpoint.h"

namespace {

using hNet::Endpoint;
using hNet::IpVersion;
using Bytes = std::vector<std::uint8_t>;

TEST(Endpoint, Ipv4Literals) {
    const Endpoint any("0.0.0.0", 6112);
    EXPECT_EQ(any.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(any.GetHostname(), "0.0.0.0");
    EXPECT_EQ(any.GetIpString(), "0.0.0.0");
    EXPECT_EQ(any.GetIpBytes(), Bytes({0, 0, 0, 0}));
    EXPECT_EQ(any.GetPort(), 6112);

    const sockaddr_in address = any.GetSockaddrIPv4();
    EXPECT_EQ(address.sin_family, AF_INET);
    EXPECT_EQ(ntohs(address.sin_port), 6112);
    EXPECT_EQ(address.sin_addr.s_addr, htonl(INADDR_ANY));

    // Not taken as a literal, but the lookup of the same text gives the same address.
    const Endpoint broadcast("255.255.255.255", 1);
    EXPECT_EQ(broadcast.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(broadcast.GetIpString(), "255.255.255.255");
    EXPECT_EQ(broadcast.GetIpBytes(), Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(Endpoint, Ipv6LiteralsKeepTheirForm) {
    const Endpoint loopback("::1", 7);
    EXPECT_EQ(loopback.GetIpVersion(), IpVersion::IPv6);
    EXPECT_EQ(loopback.GetHostname(), "::1");
    EXPECT_EQ(loopback.GetIpString(), "::1");
    Bytes expected(16, 0);
    expected[15] = 1;
    EXPECT_EQ(loopback.GetIpBytes(), expected);

    const Endpoint longForm("0:0:0:0:0:0:0:1", 7);
    EXPECT_EQ(longForm.GetIpString(), "0:0:0:0:0:0:0:1");
    EXPECT_EQ(longForm.GetIpBytes(), expected);

    const sockaddr_in6 address = longForm.GetSockaddrIPv6();
    EXPECT_EQ(address.sin6_family, AF_INET6);
    EXPECT_EQ(ntohs(address.sin6_port), 7);
    EXPECT_EQ(std::memcmp(&address.sin6_addr, expected.data(), 16), 0);
    EXPECT_EQ(address.sin6_flowinfo, 0u);
    EXPECT_EQ(address.sin6_scope_id, 0u);
}

// Asks the system directly, so that a fault in Endpoint cannot turn into a skip.
bool ResolvesToIpv4(const char* name) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &list) != 0) {
        return false;
    }
    freeaddrinfo(list);
    return true;
}

TEST(Endpoint, NamesResolve) {
    // Minimal images and some containers have no hosts file, and then nothing resolves it.
    if (!ResolvesToIpv4("localhost")) {
        GTEST_SKIP() << "localhost does not resolve to an IPv4 address here (no entry in the "
                        "hosts file?)";
    }
    const Endpoint local("localhost", 80);
    EXPECT_EQ(local.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(local.GetHostname(), "localhost");
    EXPECT_EQ(local.GetIpString(), "127.0.0.1");
    EXPECT_EQ(local.GetIpBytes(), Bytes({127, 0, 0, 1}));
}

TEST(Endpoint, UnresolvedNamesStayUnknown) {
    // The reserved top-level domain never resolves, so no network is needed to find that out.
    const Endpoint nowhere("no-such-host.invalid", 4242);
    EXPECT_EQ(nowhere.GetIpVersion(), IpVersion::Unknown);
    EXPECT_EQ(nowhere.GetHostname(), "");
    EXPECT_EQ(nowhere.GetIpString(), "");
    EXPECT_TRUE(nowhere.GetIpBytes().empty());
    EXPECT_EQ(nowhere.GetPort(), 4242);
    // The wrong family's address form is the wildcard, never a read past the bytes.
    EXPECT_EQ(nowhere.GetSockaddrIPv4().sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST(Endpoint, FromSocketAddresses) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(50000);
    inet_pton(AF_INET, "192.0.2.7", &peer.sin_addr);
    const Endpoint v4(reinterpret_cast<const sockaddr*>(&peer));
    EXPECT_EQ(v4.GetIpVersion(), IpVersion::IPv4);
    EXPECT_EQ(v4.GetHostname(), "192.0.2.7");
    EXPECT_EQ(v4.GetIpString(), "192.0.2.7");
    EXPECT_EQ(v4.GetIpBytes(), Bytes({0xC0, 0x00, 0x02, 0x07}));
    EXPECT_EQ(v4.GetPort(), 50000);

    sockaddr_in6 mapped{};
    mapped.sin6_family = AF_INET6;
    mapped.sin6_port = htons(1);
    inet_pton(AF_INET6, "::ffff:192.0.2.7", &mapped.sin6_addr);
    const Endpoint v6(reinterpret_cast<const sockaddr*>(&mapped));
    EXPECT_EQ(v6.GetIpVersion(), IpVersion::IPv6);
    EXPECT_EQ(v6.GetIpString(), "::ffff:192.0.2.7");
    EXPECT_EQ(v6.GetHostname(), v6.GetIpString());
    EXPECT_EQ(v6.GetIpBytes().size(), 16u);
}

TEST(Endpoint, TrimRemovesBlanksAndNulsAtBothEnds) {
    std::string text("  \t\r\n a b \v\f", 12);
    text += std::string(3, '\0');
    hNet::Trim(text);
    EXPECT_EQ(text, "a b");

    std::string blank(" \0\n", 3);
    hNet::Trim(blank);
    EXPECT_EQ(blank, "");
}

}  // namespace
