#include "HttpAnswer.h"

#include <algorithm>

#include "HttpText.h"
#include "Platform.h"
#include "WebSocketHandshake.h"

namespace hNet {

namespace {

constexpr std::string_view Get = "GET";
constexpr std::string_view Head = "HEAD";

// Closes every answer but the 101. The page only loads its own files, so it never needs
// to tell another site where it came from.
constexpr std::string_view ClosingFields =
    "X-Content-Type-Options: nosniff\r\n"
    "Referrer-Policy: no-referrer\r\n"
    "Connection: close\r\n"
    "\r\n";

void AddField(std::string& head, std::string_view name, std::string_view value) {
    head.append(name).append(": ").append(value).append("\r\n");
}

std::string StatusLine(std::string_view status) {
    return std::string("HTTP/1.1 ").append(status).append("\r\n");
}

// `body` is static text of a few words and a line feed; `extraField` a whole field line.
HttpAnswer Refuse(std::string_view status, std::string_view body,
                  std::string_view extraField = {}) {
    HttpAnswer answer;
    answer.head = StatusLine(status);
    AddField(answer.head, "Content-Type", "text/plain; charset=utf-8");
    AddField(answer.head, "Content-Length", std::to_string(body.size()));
    answer.head.append(extraField).append(ClosingFields);
    answer.body = body;
    return answer;
}

int HexValue(char digit) {
    if (IsDigit(digit)) {
        return digit - '0';
    }
    const char lower = static_cast<char>(digit | 0x20);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

bool IsCleanSegment(std::string_view segment, bool last) {
    return segment != "." && segment != ".." && (!segment.empty() || last);
}

// The target's path with its escapes decoded once, when it is a clean absolute path: no
// "." or ".." segment, no empty one but the last, and no backslash or control byte, nor
// a slash hidden in an escape. Otherwise nothing. The query is no part of it.
std::optional<std::string> CleanPath(std::string_view target) {
    const std::string_view raw = target.substr(0, target.find('?'));
    if (raw.empty() || raw[0] != '/') {
        return std::nullopt;
    }
    std::string path;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char byte = raw[i];
        if (byte == '%') {
            const int high = raw.size() - i > 2 ? HexValue(raw[i + 1]) : -1;
            const int low = high >= 0 ? HexValue(raw[i + 2]) : -1;
            if (low < 0) {
                return std::nullopt;
            }
            byte = static_cast<char>(high * 16 + low);
            if (byte == '/') {
                return std::nullopt;
            }
            i += 2;
        }
        const auto unsignedByte = static_cast<unsigned char>(byte);
        if (byte == '\\' || unsignedByte < ' ' || unsignedByte == 0x7F) {
            return std::nullopt;
        }
        path += byte;
    }
    for (std::size_t start = 1; start <= path.size();) {
        const std::size_t slash = std::min(path.find('/', start), path.size());
        if (!IsCleanSegment(std::string_view(path).substr(start, slash - start),
                            slash == path.size())) {
            return std::nullopt;
        }
        start = slash + 1;
    }
    return path;
}

bool ListHasAnyCase(const std::string* list, std::string_view token) {
    return list != nullptr && ListHoldsIgnoringCase(*list, token);
}

bool AsksForWebSocket(const HttpRequest& request) {
    return ListHasAnyCase(request.Field("upgrade"), "websocket");
}

bool IsWebSocketKey(std::string_view key) {
    return key.size() == 24 && key.substr(22) == "==" &&
           key.substr(0, 22).find_first_not_of(Base64Digits) == std::string_view::npos &&
           KeyLastDigits.find(key[21]) != std::string_view::npos;
}

bool HasBody(const HttpRequest& request) {
    const std::string* length = request.Field("content-length");
    return request.Field("transfer-encoding") != nullptr || (length != nullptr && *length != "0");
}

// Subprotocol names are compared as they are written: the browser checks that the one
// chosen is one it offered, letter for letter.
bool OffersBinary(const HttpRequest& request) {
    const std::string* offered = request.Field("sec-websocket-protocol");
    if (offered == nullptr) {
        return false;
    }
    const auto items = ListItems(*offered);
    return std::find(items.begin(), items.end(), "binary") != items.end();
}

HttpAnswer AnswerUpgrade(const HttpRequest& request, std::string_view path) {
    if (path != "/") {
        return Refuse("404 Not Found", "no WebSocket on this path\n");
    }
    if (request.method != Get || request.version != "HTTP/1.1") {
        return Refuse("400 Bad Request", "the upgrade needs GET and HTTP/1.1\n");
    }
    if (!ListHasAnyCase(request.Field("connection"), "upgrade")) {
        return Refuse("400 Bad Request", "no Upgrade in Connection\n");
    }
    const std::string* version = request.Field("sec-websocket-version");
    if (version == nullptr || *version != "13") {
        return Refuse("426 Upgrade Required", "Sec-WebSocket-Version is not 13\n",
                      "Sec-WebSocket-Version: 13\r\n");
    }
    const std::string* key = request.Field("sec-websocket-key");
    if (key == nullptr) {
        return Refuse("400 Bad Request", "no Sec-WebSocket-Key\n");
    }
    if (!IsWebSocketKey(*key)) {
        return Refuse("400 Bad Request", "Sec-WebSocket-Key is not 16 bytes in base64\n");
    }
    // Whatever follows the head is read as frames, so a body must not.
    if (HasBody(request)) {
        return Refuse("400 Bad Request", "a body with the upgrade\n");
    }
    const std::string accept = WebSocketAcceptKey(*key);
    if (accept.empty()) {
        return Refuse("500 Internal Server Error", "the handshake digest failed\n");
    }
    HttpAnswer answer;
    answer.upgrade = true;
    answer.head = StatusLine("101 Switching Protocols");
    AddField(answer.head, "Upgrade", "websocket");
    AddField(answer.head, "Connection", "Upgrade");
    AddField(answer.head, "Sec-WebSocket-Accept", accept);
    if (OffersBinary(request)) {
        AddField(answer.head, "Sec-WebSocket-Protocol", "binary");
    }
    answer.head.append("\r\n");
    return answer;
}

const WebFile* FindFile(const WebSite& site, std::string_view path) {
    const std::string_view wanted = path == "/" ? site.index : path;
    const WebFile* const end = site.files + site.count;
    const WebFile* const found = std::find_if(
        site.files, end, [wanted](const WebFile& file) { return file.path == wanted; });
    return found == end ? nullptr : found;
}

// If-None-Match compares weakly: W/"x" matches "x"; * matches any file.
bool Matches(const std::string* ifNoneMatch, std::string_view etag) {
    if (ifNoneMatch == nullptr) {
        return false;
    }
    for (std::string_view tag : ListItems(*ifNoneMatch)) {
        if (tag.substr(0, 2) == "W/") {
            tag.remove_prefix(2);
        }
        if (tag == etag || tag == "*") {
            return true;
        }
    }
    return false;
}

// no-cache: kept, but asked after each time, so a new build shows at the next load.
HttpAnswer AnswerFile(const HttpRequest& request, const WebFile& file, const WebSite& site) {
    HttpAnswer answer;
    const bool unchanged = Matches(request.Field("if-none-match"), file.etag);
    answer.head = StatusLine(unchanged ? "304 Not Modified" : "200 OK");
    if (!unchanged) {
        AddField(answer.head, "Content-Type", file.contentType);
        AddField(answer.head, "Content-Length", std::to_string(file.body.size()));
        answer.body = file.body;
    }
    AddField(answer.head, "ETag", file.etag);
    AddField(answer.head, "Cache-Control", "no-cache");
    AddField(answer.head, "Content-Security-Policy", site.securityPolicy);
    answer.head.append(ClosingFields);
    return answer;
}

HttpAnswer AnswerAnyMethod(const HttpRequest& request, const WebSite& site) {
    if (request.version != "HTTP/1.1" && request.version != "HTTP/1.0") {
        return Refuse("505 HTTP Version Not Supported", "only HTTP/1.0 and HTTP/1.1\n");
    }
    if (request.method != Get && request.method != Head) {
        return Refuse("405 Method Not Allowed", "only GET and HEAD\n", "Allow: GET, HEAD\r\n");
    }
    const std::optional<std::string> path = CleanPath(request.target);
    if (!path) {
        return Refuse("400 Bad Request", "the path climbs out or is not clean\n");
    }
    if (AsksForWebSocket(request)) {
        return AnswerUpgrade(request, *path);
    }
    const WebFile* const file = FindFile(site, *path);
    return file == nullptr ? Refuse("404 Not Found", "no such file\n")
                           : AnswerFile(request, *file, site);
}

}  // namespace

HttpAnswer AnswerRequest(const HttpRequest& request, const WebSite& site) {
    HttpAnswer answer = AnswerAnyMethod(request, site);
    if (AsksForWebSocket(request) && !answer.upgrade) {
        // The words of the body, without its line feed.
        answer.refusal = answer.body.substr(0, answer.body.find('\n'));
    }
    if (request.method == Head) {
        answer.body = {};
    }
    return answer;
}

HttpAnswer AnswerHeadTooLarge() {
    return Refuse("431 Request Header Fields Too Large", "the request head is too large\n");
}

HttpAnswer AnswerMalformedHead() {
    return Refuse("400 Bad Request", "the request head is malformed\n");
}

std::optional<std::string> ForwardedAddress(const HttpRequest& request) {
    const std::string* forwarded = request.Field("x-forwarded-for");
    if (forwarded == nullptr) {
        return std::nullopt;
    }
    // The address the nearest proxy added; any before it came from the client.
    const std::size_t comma = forwarded->rfind(',');
    const std::string last(TrimBlanks(
        std::string_view(*forwarded).substr(comma == std::string::npos ? 0 : comma + 1)));
    in_addr address4{};
    in6_addr address6{};
    if (inet_pton(AF_INET, last.c_str(), &address4) == 1 ||
        inet_pton(AF_INET6, last.c_str(), &address6) == 1) {
        return last;
    }
    return std::nullopt;
}

}  // namespace hNet
