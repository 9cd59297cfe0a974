#pragma once

#include "Endpoint.h"
#include "Platform.h"

namespace hNet {

enum class NetResult { Success = 0, GenericError = 1 };

enum class SocketOption { TcpNoDelay, Ipv6Only };

// A TCP socket handle and the IP version it was made for. A plain value: copies name
// the same platform socket, and only Close releases it.
class Socket {
  public:
    explicit Socket(IpVersion ipVersion = IpVersion::IPv4, SOCKET handle = INVALID_SOCKET)
        : ipVersion(ipVersion), handle(handle) {}

    SOCKET GetHandle() const { return handle; }
    IpVersion GetIpVersion() const { return ipVersion; }

    // Opens a non-blocking socket with no-delay on; fails on a socket that is already open.
    NetResult Create();
    NetResult Close();
    NetResult SetBlocking(bool blocking);
    NetResult SetSocketOption(SocketOption option, BOOL value);
    NetResult Bind(const Endpoint& endpoint);
    NetResult Listen(const Endpoint& endpoint, int backlog);
    // The accepted socket is non-blocking with no-delay on, like the listening one.
    // On failure both out-arguments are left as they were.
    NetResult Accept(Socket& outSocket, Endpoint* outEndpoint);
    // Blocking connect; the socket is non-blocking again afterwards.
    NetResult Connect(const Endpoint& endpoint);

  private:
    IpVersion ipVersion;
    SOCKET handle;
};

}  // namespace hNet
