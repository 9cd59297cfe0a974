#pragma once

#include <cstddef>
#include <string>

namespace hNet {

// The address the n-th of many clients on this machine connects from, so that a server
// sees as many people as clients rather than one address with them all:
// 127.0.(1 + n / 250 % 250).(1 + n % 250). 127.0.0.x stays free for whoever names its own.
inline std::string LoopbackPerson(std::size_t n) {
    return "127.0." + std::to_string(1 + n / 250 % 250) + "." + std::to_string(1 + n % 250);
}

}  // namespace hNet
