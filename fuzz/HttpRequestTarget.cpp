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
using hNet::HttpRequest;

// A cut before the head's end knows no more than Incomplete; any other verdict stands.
void CheckCut(std::string_view received, std::size_t cut, HeadParse whole,
              const HttpRequest& wholeRequest, std::size_t wholeHeadBytes) {
    HttpRequest request;
    std::size_t headBytes = 0;
    const HeadParse verdict = hNet::ParseRequestHead(received.substr(0, cut), request, headBytes);
    const bool decided =
        whole == HeadParse::Complete ? cut >= wholeHeadBytes : verdict != HeadParse::Incomplete;
    Require(verdict == (decided ? whole : HeadParse::Incomplete),
            "more bytes never change a verdict");
    Require(verdict != HeadParse::Complete ||
                (headBytes == wholeHeadBytes && request.target == wholeRequest.target &&
                 request.fields == wholeRequest.fields),
            "a complete head reads the same with more bytes behind it");
}

void CheckRequest(std::string_view received, const HttpRequest& request, std::size_t headBytes) {
    Require(headBytes <= std::min(received.size(), hNet::MaxRequestHeadBytes) &&
                received.substr(headBytes - 4, 4) == "\r\n\r\n",
            "a head ends with its blank line, inside what came and inside the bound");
    for (const auto& [name, value] : request.fields) {
        Require(hNet::IsToken(name) && hNet::AsciiLower(name) == name &&
                    value.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos &&
                    hNet::TrimBlanks(value) == value,
                "names are lower-case tokens, values trimmed and without line break or NUL");
    }
}

// CR LF only as line ends, no other control byte but tabs: no value can add a field.
void CheckAnswer(const HttpRequest& request) {
    const hNet::HttpAnswer answer = hNet::AnswerRequest(request, ChatPage());
    const std::string& head = answer.head;
    Require(head.rfind("HTTP/1.1 ", 0) == 0 && head.size() > 16 &&
                head.compare(head.size() - 4, 4, "\r\n\r\n") == 0,
            "an answer starts with a status line and ends with the blank line");
    for (std::size_t i = 0; i < head.size(); ++i) {
        const auto byte = static_cast<unsigned char>(head[i]);
        Require(byte == '\r'   ? head[i + 1] == '\n'
                : byte == '\n' ? head[i - 1] == '\r'
                               : byte >= ' ' || byte == '\t',
                "no control byte in a head but its line ends");
    }
    Require(answer.upgrade == (head.rfind("HTTP/1.1 101 ", 0) == 0), "exactly the 101 upgrades");
    if (answer.upgrade) {
        Require(answer.body.empty() && answer.refusal.empty(), "an upgrade has no body");
        return;
    }
    Require(head.find("\r\nConnection: close\r\n") != std::string::npos,
            "every answer but the 101 closes");
    Require(answer.refusal.empty() || request.Field("upgrade") != nullptr,
            "only an upgrade can be refused");
    const std::string length = "\r\nContent-Length: " + std::to_string(answer.body.size()) + "\r\n";
    Require(request.method == "HEAD"
                ? answer.body.empty()
                : answer.body.empty() || head.find(length) != std::string::npos,
            "a body is as long as its head says, and HEAD has none");
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
