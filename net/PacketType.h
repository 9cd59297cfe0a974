#pragma once

#include <cstdint>

namespace hNet {

// The code at the head of every packet body. Codes without a name here are carried
// unchanged; judging them is the application's business.
enum class PacketType : std::uint16_t {
    Invalid = 0,
    ChatMessage = 1,
    IntegerArray = 2,
    UserConnected = 4,
    SetUserName = 5,
    UserList = 6,
};

}  // namespace hNet
