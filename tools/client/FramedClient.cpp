#include "FramedClient.h"

#include <algorithm>
#include <chrono>
#include <cstring>

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

bool FramedClient::Connect(const std::string& host, std::uint16_t port, std::string& error) {
    const Endpoint endpoint(host.c_str(), port);
    if (endpoint.GetIpVersion() == IpVersion::Unknown) {
        error = "unknown host";
        return false;
    }
    socket = Socket(endpoint.GetIpVersion());
    if (socket.Create() != NetResult::Success || socket.Connect(endpoint) != NetResult::Success) {
        error = LastSocketErrorText();
        socket.Close();
        return false;
    }
    closeReason.clear();
    return true;
}

void FramedClient::Close() {
    socket.Close();
    incoming = PacketQueue();
    outgoing = PacketQueue();
    readStart = readEnd = 0;
}

void FramedClient::Fail(std::string reason) {
    closeReason = std::move(reason);
    Close();
}

void FramedClient::Queue(std::shared_ptr<Packet> packet) {
    Stage(std::move(packet));
    if (IsOpen()) {
        SendQueued(socket.GetHandle(), outgoing);
    }
}

bool FramedClient::Flush(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (IsOpen() && !SendQueued(socket.GetHandle(), outgoing)) {
        const int left = RemainingMs(deadline);
        if (left == 0 || !WaitFor(socket.GetHandle(), POLLWRNORM, left)) {
            return false;
        }
    }
    return IsOpen();
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
        const FieldWindow window = NextReceiveWindow(incoming, body.data());
        const auto count =
            static_cast<std::uint32_t>(std::min<std::size_t>(window.length, readEnd - readStart));
        std::memcpy(window.data, readBuffer.data() + readStart, count);
        readStart += count;
        const ReceiveResult result = CommitReceived(incoming, body.data(), count);
        if (result == ReceiveResult::TooLarge || result == ReceiveResult::TooSmall) {
            Fail("the server sent a malformed frame");
        }
    }
    if (!incoming.HasPending()) {
        return nullptr;
    }
    auto packet = incoming.Front();
    incoming.Pop();
    return packet;
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
