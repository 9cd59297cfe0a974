#include "support/Loopback.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>

#include "Endpoint.h"
#include "LoopbackPeople.h"

namespace support {

hNet::Socket UnlistenedSocket() {
    hNet::Socket socket;
    EXPECT_EQ(socket.Create(), hNet::NetResult::Success);
    EXPECT_EQ(socket.Bind(hNet::Endpoint("127.0.0.1", 0)), hNet::NetResult::Success);
    return socket;
}

void SetBuffer(const hNet::Socket& socket, int option, int bytes) {
    setsockopt(socket.GetHandle(), SOL_SOCKET, option, reinterpret_cast<const char*>(&bytes),
               sizeof(bytes));
}

std::string NextPersonAddress() {
    static std::size_t people = 0;
    return hNet::LoopbackPerson(people++);
}

hNet::Socket ConnectClient(std::uint16_t port, int receiveBuffer, const char* from) {
    const std::string source = from != nullptr ? from : NextPersonAddress();
    hNet::Socket client;
    EXPECT_EQ(client.Create(), hNet::NetResult::Success);
    if (receiveBuffer > 0) {
        SetBuffer(client, SO_RCVBUF, receiveBuffer);
    }
    EXPECT_EQ(client.Bind(hNet::Endpoint(source.c_str(), 0)), hNet::NetResult::Success) << source;
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

bool WaitFor(SOCKET handle, short events, int timeoutMs) {
    WSAPOLLFD entry{};
    entry.fd = handle;
    entry.events = events;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

std::string ReceiveSome(const hNet::Socket& socket, int timeoutMs, std::size_t maxBytes) {
    if (!WaitFor(socket.GetHandle(), POLLRDNORM, timeoutMs)) {
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

std::size_t CountOf(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
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

std::string BodyOf(const std::shared_ptr<hNet::Packet>& packet) {
    return packet ? std::string(packet->buffer.begin(), packet->buffer.end()) : "(nothing)";
}

std::string WithoutTimes(const std::string& text) {
    return std::regex_replace(text, std::regex(R"(\[\d\d:\d\d:\d\d\])"), "[hh:mm:ss]");
}

}  // namespace support
