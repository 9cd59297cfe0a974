#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "Endpoint.h"
#include "PacketQueue.h"
#include "ReceiveBudget.h"
#include "Socket.h"
#include "WebSocketState.h"

namespace hNet {

// The record of one accepted client, kept by value in the server's array. A value: a
// copy has every field, its queues sharing the packets. Destroying, copying or moving it
// leaves the socket open: only the server's CloseConnection closes it.
class Connection {
  public:
    Connection(Socket socket, Endpoint endpoint);

    Socket socket;
    PacketQueue incoming;
    PacketQueue outgoing;
    // Collects the body being received until it is complete.
    std::array<char, MaxPacketSize> receiveBuffer{};
    Endpoint endpoint;
    // "[ip:port]", the client's name in console lines.
    std::string description;
    std::string userName;
    // What the client may still send, shared with every connection from its address; its
    // socket is not read while the budget is spent.
    std::shared_ptr<ReceiveBudget> budget = std::make_shared<ReceiveBudget>();
    bool readingPaused = false;
    // While reading is paused: when the budget will have refilled.
    std::int64_t resumeReadingMs = 0;
    std::optional<std::int64_t> floodNoticedMs;
    // While a frame is under way: by when it must be whole. 0 between frames.
    std::int64_t frameDeadlineMs = 0;
    // Set for a browser: its packets travel as the payload of WebSocket frames.
    std::optional<WebSocketState> webSocket;
};

// Otherwise the server's array would copy every record, buffer and all, when it grows.
static_assert(std::is_nothrow_move_constructible_v<Connection>);

}  // namespace hNet
