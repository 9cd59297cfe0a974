#pragma once

#include <string>
#include <string_view>

namespace hNet {

// What RFC 6455 has every server append to the client's key before hashing it.
inline constexpr std::string_view WebSocketKeySuffix = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

// A key is 16 bytes in base64: 22 of these digits, then "==". Its last digit is one of
// KeyLastDigits, whose 4 low bits, past the 16 bytes, are 0.
inline constexpr std::string_view Base64Digits =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::string_view KeyLastDigits = "AQgw";

// The Sec-WebSocket-Accept value for a client's Sec-WebSocket-Key:
// base64(SHA-1(key + WebSocketKeySuffix)), from the system's cryptographic library (one
// source per library). Empty if that library failed.
std::string WebSocketAcceptKey(std::string_view clientKey);

}  // namespace hNet
