#include "FramedClient.h"

#include <algorithm>
#include <chrono>

#include "Endpoint.h"
#include "StreamFraming.h"

namespace hNet {

namespace {

using Clock = std::chrono::steady_clock;

// Waits for the given poll events; true when they were reported in time.
bool WaitFor(SOCKET handle, short events, int timeoutMs) {
    WSAPOLLFD entry{};
    entry.fd = handle;
    entry.events = events;
    return WSAPoll(&entry, 1, timeoutMs) > 0;
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::max<long long>(left, 0));
}

}  // namespace

bool FramedClient::Connect(const std::string& host, std::uint16_t port, std::string& error,
                           const ConnectOptions& options) {
    for (const std::string& field : options.headerFields) {
        if (field.find_first_of("\r\n") != std::string::npos) {
            error = "a header field cannot hold a line break";
            return false;
        }
    }
    const Endpoint endpoint(host.c_str(), port);
    if (endpoint.GetIpVersion() == IpVersion::Unknown) {
        error = "unknown host";
        return false;
    }
    socket = Socket(endpoint.GetIpVersion());
    std::string bindError;
    if (socket.Create() != NetResult::Success ||
        !BindSource(options.sourceAddress, endpoint.GetIpVersion(), bindError) ||
        socket.Connect(endpoint) != NetResult::Success) {
        error = bindError.empty() ? LastSocketErrorText() : bindError;
        socket.Close();
        return false;
    }
    closeReason.clear();
    webSocket.reset();
    if (options.webSocket) {
        webSocket.emplace(host, port, options.headerFields);
        // A fresh socket's buffer takes the whole request at once.
        SendPending();
    }
    return true;
}

bool FramedClient::BindSource(const std::string& address, IpVersion version, std::string& error) {
    if (address.empty()) {
        return true;
    }
    const Endpoint source(address.c_str(), 0);
    if (source.GetIpVersion() != version || socket.Bind(source) != NetResult::Success) {
        error = "cannot connect from " + address + ": " +
                (source.GetIpVersion() != version ? "not an address of the server's family"
                                                  : LastSocketErrorText());
        return false;
    }
    return true;
}

void FramedClient::Close() {
    socket.Close();
    incoming = PacketQueue();
    outgoing = PacketQueue();
    readStart = readEnd = 0;
    webSocket.reset();
}

void FramedClient::Fail(std::string reason) {
    closeReason = std::move(reason);
    Close();
}

void FramedClient::Queue(std::shared_ptr<Packet> packet) {
    Stage(std::move(packet));
    if (IsOpen()) {
        SendPending();
    }
}

bool FramedClient::Flush(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsOpen() && !SendPending()) {
        // Packets queued during the upgrade wait for its answer, which is read here.
        const bool awaitingAnswer = webSocket && webSocket->AwaitsAnswer(outgoing);
        const int left = RemainingMs(deadline);
        if (left == 0 ||
            !WaitFor(socket.GetHandle(), awaitingAnswer ? POLLRDNORM : POLLWRNORM, left)) {
            return false;
        }
        if (awaitingAnswer) {
            ReadReady();
            while (IsOpen() && readStart < readEnd && !webSocket->Upgraded()) {
                TakeNextPart();
            }
        }
    }
    return IsOpen();
}

bool FramedClient::SendPending() {
    return webSocket ? webSocket->Send(socket.GetHandle(), outgoing)
                     : SendQueued(socket.GetHandle(), outgoing);
}

bool FramedClient::Send(std::shared_ptr<Packet> packet, int timeoutMs) {
    Queue(std::move(packet));
    return Flush(timeoutMs);
}

std::shared_ptr<Packet> FramedClient::Receive(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (auto packet = TakeBuffered()) {
            return packet;
        }
        if (IsOpen() && ReadAvailable()) {
            continue;
        }
        // Waiting only after a read came back empty spares a poll call per read.
        const int left = RemainingMs(deadline);
        if (!IsOpen() || left == 0 || !WaitFor(socket.GetHandle(), POLLRDNORM, left)) {
            return nullptr;
        }
    }
}

// Feeds buffered bytes through the framing until a packet is complete or the bytes run out.
std::shared_ptr<Packet> FramedClient::TakeBuffered() {
    while (!incoming.HasPending() && readStart < readEnd && IsOpen()) {
        TakeNextPart();
    }
    if (!incoming.HasPending()) {
        return nullptr;
    }
    auto packet = incoming.Front();
    incoming.Pop();
    return packet;
}

void FramedClient::TakeNextPart() {
    const char* data = readBuffer.data() + readStart;
    const std::size_t size = readEnd - readStart;
    if (!webSocket) {
        std::uint32_t taken = 0;
        const ReceiveResult result = TakeReceived(incoming, body.data(), data, size, taken);
        readStart += taken;
        if (result == ReceiveResult::TooLarge || result == ReceiveResult::TooSmall) {
            Fail("the server sent a malformed frame");
        }
        return;
    }
    readStart += webSocket->Take(data, size, incoming, body.data());
    if (webSocket->SendDue()) {
        SendPending();
    }
    if (!webSocket->EndReason().empty()) {
        Fail(webSocket->EndReason());
    }
}

// One bulk read without waiting; false when nothing came.
bool FramedClient::ReadAvailable() {
    const auto received =
        recv(socket.GetHandle(), readBuffer.data(), static_cast<int>(readBuffer.size()), 0);
    if (received == 0) {
        Fail("the server closed the connection");
        return false;
    }
    if (received == SOCKET_ERROR) {
        if (WSAGetLastError() != WSAEWOULDBLOCK) {
            Fail("the connection broke: " + LastSocketErrorText());
        }
        return false;
    }
    readStart = 0;
    readEnd = static_cast<std::size_t>(received);
    return true;
}

}  // namespace hNet
