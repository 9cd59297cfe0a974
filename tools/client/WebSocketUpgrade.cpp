#include "WebSocketUpgrade.h"

#include <algorithm>
#include <cctype>
#include <random>

namespace hNet {

namespace {

constexpr std::string_view LineEnd = "\r\n";

std::string Lowered(std::string_view text) {
    std::string lowered(text);
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lowered;
}

std::string_view TrimmedBlanks(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The fields an answer must carry, by their lowered names.
struct AnswerFields {
    std::string upgrade;
    std::string connection;
    std::string protocol;
    std::string accept;
};

void Note(AnswerFields& fields, std::string_view line) {
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) {
        return;
    }
    const std::string name = Lowered(line.substr(0, colon));
    const std::string value(TrimmedBlanks(line.substr(colon + 1)));
    if (name == "upgrade") {
        fields.upgrade = value;
    } else if (name == "connection") {
        fields.connection = value;
    } else if (name == "sec-websocket-protocol") {
        fields.protocol = value;
    } else if (name == "sec-websocket-accept") {
        fields.accept = value;
    }
}

// Whether a comma-separated list holds the token, in any case.
bool ListHolds(std::string_view list, std::string_view token) {
    while (!list.empty()) {
        const auto comma = std::min(list.find(','), list.size());
        if (Lowered(TrimmedBlanks(list.substr(0, comma))) == token) {
            return true;
        }
        list.remove_prefix(std::min(comma + 1, list.size()));
    }
    return false;
}

}  // namespace

// Drawn in base64 straight away: 21 characters of 6 random bits each, then one of the 4
// whose low 4 bits, the padding, are 0.
std::string NewWebSocketKey() {
    static constexpr std::string_view Alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::random_device random;
    std::string key;
    for (int i = 0; i < 21; ++i) {
        key += Alphabet[random() % 64];
    }
    key += "AQgw"[random() % 4];
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
    const std::string_view status = head.substr(0, head.find(LineEnd));
    constexpr std::string_view Version = "HTTP/1.1 ";
    const std::string_view code = status.substr(std::min(Version.size(), status.size()), 3);
    if (status.substr(0, Version.size()) != Version || code.size() != 3 ||
        !std::all_of(code.begin(), code.end(), [](unsigned char c) { return std::isdigit(c); })) {
        return "the server's answer to the upgrade is not HTTP/1.1";
    }
    if (code != "101") {
        return "the server refused the upgrade with HTTP status " + std::string(code);
    }
    AnswerFields fields;
    for (auto at = head.find(LineEnd); at != std::string_view::npos && at + 2 < head.size();) {
        const auto next = head.find(LineEnd, at + 2);
        Note(fields, head.substr(at + 2, next - at - 2));
        at = next;
    }
    if (Lowered(fields.upgrade) != "websocket" || !ListHolds(fields.connection, "upgrade")) {
        return "the server's answer to the upgrade does not switch to a WebSocket";
    }
    if (fields.protocol != "binary") {
        return "the server did not take the binary subprotocol";
    }
    static_cast<void>(key);
    return {};
}

}  // namespace hNet
