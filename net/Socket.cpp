#include "Socket.h"

namespace hNet {

namespace {

int FamilyOf(IpVersion ipVersion) {
    return ipVersion == IpVersion::IPv4 ? AF_INET : AF_INET6;
}

NetResult ResultOf(bool ok) {
    return ok ? NetResult::Success : NetResult::GenericError;
}

// Calls `call` with the endpoint's address in the form the socket's family needs.
template <typename Call>
int WithAddress(IpVersion ipVersion, const Endpoint& endpoint, Call call) {
    if (ipVersion == IpVersion::IPv4) {
        const sockaddr_in address = endpoint.GetSockaddrIPv4();
        return call(reinterpret_cast<const sockaddr*>(&address), socklen_t{sizeof(address)});
    }
    const sockaddr_in6 address = endpoint.GetSockaddrIPv6();
    return call(reinterpret_cast<const sockaddr*>(&address), socklen_t{sizeof(address)});
}

}  // namespace

NetResult Socket::Create() {
    if (handle != INVALID_SOCKET) {
        return NetResult::GenericError;
    }
    handle = socket(FamilyOf(ipVersion), SOCK_STREAM, IPPROTO_TCP);
    if (handle == INVALID_SOCKET) {
        return NetResult::GenericError;
    }
    if (SetBlocking(false) != NetResult::Success) {
        return NetResult::GenericError;
    }
    return SetSocketOption(SocketOption::TcpNoDelay, 1);
}

NetResult Socket::Close() {
    if (handle == INVALID_SOCKET) {
        return NetResult::GenericError;
    }
    if (closesocket(handle) != 0) {
        return NetResult::GenericError;
    }
    handle = INVALID_SOCKET;
    return NetResult::Success;
}

NetResult Socket::SetBlocking(bool blocking) {
    unsigned long nonBlocking = blocking ? 0 : 1;
    return ResultOf(ioctlsocket(handle, FIONBIO, &nonBlocking) != SOCKET_ERROR);
}

NetResult Socket::SetSocketOption(SocketOption option, BOOL value) {
    const int level = option == SocketOption::TcpNoDelay ? IPPROTO_TCP : IPPROTO_IPV6;
    const int name = option == SocketOption::TcpNoDelay ? TCP_NODELAY : IPV6_V6ONLY;
    return ResultOf(
        setsockopt(handle, level, name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0);
}

NetResult Socket::Bind(const Endpoint& endpoint) {
    const int result =
        WithAddress(ipVersion, endpoint, [this](const sockaddr* address, socklen_t length) {
            return bind(handle, address, length);
        });
    return ResultOf(result == 0);
}

NetResult Socket::Listen(const Endpoint& endpoint, int backlog) {
    if (ipVersion == IpVersion::IPv6 &&
        SetSocketOption(SocketOption::Ipv6Only, 0) != NetResult::Success) {
        return NetResult::GenericError;
    }
    if (!AllowPortReuse(handle) || Bind(endpoint) != NetResult::Success) {
        return NetResult::GenericError;
    }
    return ResultOf(listen(handle, backlog) == 0);
}

NetResult Socket::Accept(Socket& outSocket, Endpoint* outEndpoint) {
    sockaddr_storage address{};
    socklen_t length = ipVersion == IpVersion::IPv4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    const SOCKET accepted = accept(handle, reinterpret_cast<sockaddr*>(&address), &length);
    if (accepted == INVALID_SOCKET) {
        return NetResult::GenericError;
    }
    // Not every platform passes the listening socket's mode on to the accepted one.
    Socket client(ipVersion == IpVersion::IPv4 ? IpVersion::IPv4 : IpVersion::IPv6, accepted);
    if (client.SetBlocking(false) != NetResult::Success ||
        client.SetSocketOption(SocketOption::TcpNoDelay, 1) != NetResult::Success) {
        client.Close();
        return NetResult::GenericError;
    }
    if (outEndpoint != nullptr) {
        *outEndpoint = Endpoint(reinterpret_cast<const sockaddr*>(&address));
    }
    outSocket = client;
    return NetResult::Success;
}

NetResult Socket::Connect(const Endpoint& endpoint) {
    if (SetBlocking(true) != NetResult::Success) {
        return NetResult::GenericError;
    }
    const int result =
        WithAddress(ipVersion, endpoint, [this](const sockaddr* address, socklen_t length) {
            return connect(handle, address, length);
        });
    if (result != 0) {
        return NetResult::GenericError;  // the platform's error stays readable for a message
    }
    return SetBlocking(false);
}

}  // namespace hNet
