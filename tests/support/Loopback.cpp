#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>

#include "Endpoint.h"

namespace support {

namespace {

bool WaitReadable(const hNet::Socket& socket, int timeoutMs) {
    WSAPOLLFD entry{};
    entry.fd = socket.GetHandle();
    entry.events = POLLRDNORM;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

}  // namespace

std::uint16_t FreePort() {
    hNet::Socket probe;
    EXPECT_EQ(probe.Create(), hNet::NetResult::Success);
    EXPECT_EQ(probe.Bind(hNet::Endpoint("127.0.0.1", 0)), hNet::NetResult::Success);
    sockaddr_in bound{};
    socklen_t length = sizeof(bound);
    getsockname(probe.GetHandle(), reinterpret_cast<sockaddr*>(&bound), &length);
    probe.Close();
    return ntohs(bound.sin_port);
}

hNet::Socket ConnectClient(std::uint16_t port, int receiveBuffer) {
    hNet::Socket client;
    EXPECT_EQ(client.Create(), hNet::NetResult::Success);
    if (receiveBuffer > 0) {
        setsockopt(client.GetHandle(), SOL_SOCKET, SO_RCVBUF,
                   reinterpret_cast<const char*>(&receiveBuffer), sizeof(receiveBuffer));
    }
    EXPECT_EQ(client.Connect(hNet::Endpoint("127.0.0.1", port)), hNet::NetResult::Success);
    EXPECT_EQ(client.SetBlocking(true), hNet::NetResult::Success);
    return client;
}

void SendAll(const hNet::Socket& socket, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const auto result =
            send(socket.GetHandle(), bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        ASSERT_GT(result, 0) << "send failed";
        sent += static_cast<std::size_t>(result);
    }
}

std::string ReceiveSome(const hNet::Socket& socket, int timeoutMs, std::size_t maxBytes) {
    if (!WaitReadable(socket, timeoutMs)) {
        return {};
    }
    std::string bytes(maxBytes, '\0');
    const auto result = recv(socket.GetHandle(), bytes.data(), static_cast<int>(maxBytes), 0);
    bytes.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
    return bytes;
}

std::string ReceiveExactly(const hNet::Socket& socket, std::size_t count, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string bytes;
    while (bytes.size() < count && Clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        const std::string piece =
            ReceiveSome(socket, static_cast<int>(left.count()) + 1, count - bytes.size());
        if (piece.empty()) {
            break;
        }
        bytes += piece;
    }
    return bytes;
}

void ResetAndClose(hNet::Socket& socket) {
    linger option{};
    option.l_onoff = 1;
    option.l_linger = 0;
    setsockopt(socket.GetHandle(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&option),
               sizeof(option));
    socket.Close();
}

std::string Frame(const std::string& body) {
    std::string frame;
    frame += static_cast<char>((body.size() >> 8) & 0xFF);
    frame += static_cast<char>(body.size() & 0xFF);
    return frame + body;
}

std::string Frame(const std::vector<char>& body) {
    return Frame(std::string(body.begin(), body.end()));
}

}  // namespace support
