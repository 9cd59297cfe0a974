#pragma once

#include <string>
#include <utility>

namespace hNet {

// Thrown by value when a packet operation would leave the body's bounds.
class PacketException {
  public:
    explicit PacketException(std::string message) : message(std::move(message)) {}
    const char* what() const noexcept { return message.c_str(); }

  private:
    std::string message;
};

}  // namespace hNet
