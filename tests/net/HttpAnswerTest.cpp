#include <gtest/gtest.h>

#include <string>

#include "HttpAnswer.h"

namespace {

using hNet::HttpAnswer;

const hNet::WebFile Files[] = {
    {"/index.html", "text/html; charset=utf-8", "<!DOCTYPE html>", "\"i1\""},
    {"/app.js", "text/javascript; charset=utf-8", "let a;", "\"a1\""},
};
const hNet::WebSite Site{Files, 2, "/index.html", "default-src 'none'"};

hNet::HttpRequest Request(const std::string& head) {
    hNet::HttpRequest request;
    std::size_t headBytes = 0;
    EXPECT_EQ(hNet::ParseRequestHead(head + "\r\n", request, headBytes), hNet::HeadParse::Complete);
    return request;
}

HttpAnswer Answer(const std::string& head) {
    return hNet::AnswerRequest(Request(head), Site);
}

std::string Status(const HttpAnswer& answer) {
    return answer.head.substr(0, answer.head.find('\r'));
}

bool Has(const HttpAnswer& answer, const std::string& fieldLine) {
    return answer.head.find("\r\n" + fieldLine + "\r\n") != std::string::npos;
}

TEST(HttpAnswer, ServesFilesWithTheirTypePolicyAndValidator) {
    const HttpAnswer page = Answer("GET / HTTP/1.1\r\n");
    EXPECT_EQ(page.head,
              "HTTP/1.1 200 OK\r\n"
              "Content-Type: text/html; charset=utf-8\r\n"
              "Content-Length: 15\r\n"
              "ETag: \"i1\"\r\n"
              "Cache-Control: no-cache\r\n"
              "Content-Security-Policy: default-src 'none'\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "Referrer-Policy: no-referrer\r\n"
              "Connection: close\r\n"
              "\r\n");
    EXPECT_EQ(page.body, "<!DOCTYPE html>");
    EXPECT_FALSE(page.upgrade);

    const HttpAnswer script = Answer("GET /app.js?v=2 HTTP/1.0\r\n");
    EXPECT_TRUE(Has(script, "Content-Type: text/javascript; charset=utf-8"));
    EXPECT_EQ(script.body, "let a;");

    const HttpAnswer head = Answer("HEAD /app.js HTTP/1.1\r\n");
    EXPECT_EQ(head.head, script.head);
    EXPECT_TRUE(head.body.empty());

    for (const char* validator : {"\"a1\"", "W/\"a1\"", "\"old\", \"a1\"", "*"}) {
        const HttpAnswer unchanged =
            Answer(std::string("GET /app.js HTTP/1.1\r\nIf-None-Match: ") + validator + "\r\n");
        EXPECT_EQ(Status(unchanged), "HTTP/1.1 304 Not Modified") << validator;
        EXPECT_TRUE(Has(unchanged, "ETag: \"a1\"") && !Has(unchanged, "Content-Length: 6"));
        EXPECT_TRUE(unchanged.body.empty());
    }
    EXPECT_EQ(Status(Answer("GET /app.js HTTP/1.1\r\nIf-None-Match: \"i1\"\r\n")),
              "HTTP/1.1 200 OK");
}

// RFC 6455's own example.
const std::string SampleUpgrade =
    "GET / HTTP/1.1\r\n"
    "Host: server.example.com\r\n"
    "Upgrade: WebSocket\r\n"
    "Connection: keep-alive, Upgrade\r\n"
    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n";

TEST(HttpAnswer, UpgradesWithTheBinarySubprotocolWhenOffered) {
    const HttpAnswer offered = Answer(SampleUpgrade + "Sec-WebSocket-Protocol: chat, binary\r\n");
    EXPECT_EQ(offered.head,
              "HTTP/1.1 101 Switching Protocols\r\n"
              "Upgrade: websocket\r\n"
              "Connection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
              "Sec-WebSocket-Protocol: binary\r\n"
              "\r\n");
    EXPECT_TRUE(offered.upgrade && offered.body.empty() && offered.refusal.empty());

    for (const char* other : {"", "Sec-WebSocket-Protocol: chat, Binary\r\n"}) {
        const HttpAnswer without = Answer(SampleUpgrade + other);
        EXPECT_TRUE(without.upgrade);
        EXPECT_EQ(without.head.find("Sec-WebSocket-Protocol"), std::string::npos) << other;
    }
}

// Each with a line of text that says why; a refused upgrade also with words for the console.
TEST(HttpAnswer, RefusesWhatItDoesNotServe) {
    const std::string upgrade = "Upgrade: websocket\r\nConnection: Upgrade\r\n";
    const std::string version = "Sec-WebSocket-Version: 13\r\n";
    const std::string key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
    const struct {
        std::string head;
        const char* status;
        const char* refusal;
    } cases[] = {
        {"GET /missing.js HTTP/1.1\r\n", "404 Not Found", ""},
        {"GET /%252e%252e/index.html HTTP/1.1\r\n", "404 Not Found", ""},  // decoded once
        {"GET /web/../index.html HTTP/1.1\r\n", "400 Bad Request", ""},
        {"GET /%2e%2E/index.html HTTP/1.1\r\n", "400 Bad Request", ""},
        {"GET /..%2findex.html HTTP/1.1\r\n", "400 Bad Request", ""},
        {"GET /web\\index.html HTTP/1.1\r\n", "400 Bad Request", ""},
        {"GET /index.html%00 HTTP/1.1\r\n", "400 Bad Request", ""},
        {"GET http://a/index.html HTTP/1.1\r\n", "400 Bad Request", ""},
        {"DELETE / HTTP/1.1\r\n", "405 Method Not Allowed", ""},
        {"GET / HTTP/2.0\r\n", "505 HTTP Version Not Supported", ""},
        {"GET / HTTP/1.1\r\n" + upgrade + version, "400 Bad Request", "no Sec-WebSocket-Key"},
        {"GET / HTTP/1.1\r\n" + upgrade + key + "Sec-WebSocket-Version: 8\r\n",
         "426 Upgrade Required", "Sec-WebSocket-Version is not 13"},
        {"GET / HTTP/1.1\r\n" + upgrade + version +
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZR==\r\n",
         "400 Bad Request", "Sec-WebSocket-Key is not 16 bytes in base64"},
        {"GET /chat HTTP/1.1\r\n" + upgrade + version + key, "404 Not Found",
         "no WebSocket on this path"},
        {"POST / HTTP/1.1\r\n" + upgrade + version + key, "405 Method Not Allowed",
         "only GET and HEAD"},
    };
    for (const auto& refused : cases) {
        const HttpAnswer answer = Answer(refused.head);
        EXPECT_EQ(Status(answer), std::string("HTTP/1.1 ") + refused.status) << refused.head;
        EXPECT_TRUE(Has(answer, "Content-Type: text/plain; charset=utf-8") &&
                    Has(answer, "Content-Length: " + std::to_string(answer.body.size())) &&
                    Has(answer, "Connection: close") && answer.body.back() == '\n' &&
                    !answer.upgrade);
        EXPECT_EQ(answer.refusal, refused.refusal);
    }
    EXPECT_TRUE(Has(Answer(cases[8].head), "Allow: GET, HEAD"));
    EXPECT_TRUE(Has(Answer(cases[11].head), "Sec-WebSocket-Version: 13"));
    EXPECT_EQ(Status(hNet::AnswerHeadTooLarge()), "HTTP/1.1 431 Request Header Fields Too Large");
    EXPECT_EQ(Status(hNet::AnswerMalformedHead()), "HTTP/1.1 400 Bad Request");
}

TEST(HttpAnswer, ForwardedAddressIsTheLastLiteral) {
    const auto forwarded = [](const std::string& list) {
        return hNet::ForwardedAddress(
                   Request("GET / HTTP/1.1\r\nX-Forwarded-For: " + list + "\r\n"))
            .value_or("none");
    };
    EXPECT_EQ(forwarded("203.0.113.7"), "203.0.113.7");
    EXPECT_EQ(forwarded("1.1.1.1, 2001:db8::7"), "2001:db8::7");
    for (const char* unusable : {"10.0.0.2, unknown", "10.0.0.2,", "1.2.3.4:80", "[::1]"}) {
        EXPECT_EQ(forwarded(unusable), "none") << unusable;
    }
    EXPECT_FALSE(hNet::ForwardedAddress(Request("GET / HTTP/1.1\r\n")));
}

}  // namespace
