#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "PacketQueue.h"
#include "Platform.h"
#include "WebSocketFrame.h"

namespace hNet {

// The client's end of a WebSocket that carries the chat's frames, as a browser's page
// speaks it: every packet goes as one binary message under a fresh mask, and the payloads
// of the server's binary messages, however they are cut, are the framed stream a terminal
// client reads. It starts with the upgrade request waiting to be sent; packets queued
// before the server has answered it wait for the answer.
class ClientWebSocket {
  public:
    ClientWebSocket(const std::string& host, std::uint16_t port,
                    const std::vector<std::string>& headerFields);

    bool Upgraded() const { return upgraded; }
    // Why the connection is to end: the upgrade was refused, the server closed the WebSocket
    // or broke its rules. Empty until then.
    const std::string& EndReason() const { return endReason; }

    // Takes from the `size` bytes the server sent at `data`: the answer to the upgrade,
    // then frames, whose payloads the stream framing cuts into packets in `incoming`. Stops
    // where the answer ends, a packet is complete or the connection is to end; how many
    // bytes it took.
    std::size_t Take(const char* data, std::size_t size, PacketQueue& incoming, char* body);
    // What is to go at once waits: a pong, a Close, or the packets held for the upgrade.
    bool SendDue() const { return sendDue; }

    // True while the request, frames, or packets that may go now wait to be sent.
    bool HasUnsent(const PacketQueue& outgoing) const {
        return !wire.empty() || (upgraded && endReason.empty() && outgoing.HasPending());
    }
    // True when only the server's answer keeps queued packets back.
    bool AwaitsAnswer(const PacketQueue& outgoing) const {
        return !upgraded && endReason.empty() && wire.empty() && outgoing.HasPending();
    }
    // Once upgraded, moves the queued packets into frames; then sends as much as the socket
    // takes. True when nothing is left to send.
    bool Send(SOCKET handle, PacketQueue& outgoing);

  private:
    std::size_t TakeAnswer(const char* data, std::size_t size);
    std::size_t TakeHead(const char* data, std::size_t size);
    std::size_t TakeControlPayload(const char* data, std::size_t size);
    std::size_t TakeDataPayload(const char* data, std::size_t size, PacketQueue& incoming,
                                char* body);
    void FinishControlFrame();
    // Ends the connection; `closeCode` (none when empty) goes back in a Close frame.
    void End(std::string reason, std::string_view closeCode);
    // Appends one final frame whose payload is `first` then `second`, under a fresh mask.
    void AppendFrame(WebSocketOpcode opcode, std::string_view first, std::string_view second);

    std::string key;
    // The answer's head as far as it came, at most MaxUpgradeAnswerBytes.
    std::string answer;
    bool upgraded = false;
    FrameReader reader{FrameReader::Peer::Server};
    // The payload of the control frame being read: at most MaxControlPayloadBytes.
    std::string controlPayload;
    // Whole frames (or the request) not yet sent, in order. It grows only by the packets the
    // owner queues, which bounds them itself, and by one pong per ping.
    std::string wire;
    bool sendDue = false;
    std::mt19937 masks;
    std::string endReason;
};

}  // namespace hNet
