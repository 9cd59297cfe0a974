#include "WebSocketUpgrade.h"

#include <algorithm>
#include <random>

#include "HttpRequest.h"
#include "HttpText.h"
#include "WebSocketHandshake.h"

namespace hNet {

namespace {

constexpr std::string_view LineEnd = "\r\n";

}  // namespace

// Drawn in base64 straight away: 21 digits of 6 random bits each, then the last.
std::string NewWebSocketKey() {
    std::random_device random;
    std::string key;
    for (int i = 0; i < 21; ++i) {
        key += Base64Digits[random() % Base64Digits.size()];
    }
    key += KeyLastDigits[random() % KeyLastDigits.size()];
    return key + "==";
}

std::string UpgradeRequest(const std::string& host, std::uint16_t port, const std::string& key,
                           const std::vector<std::string>& headerFields) {
    // An IPv6 literal names its port behind brackets.
    const bool ipv6 = host.find(':') != std::string::npos;
    std::string request = "GET / HTTP/1.1\r\nHost: " + (ipv6 ? "[" + host + "]" : host) + ":" +
                          std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: " +
                          key +
                          "\r\nSec-WebSocket-Version: 13\r\n"
                          "Sec-WebSocket-Protocol: binary\r\n";
    for (const std::string& field : headerFields) {
        request += field;
        request += LineEnd;
    }
    return request += LineEnd;
}

std::string CheckUpgradeAnswer(std::string_view head, const std::string& key) {
    const std::size_t statusEnd = std::min(head.find(LineEnd), head.size());
    const std::string_view status = head.substr(0, statusEnd);
    constexpr std::string_view Version = "HTTP/1.1 ";
    const std::string_view code = status.substr(std::min(Version.size(), status.size()), 3);
    if (status.substr(0, Version.size()) != Version || code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), IsDigit)) {
        return "the server's answer to the upgrade is not HTTP/1.1";
    }
    if (code != "101") {
        return "the server refused the upgrade with HTTP status " + std::string(code);
    }
    // An answer's fields follow a request's rules: the request parser reads them, behind a
    // request line standing in for the status line.
    HttpRequest fields;
    std::size_t headBytes = 0;
    const std::string standIn = "GET / HTTP/1.1" + std::string(head.substr(statusEnd));
    if (ParseRequestHead(standIn, fields, headBytes) != HeadParse::Complete) {
        return "the server's answer to the upgrade is malformed";
    }
    const auto value = [&fields](std::string_view name) {
        const std::string* found = fields.Field(name);
        return found != nullptr ? std::string_view(*found) : std::string_view();
    };
    if (!EqualsIgnoringCase(value("upgrade"), "websocket") ||
        !ListHoldsIgnoringCase(value("connection"), "upgrade")) {
        return "the server's answer to the upgrade does not switch to a WebSocket";
    }
    if (value("sec-websocket-accept") != WebSocketAcceptKey(key)) {
        return "the server's Sec-WebSocket-Accept does not answer the key";
    }
    if (value("sec-websocket-protocol") != "binary") {
        return "the server did not take the binary subprotocol";
    }
    return {};
}

}  // namespace hNet
