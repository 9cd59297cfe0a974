#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hNet {

// The client's half of the upgrade from HTTP to a WebSocket that carries the chat's frames
// (subprotocol `binary`).

// The answer's head, status line to blank line, is read up to this size; a longer one
// fails the upgrade.
inline constexpr std::size_t MaxUpgradeAnswerBytes = 8 * 1024;

// A fresh Sec-WebSocket-Key: 16 random bytes in base64.
std::string NewWebSocketKey();

// The request, with `headerFields` ("Name: value", each without a line break) at its end.
std::string UpgradeRequest(const std::string& host, std::uint16_t port, const std::string& key,
                           const std::vector<std::string>& headerFields);

// Empty when the answer's head (up to and with its blank line) switches to the WebSocket
// asked for with `key`; else why not, in words for a person.
std::string CheckUpgradeAnswer(std::string_view head, const std::string& key);

}  // namespace hNet
