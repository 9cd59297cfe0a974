#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "HttpRequest.h"

namespace {

using hNet::HeadParse;
using hNet::HttpRequest;
using hNet::MaxRequestHeadBytes;
using hNet::ParseRequestHead;

HeadParse Parse(std::string_view received, HttpRequest& request, std::size_t& headBytes) {
    return ParseRequestHead(received, request, headBytes);
}

HeadParse Parse(std::string_view received) {
    HttpRequest request;
    std::size_t headBytes = 0;
    return Parse(received, request, headBytes);
}

TEST(HttpRequest, ParsesAHeadSplitAnywhere) {
    const std::string head =
        "GET /?room=1 HTTP/1.1\r\n"
        "Host: 127.0.0.1:8080\r\n"
        "Upgrade:websocket  \r\n"
        "Sec-WebSocket-Protocol: chat\r\n"
        "SEC-WEBSOCKET-PROTOCOL: \t binary\r\n"
        "Empty:\r\n"
        "\r\n";
    // The first bytes of a WebSocket frame already came behind it.
    const std::string received = head + "\x82\x85";
    for (std::size_t cut = 0; cut < head.size(); ++cut) {
        ASSERT_EQ(Parse(received.substr(0, cut)), HeadParse::Incomplete) << "cut at " << cut;
    }
    HttpRequest request;
    std::size_t headBytes = 0;
    ASSERT_EQ(Parse(received, request, headBytes), HeadParse::Complete);
    EXPECT_EQ(headBytes, head.size());
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/?room=1");
    EXPECT_EQ(request.version, "HTTP/1.1");
    const std::vector<std::pair<std::string, std::string>> fields = {
        {"host", "127.0.0.1:8080"},
        {"upgrade", "websocket"},
        {"sec-websocket-protocol", "chat, binary"},
        {"empty", ""}};
    EXPECT_EQ(request.fields, fields);
    EXPECT_EQ(*request.Field("upgrade"), "websocket");
    EXPECT_EQ(request.Field("connection"), nullptr);
}

TEST(HttpRequest, BoundedInBytesAndFields) {
    const std::string start = "GET / HTTP/1.1\r\nX: ";
    const auto headOf = [&start](std::size_t size) {
        return start + std::string(size - start.size() - 4, 'a') + "\r\n\r\n";
    };
    HttpRequest request;
    std::size_t headBytes = 0;
    EXPECT_EQ(Parse(headOf(MaxRequestHeadBytes) + "more", request, headBytes), HeadParse::Complete);
    EXPECT_EQ(headBytes, MaxRequestHeadBytes);
    const std::string over = headOf(MaxRequestHeadBytes + 1);
    EXPECT_EQ(Parse(over.substr(0, MaxRequestHeadBytes - 1)), HeadParse::Incomplete);
    EXPECT_EQ(Parse(over.substr(0, MaxRequestHeadBytes)), HeadParse::TooLarge);
    EXPECT_EQ(Parse(over), HeadParse::TooLarge);

    std::string fields = "GET / HTTP/1.1\r\n";
    for (std::size_t i = 0; i < hNet::MaxRequestFields; ++i) {
        fields += "A: b\r\n";
    }
    EXPECT_EQ(Parse(fields + "\r\n"), HeadParse::Complete);
    EXPECT_EQ(Parse(fields + "A: b\r\n\r\n"), HeadParse::TooLarge);
}

TEST(HttpRequest, RefusesMalformedHeads) {
    for (const char* head : {
             "GET / HTTP/1.1\nHost: a",  // a bare LF, seen before the head ends
             "GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n",
             "GET / HTTP/1.1\r\nHost : a\r\n\r\n",
             "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n",
             "GET / HTTP/1.1\r\nHost: a\x01\r\n\r\n",
             "GET /\x7f HTTP/1.1\r\n\r\n",
             "GET  / HTTP/1.1\r\n\r\n",
             "GET / http/1.1\r\n\r\n",
             "\r\nGET / HTTP/1.1\r\n\r\n",
         }) {
        EXPECT_EQ(Parse(head), HeadParse::Malformed) << head;
    }
    EXPECT_EQ(Parse(std::string("GET /\0 HTTP/1.1\r\n\r\n", 20)), HeadParse::Malformed);
}

}  // namespace
