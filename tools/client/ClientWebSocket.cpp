#include "ClientWebSocket.h"

#include <algorithm>
#include <cstring>

#include "StreamFraming.h"
#include "WebSocketUpgrade.h"

namespace hNet {

namespace {

constexpr std::string_view HeadEnd = "\r\n\r\n";

}  // namespace

ClientWebSocket::ClientWebSocket(const std::string& host, std::uint16_t port,
                                 const std::vector<std::string>& headerFields)
    : key(NewWebSocketKey()),
      wire(UpgradeRequest(host, port, key, headerFields)),
      masks(std::random_device()()) {}

std::size_t ClientWebSocket::Take(const char* data, std::size_t size, PacketQueue& incoming,
                                  char* body) {
    if (!upgraded) {
        return TakeAnswer(data, size);
    }
    if (reader.InHead()) {
        return TakeHead(data, size);
    }
    if (IsControl(reader.Opcode())) {
        return TakeControlPayload(data, size);
    }
    return TakeDataPayload(data, size, incoming, body);
}

std::size_t ClientWebSocket::TakeAnswer(const char* data, std::size_t size) {
    const std::size_t before = answer.size();
    answer.append(data, std::min(size, MaxUpgradeAnswerBytes - before));
    // The blank line may have begun in an earlier piece.
    const auto end = answer.find(HeadEnd, before < HeadEnd.size() ? 0 : before - HeadEnd.size());
    if (end == std::string::npos) {
        if (answer.size() == MaxUpgradeAnswerBytes) {
            End("the server's answer to the upgrade is too long", {});
        }
        return answer.size() - before;
    }
    const std::size_t headBytes = end + HeadEnd.size();
    answer.resize(headBytes);
    std::string problem = CheckUpgradeAnswer(answer, key);
    if (problem.empty()) {
        upgraded = true;
        sendDue = true;
    } else {
        End(std::move(problem), {});
    }
    answer = std::string();
    return headBytes - before;
}

std::size_t ClientWebSocket::TakeHead(const char* data, std::size_t size) {
    const std::size_t count = std::min(size, reader.HeadMissing());
    std::memcpy(reader.HeadWindow(), data, count);
    switch (reader.CommitHead(count)) {
        case FrameResult::Incomplete:
            return count;
        case FrameResult::Violation:
            End("the server broke the WebSocket protocol",
                CloseCodeBytes(WebSocketCloseCode::ProtocolError));
            return count;
        case FrameResult::Complete:
            break;
    }
    if (IsControl(reader.Opcode())) {
        controlPayload.clear();
        if (reader.PayloadLeft() == 0) {
            FinishControlFrame();
        }
    } else if (reader.MessageOpcode() == WebSocketOpcode::Text) {
        End("the server sent a text message", CloseCodeBytes(WebSocketCloseCode::UnsupportedData));
    }
    return count;
}

std::size_t ClientWebSocket::TakeControlPayload(const char* data, std::size_t size) {
    const auto count =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, reader.PayloadLeft()));
    const std::size_t at = controlPayload.size();
    controlPayload.append(data, count);
    if (reader.CommitPayload(controlPayload.data() + at, count) == FrameResult::Complete) {
        FinishControlFrame();
    }
    return count;
}

std::size_t ClientWebSocket::TakeDataPayload(const char* data, std::size_t size,
                                             PacketQueue& incoming, char* body) {
    char* const window = NextReceiveWindow(incoming, body).data;
    std::uint32_t taken = 0;
    const ReceiveResult result = TakeReceived(
        incoming, body, data, std::min<std::uint64_t>(size, reader.PayloadLeft()), taken);
    reader.CommitPayload(window, taken);
    if (result == ReceiveResult::TooLarge || result == ReceiveResult::TooSmall) {
        End("the server sent a malformed frame", CloseCodeBytes(WebSocketCloseCode::ProtocolError));
    }
    return taken;
}

void ClientWebSocket::FinishControlFrame() {
    switch (reader.Opcode()) {
        case WebSocketOpcode::Ping:
            AppendFrame(WebSocketOpcode::Pong, controlPayload, {});
            sendDue = true;
            break;
        case WebSocketOpcode::Close: {
            // The code is the payload's first two bytes; the text behind it is not shown.
            const std::string_view code = std::string_view(controlPayload).substr(0, 2);
            const std::string said =
                code.size() < 2
                    ? "without a code"
                    : "with code " + std::to_string(static_cast<std::uint8_t>(code[0]) << 8 |
                                                    static_cast<std::uint8_t>(code[1]));
            End("the server closed the WebSocket " + said, code);
            break;
        }
        default:
            break;
    }
}

void ClientWebSocket::End(std::string reason, std::string_view closeCode) {
    endReason = std::move(reason);
    if (upgraded) {
        AppendFrame(WebSocketOpcode::Close, closeCode, {});
        sendDue = true;
    }
}

void ClientWebSocket::AppendFrame(WebSocketOpcode opcode, std::string_view first,
                                  std::string_view second) {
    const std::uint32_t bits = masks();
    const WebSocketMask mask = {
        static_cast<std::uint8_t>(bits >> 24), static_cast<std::uint8_t>(bits >> 16),
        static_cast<std::uint8_t>(bits >> 8), static_cast<std::uint8_t>(bits)};
    std::uint8_t head[MaxFrameHeadBytes];
    const std::size_t headBytes = WriteFrameHead(head, opcode, first.size() + second.size(), &mask);
    wire.append(reinterpret_cast<const char*>(head), headBytes);
    const std::size_t payloadAt = wire.size();
    wire += first;
    wire += second;
    ApplyMask(wire.data() + payloadAt, wire.size() - payloadAt, mask, 0);
}

bool ClientWebSocket::Send(SOCKET handle, PacketQueue& outgoing) {
    for (; upgraded && endReason.empty() && outgoing.HasPending(); outgoing.Pop()) {
        const Packet& packet = *outgoing.Front();
        const std::uint16_t prefix = htons(static_cast<std::uint16_t>(packet.buffer.size()));
        AppendFrame(WebSocketOpcode::Binary,
                    {reinterpret_cast<const char*>(&prefix), sizeof(prefix)},
                    {packet.buffer.data(), packet.buffer.size()});
    }
    sendDue = false;
    if (!wire.empty()) {
        const IoSlice slice = SliceOf(wire.data(), wire.size());
        const long sent = SendGather(handle, &slice, 1);
        wire.erase(0, sent > 0 ? static_cast<std::size_t>(sent) : 0);
    }
    return wire.empty() && !outgoing.HasPending();
}

}  // namespace hNet
