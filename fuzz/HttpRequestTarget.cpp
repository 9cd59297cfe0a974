// Arbitrary bytes as what a browser's connection sent before its head was answered: the
// head parser's verdict must hold whatever comes later, and the answer to whatever it
// parses must be a well-formed head that no field value can break into.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ChatPage.h"
#include "Harness.h"
#include "HttpAnswer.h"
#include "HttpRequest.h"
#include "HttpText.h"

namespace {

using harness::Require;
using hNet::HeadParse;
using hNet::HttpAnswer;
using hNet::HttpRequest;

bool SameRequest(const HttpRequest& one, const HttpRequest& other) {
    return one.method == other.method && one.target == other.target &&
           one.version == other.version && one.fields == other.fields;
}

// A cut before the verdict was reached knows no more than Incomplete; a cut after it
// gives the same verdict.
void CheckCut(std::string_view received, std::size_t cut, HeadParse whole,
              const HttpRequest& wholeRequest, std::size_t wholeHeadBytes) {
    HttpRequest request;
    std::size_t headBytes = 0;
    const HeadParse verdict = hNet::ParseRequestHead(received.substr(0, cut), request, headBytes);
    if (verdict == HeadParse::Incomplete) {
        Require(whole != HeadParse::Complete || cut < wholeHeadBytes,
                "a cut holding the whole head is complete");
        return;
    }
    Require(verdict == whole, "more bytes never change a verdict");
    if (verdict == HeadParse::Complete) {
        Require(headBytes == wholeHeadBytes && SameRequest(request, wholeRequest),
                "a complete head reads the same with more bytes behind it");
    }
}

void CheckRequest(std::string_view received, const HttpRequest& request, std::size_t headBytes) {
    Require(headBytes <= std::min(received.size(), hNet::MaxRequestHeadBytes) &&
                received.substr(0, headBytes).substr(headBytes - 4) == "\r\n\r\n",
            "a head ends with its blank line, inside what came and inside the bound");
    for (const auto& [name, value] : request.fields) {
        Require(hNet::IsToken(name) && hNet::AsciiLower(name) == name,
                "names are lower-case tokens");
        Require(value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos &&
                    hNet::TrimBlanks(value) == value,
                "values are trimmed and hold no line break or NUL");
    }
}

// Line ends only where fields end, and nothing else below a space but tabs.
void CheckHead(const std::string& head) {
    Require(head.rfind("HTTP/1.1 ", 0) == 0 && head.size() > 16 &&
                head.compare(head.size() - 4, 4, "\r\n\r\n") == 0,
            "an answer starts with a status line and ends with the blank line");
    for (std::size_t i = 0; i < head.size(); ++i) {
        const auto byte = static_cast<unsigned char>(head[i]);
        if (byte == '\r') {
            Require(i + 1 < head.size() && head[i + 1] == '\n', "CR only before LF");
        } else if (byte == '\n') {
            Require(i > 0 && head[i - 1] == '\r', "LF only after CR");
        } else {
            Require(byte >= ' ' || byte == '\t', "no other control byte in a head");
        }
    }
}

void CheckAnswer(const HttpRequest& request) {
    const HttpAnswer answer = hNet::AnswerRequest(request, ChatPage());
    CheckHead(answer.head);
    const bool switching = answer.head.rfind("HTTP/1.1 101 ", 0) == 0;
    Require(answer.upgrade == switching, "exactly the 101 upgrades");
    if (answer.upgrade) {
        Require(answer.body.empty() && answer.refusal.empty(), "an upgrade has no body");
        Require(answer.head.find("\r\nSec-WebSocket-Accept: ") != std::string::npos,
                "an upgrade carries its accept key");
        return;
    }
    Require(answer.head.find("\r\nConnection: close\r\n") != std::string::npos,
            "every answer but the 101 closes");
    Require(answer.refusal.empty() || request.Field("upgrade") != nullptr,
            "only an upgrade can be refused");
    const std::string length = "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n";
    Require(request.method == "HEAD"
                ? answer.body.empty()
                : answer.body.empty() || answer.head.find(length) != std::string::npos,
            "a body is as long as its head says, and HEAD has none");
    if (const auto address = hNet::ForwardedAddress(request)) {
        Require(address->find_first_not_of("0123456789abcdefABCDEF.:") == std::string::npos,
                "a forwarded address is a literal");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view received(reinterpret_cast<const char*>(data), size);
    HttpRequest request;
    std::size_t headBytes = 0;
    const HeadParse verdict = hNet::ParseRequestHead(received, request, headBytes);
    if (verdict == HeadParse::Complete) {
        CheckRequest(received, request, headBytes);
        CheckAnswer(request);
        CheckCut(received, headBytes - 1, verdict, request, headBytes);
    }
    if (size > 0) {
        CheckCut(received, data[0] * size / 256, verdict, request, headBytes);
    }
    return 0;
}
