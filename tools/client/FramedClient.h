#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ClientWebSocket.h"
#include "Packet.h"
#include "PacketQueue.h"
#include "Socket.h"
#include "WireFormat.h"

namespace hNet {

struct ConnectOptions {
    // The address to connect from; empty leaves it to the system.
    std::string sourceAddress;
    // Connect as a browser does, to the web port: the packets then travel inside a WebSocket.
    bool webSocket = false;
    // More fields for the upgrade request, "Name: value" each, such as X-Forwarded-For.
    std::vector<std::string> headerFields;
};

// The client side of the stream framing, shared by every program and test that talks
// to the server. Reads in bulk and cuts the bytes into packets with the server's own
// framing code.
class FramedClient {
  public:
    // On failure `error` says why, in words for a person. Through a WebSocket it returns
    // once the upgrade request is sent: the server's answer is checked as it is read, and a
    // refusal closes the connection with the reason in CloseReason. Packets queued
    // meanwhile go once the upgrade is accepted.
    bool Connect(const std::string& host, std::uint16_t port, std::string& error,
                 const ConnectOptions& options = {});
    void Close();
    bool IsOpen() const { return socket.GetHandle() != INVALID_SOCKET; }
    SOCKET Handle() const { return socket.GetHandle(); }
    // Why the connection ended, once it has.
    const std::string& CloseReason() const { return closeReason; }

    // Queues the packet and sends what the socket takes now; Flush sends the rest.
    void Queue(std::shared_ptr<Packet> packet);
    // Queues the packet without sending it, so that one Flush sends several together.
    void Stage(std::shared_ptr<Packet> packet) { outgoing.Append(std::move(packet)); }
    // True when nothing is left queued; waits at most timeoutMs for the socket to take it.
    bool Flush(int timeoutMs);
    // Queue and Flush in one; false when the packet could not be sent in time.
    bool Send(std::shared_ptr<Packet> packet, int timeoutMs = 5000);
    bool HasUnsent() const {
        return webSocket ? webSocket->HasUnsent(outgoing) : outgoing.HasPending();
    }

    // The next packet from the server, waiting at most timeoutMs; null on time-out or
    // when the connection has ended (see IsOpen).
    std::shared_ptr<Packet> Receive(int timeoutMs);
    // The next packet if one can be had without waiting.
    std::shared_ptr<Packet> Poll() { return Receive(0); }

    // For callers that wait on Handle() themselves: one read of what the socket holds, once
    // the packets of the last read are all taken; TakeBuffered hands them out.
    void ReadReady() {
        if (IsOpen() && readStart == readEnd) {
            ReadAvailable();
        }
    }
    // The next packet complete in what has been read, or null; never touches the socket.
    std::shared_ptr<Packet> TakeBuffered();

  private:
    bool BindSource(const std::string& address, IpVersion version, std::string& error);
    // Sends what the socket takes now; true when nothing is left queued.
    bool SendPending();
    bool ReadAvailable();
    // Takes the next part of what has been read: a field of the stream framing, or through
    // a WebSocket, a frame's head or payload or the upgrade's answer.
    void TakeNextPart();
    void Fail(std::string reason);

    Socket socket;
    // Set while the connection is a WebSocket.
    std::optional<ClientWebSocket> webSocket;
    PacketQueue incoming;
    PacketQueue outgoing;
    std::array<char, MaxPacketSize> body{};
    std::vector<char> readBuffer = std::vector<char>(64 * 1024);
    std::size_t readStart = 0;
    std::size_t readEnd = 0;
    std::string closeReason;
};

}  // namespace hNet
