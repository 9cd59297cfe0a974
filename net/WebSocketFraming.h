#pragma once

#include <cstdint>
#include <string_view>

#include "PacketQueue.h"
#include "Platform.h"
#include "StreamFraming.h"
#include "WebSocketFrame.h"
#include "WebSocketState.h"

namespace hNet {

// A browser speaks the stream framing inside WebSocket frames: the payloads of its binary
// frames, however they are cut, are the bytes a terminal client would send.

// One recv of at most the rest of the current part: a frame's head, a control frame's
// payload, or as much of a data frame's payload as the stream framing's current field
// lacks. A ping leaves its pong in `pendingControl`.
ReceiveResult ReceiveWebSocketField(SOCKET handle, WebSocketState& state, PacketQueue& incoming,
                                    char* receiveBuffer, std::uint32_t& received);

// Sends the waiting control frames and the queued packets, each packet as one binary
// message, without ever cutting into a frame; true when nothing is left to send.
bool SendToBrowser(SOCKET handle, WebSocketState& state, PacketQueue& outgoing);

// The Close frame that ends a connection, sent at once if it can go without cutting into a
// frame; the connection is to be closed right after, whatever the socket took. With no
// code the browser's own Close frame is echoed.
void SendClose(SOCKET handle, WebSocketState& state, const PacketQueue& outgoing,
               const WebSocketCloseCode* code);

}  // namespace hNet
