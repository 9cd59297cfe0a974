#include "WebSocketFraming.h"

#include <algorithm>
#include <string>

namespace hNet {

namespace {

std::string ControlFrame(WebSocketOpcode opcode, std::string_view payload) {
    std::uint8_t head[MaxFrameHeadBytes];
    const std::size_t headBytes = WriteFrameHead(head, opcode, payload.size());
    std::string frame(reinterpret_cast<const char*>(head), headBytes);
    frame += payload;
    return frame;
}

bool AtFrameBoundary(const PacketQueue& outgoing) {
    return outgoing.currentTask == PacketQueueTask::ProcessPacketSize &&
           outgoing.currentPacketExtractionOffset == 0;
}

// A recv's result as the stream framing reports it, or nothing when bytes came.
bool Failed(long result, ReceiveResult& failure) {
    if (result > 0) {
        return false;
    }
    failure = result == 0                           ? ReceiveResult::PeerClosed
              : WSAGetLastError() == WSAEWOULDBLOCK ? ReceiveResult::WouldBlock
                                                    : ReceiveResult::Failed;
    return true;
}

ReceiveResult FinishControlFrame(WebSocketState& state) {
    switch (state.reader.Opcode()) {
        case WebSocketOpcode::Close:
            // A status code takes two bytes: one alone is no code.
            return state.controlPayload.size() == 1 ? ReceiveResult::ProtocolError
                                                    : ReceiveResult::CloseFrame;
        case WebSocketOpcode::Ping:
            // A pong already on its way answers for this ping as well.
            if (state.pendingControl.empty()) {
                state.pendingControl = ControlFrame(WebSocketOpcode::Pong, state.controlPayload);
            }
            return ReceiveResult::Progress;
        default:
            return ReceiveResult::Progress;
    }
}

ReceiveResult ReceiveHead(SOCKET handle, WebSocketState& state, std::uint32_t& received) {
    FrameReader& reader = state.reader;
    const auto result = recv(handle, reinterpret_cast<char*>(reader.HeadWindow()),
                             static_cast<int>(reader.HeadMissing()), 0);
    ReceiveResult failure{};
    if (Failed(result, failure)) {
        return failure;
    }
    received = static_cast<std::uint32_t>(result);
    switch (reader.CommitHead(received)) {
        case FrameResult::Incomplete:
            return ReceiveResult::Progress;
        case FrameResult::Violation:
            return ReceiveResult::ProtocolError;
        case FrameResult::Complete:
            break;
    }
    if (reader.MessageOpcode() == WebSocketOpcode::Text && !IsControl(reader.Opcode())) {
        return ReceiveResult::TextMessage;
    }
    if (IsControl(reader.Opcode())) {
        state.controlPayload.clear();
        if (reader.PayloadLeft() == 0) {
            return FinishControlFrame(state);
        }
    }
    return ReceiveResult::Progress;
}

ReceiveResult ReceiveControlPayload(SOCKET handle, WebSocketState& state, std::uint32_t& received) {
    char payload[MaxControlPayloadBytes];
    const auto result = recv(handle, payload, static_cast<int>(state.reader.PayloadLeft()), 0);
    ReceiveResult failure{};
    if (Failed(result, failure)) {
        return failure;
    }
    received = static_cast<std::uint32_t>(result);
    const FrameResult frame = state.reader.CommitPayload(payload, received);
    state.controlPayload.append(payload, received);
    return frame == FrameResult::Complete ? FinishControlFrame(state) : ReceiveResult::Progress;
}

ReceiveResult ReceiveDataPayload(SOCKET handle, WebSocketState& state, PacketQueue& incoming,
                                 char* receiveBuffer, std::uint32_t& received) {
    const FieldWindow window = NextReceiveWindow(incoming, receiveBuffer);
    const auto length = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(window.length, state.reader.PayloadLeft()));
    const auto result = recv(handle, window.data, static_cast<int>(length), 0);
    ReceiveResult failure{};
    if (Failed(result, failure)) {
        return failure;
    }
    received = static_cast<std::uint32_t>(result);
    state.reader.CommitPayload(window.data, received);
    return CommitReceived(incoming, receiveBuffer, received);
}

// Sends what is left of the waiting control frames; true when none are left.
bool SendPendingControl(SOCKET handle, WebSocketState& state) {
    if (state.pendingControl.empty()) {
        return true;
    }
    const IoSlice slice = SliceOf(state.pendingControl.data(), state.pendingControl.size());
    const long sent = SendGather(handle, &slice, 1);
    if (sent > 0) {
        state.pendingControl.erase(0, static_cast<std::size_t>(sent));
    }
    return state.pendingControl.empty();
}

}  // namespace

ReceiveResult ReceiveWebSocketField(SOCKET handle, WebSocketState& state, PacketQueue& incoming,
                                    char* receiveBuffer, std::uint32_t& received) {
    received = 0;
    if (state.reader.InHead()) {
        return ReceiveHead(handle, state, received);
    }
    if (IsControl(state.reader.Opcode())) {
        return ReceiveControlPayload(handle, state, received);
    }
    return ReceiveDataPayload(handle, state, incoming, receiveBuffer, received);
}

bool SendToBrowser(SOCKET handle, WebSocketState& state, PacketQueue& outgoing) {
    const bool control = !state.pendingControl.empty();
    if (control && AtFrameBoundary(outgoing) && !SendPendingControl(handle, state)) {
        return false;
    }
    return SendQueued(handle, outgoing, Wire::WebSocket) &&
           (state.pendingControl.empty() || SendPendingControl(handle, state));
}

void SendClose(SOCKET handle, WebSocketState& state, const PacketQueue& outgoing,
               const WebSocketCloseCode* code) {
    if (!AtFrameBoundary(outgoing)) {
        return;
    }
    const std::string payload =
        code != nullptr ? CloseCodeBytes(*code) : state.controlPayload.substr(0, 2);
    state.pendingControl += ControlFrame(WebSocketOpcode::Close, payload);
    SendPendingControl(handle, state);
}

}  // namespace hNet
