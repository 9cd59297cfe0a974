#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "HttpRequest.h"
#include "WebFiles.h"

namespace hNet {

// What the server sends back for one request head. Every answer but the 101 ends the
// connection (Connection: close): the server closes it once head and body are sent.
struct HttpAnswer {
    std::string head;       // status line and fields, ending with the blank line
    std::string_view body;  // sent after the head; points into the embedded files or static text
    bool upgrade = false;   // 101: once the head is sent the connection speaks WebSocket
    // A refused upgrade: a few words for the console ("no Sec-WebSocket-Key"), else empty.
    std::string refusal;
};

// GET and HEAD of the site's files by path ("/" is the index), with their validator and
// security fields; the upgrade to a WebSocket on "/"; and the refusals (400, 404, 405,
// 426, 505, and 500 should the system fail to hash a key), each with a line of plain text
// that says why.
HttpAnswer AnswerRequest(const HttpRequest& request, const WebSite& site);
HttpAnswer AnswerHeadTooLarge();   // 431
HttpAnswer AnswerMalformedHead();  // 400

// The last address in X-Forwarded-For when it is an IPv4 or IPv6 literal, else nothing.
// Only a peer on loopback (a reverse proxy on the same machine) is to be believed.
std::optional<std::string> ForwardedAddress(const HttpRequest& request);

}  // namespace hNet
