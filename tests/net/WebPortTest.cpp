#include <gtest/gtest.h>

#include <cstdint>
#include <iostream>
#include <string>

#include "ChatPage.h"
#include "MyServer.h"
#include "WebSocketFrame.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using hNet::WebSocketOpcode;
using support::Frame;
using support::TurnUntil;

const std::string SampleKey = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr std::uint8_t Final = 0x80;

std::string Body(const std::string& text) {
    return support::BodyOf(hNet::MakeTextPacket(hNet::PacketType::ChatMessage, text));
}

// One frame as a browser would write it: `first` is the byte of the final bit, reserved
// bits and opcode. Masked unless told otherwise.
std::string FrameBytes(std::uint8_t first, const std::string& payload, bool masked = true) {
    const hNet::WebSocketMask mask = {0x37, 0xFA, 0x21, 0x3D};
    std::uint8_t head[hNet::MaxFrameHeadBytes];
    const std::size_t length = hNet::WriteFrameHead(head, hNet::WebSocketOpcode::Binary,
                                                    payload.size(), masked ? &mask : nullptr);
    head[0] = first;
    std::string bytes(reinterpret_cast<const char*>(head), length);
    std::string body = payload;
    if (masked) {
        hNet::ApplyMask(body.data(), body.size(), mask, 0);
    }
    return bytes + body;
}

// The chat server with its web port, turned by the test, and browsers speaking raw bytes.
class WebPortTest : public testing::Test {
  protected:
    support::StreamCapture console{std::cout};
    support::TestServer<MyServer> server;
    std::int64_t nowMs = 0;
    std::uint16_t chatPort = 0;
    std::uint16_t webPort = 0;

    void SetUp() override {
        server.clock = [this] { return nowMs; };
        server.ServeWeb(hNet::Endpoint("127.0.0.1", 0), ChatPage());
        chatPort = server.Listen();
        webPort = support::LocalPort(server.webListeningSocket);
        ASSERT_NE(webPort, 0);
    }

    hNet::Socket Open() { return support::ConnectClient(webPort); }

    // Whatever the socket gets while the server turns, until `count` bytes or its close.
    std::string Read(const hNet::Socket& socket, std::size_t count) {
        std::string bytes;
        TurnUntil(server, [&] {
            while (bytes.size() < count && support::WaitFor(socket.GetHandle(), POLLRDNORM, 0)) {
                const std::string piece = support::ReceiveSome(socket, 0, count - bytes.size());
                if (piece.empty()) {
                    return true;
                }
                bytes += piece;
            }
            return bytes.size() >= count;
        });
        return bytes;
    }

    // Everything the socket gets while the server turns a few times: a settled room.
    std::string Drain(const hNet::Socket& socket) {
        std::string bytes;
        for (int turn = 0; turn < 50; ++turn) {
            server.Frame();
            while (support::WaitFor(socket.GetHandle(), POLLRDNORM, 0)) {
                const std::string piece = support::ReceiveSome(socket, 0);
                if (piece.empty()) {
                    return bytes;
                }
                bytes += piece;
            }
        }
        return bytes;
    }

    std::string ReadHead(const hNet::Socket& socket) {
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            const std::string byte = Read(socket, 1);
            if (byte.empty()) {
                break;
            }
            head += byte;
        }
        return head;
    }

    // The next frame the server sent: its first byte and its payload.
    std::pair<std::uint8_t, std::string> ReadFrame(const hNet::Socket& socket) {
        const std::string start = Read(socket, 2);
        if (start.size() < 2) {
            return {0, "(closed)"};
        }
        std::size_t length = static_cast<std::uint8_t>(start[1]) & 0x7F;
        if (length == 126) {
            const std::string extended = Read(socket, 2);
            length = static_cast<std::uint8_t>(extended[0]) << 8 |
                     static_cast<std::uint8_t>(extended[1]);
        }
        return {static_cast<std::uint8_t>(start[0]), Read(socket, length)};
    }

    std::string Upgrade(const hNet::Socket& socket, const std::string& extraFields = "") {
        support::SendAll(socket,
                         "GET / HTTP/1.1\r\nHost: chat.example\r\nUpgrade: websocket\r\n"
                         "Connection: Upgrade\r\nSec-WebSocket-Key: " +
                             SampleKey +
                             "\r\nSec-WebSocket-Version: 13\r\n"
                             "Sec-WebSocket-Protocol: binary\r\n" +
                             extraFields + "\r\n");
        return ReadHead(socket);
    }

    // A browser in the chat, past its greetings.
    hNet::Socket Join(const std::string& extraFields = "") {
        hNet::Socket browser = Open();
        EXPECT_NE(Upgrade(browser, extraFields).find("101 Switching Protocols"), std::string::npos);
        Drain(browser);
        return browser;
    }

    // Whether the server closes the socket, once the test has read what it still sent.
    bool Closed(const hNet::Socket& socket) {
        return TurnUntil(server, [&] {
            char rest[4096];
            return support::WaitFor(socket.GetHandle(), POLLRDNORM, 0) &&
                   recv(socket.GetHandle(), rest, sizeof(rest), 0) <= 0;
        });
    }
};

TEST_F(WebPortTest, PageFetchesAndRefusedUpgradesAreNobodyInTheChat) {
    hNet::Socket member = support::ConnectClient(chatPort);
    Drain(member);
    const std::string consoleBefore = console.Text();

    hNet::Socket page = Open();
    support::SendAll(page, "GET / HTTP/1.1\r\nHost: chat.example\r\n\r\n");
    const std::string answer = ReadHead(page);
    EXPECT_NE(answer.find("HTTP/1.1 200 OK"), std::string::npos) << answer;
    EXPECT_NE(answer.find("Content-Type: text/html"), std::string::npos) << answer;
    EXPECT_TRUE(Closed(page));

    hNet::Socket noKey = Open();
    support::SendAll(noKey,
                     "GET / HTTP/1.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                     "Sec-WebSocket-Version: 13\r\n\r\n");
    EXPECT_NE(ReadHead(noKey).find("HTTP/1.1 400"), std::string::npos);
    EXPECT_TRUE(Closed(noKey));

    EXPECT_EQ(Drain(member), "");
    EXPECT_EQ(server.connections.size(), 1u);
    const std::string lines = console.Text().substr(consoleBefore.size());
    EXPECT_EQ(support::CountOf(lines, "\n"), 1u) << lines;
    EXPECT_NE(lines.find(" - WebSocket upgrade refused: "), std::string::npos) << lines;
    member.Close();
    page.Close();
    noKey.Close();
}

TEST_F(WebPortTest, AnUpgradedBrowserChatsWithATerminalInFramesCutAnyWay) {
    hNet::Socket browser = Open();
    const std::string answer = Upgrade(browser);
    EXPECT_NE(answer.find("Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"),
              std::string::npos)
        << answer;
    EXPECT_NE(answer.find("Sec-WebSocket-Protocol: binary\r\n"), std::string::npos) << answer;
    // The greetings: each packet one unmasked binary message holding its frame.
    const auto greeting = ReadFrame(browser);
    EXPECT_EQ(greeting.first, Final | 0x2);
    EXPECT_NE(greeting.second.find("Connection to server successful."), std::string::npos);
    Drain(browser);
    EXPECT_NE(console.Text().find(" - New connection accepted."), std::string::npos);

    hNet::Socket terminal = support::ConnectClient(chatPort);
    Drain(terminal);
    Drain(browser);

    // "hi" and "there" in one stream, cut into a fragmented message whose pieces split the
    // frames anywhere, with a ping between two fragments; every byte its own write.
    const std::string stream = Frame(Body("hi")) + Frame(Body("there"));
    const std::string bytes =
        FrameBytes(0x2, stream.substr(0, 3)) + FrameBytes(Final | 0x9, "are you there?") +
        FrameBytes(0x0, stream.substr(3, 9)) + FrameBytes(Final | 0x0, stream.substr(12));
    for (char byte : bytes) {
        support::SendAll(browser, std::string(1, byte));
        server.Frame();
    }
    EXPECT_EQ(ReadFrame(browser),
              std::make_pair(std::uint8_t{Final | 0xA}, std::string("are you there?")));
    EXPECT_EQ(ReadFrame(browser).second, Frame(Body("hi")));
    EXPECT_EQ(ReadFrame(browser).second, Frame(Body("there")));
    EXPECT_EQ(Read(terminal, stream.size()), stream);

    // A line from the terminal reaches the browser; the browser's Close is echoed.
    support::SendAll(terminal, Frame(Body("hello, browser")));
    EXPECT_EQ(ReadFrame(browser).second, Frame(Body("hello, browser")));
    support::SendAll(browser, FrameBytes(Final | 0x8, std::string("\x03\xE8", 2)));
    EXPECT_EQ(ReadFrame(browser),
              std::make_pair(std::uint8_t{Final | 0x8}, std::string("\x03\xE8", 2)));
    EXPECT_TRUE(Closed(browser));
    EXPECT_NE(console.Text().find("[WebSocket closed.] Connection lost : [127.0."),
              std::string::npos);
    terminal.Close();
    browser.Close();
}

TEST_F(WebPortTest, ABrokenFrameEndsTheConnectionWithItsCloseCode) {
    const std::string protocolError("\x03\xEA", 2);
    const struct {
        const char* what;
        std::string frame;
        std::string code;
    } cases[] = {
        {"unmasked", FrameBytes(Final | 0x2, Frame(Body("hi")), false), protocolError},
        {"a reserved bit", FrameBytes(Final | 0x40 | 0x2, Frame(Body("hi"))), protocolError},
        {"a reserved opcode", FrameBytes(Final | 0x3, "x"), protocolError},
        {"a long ping", FrameBytes(Final | 0x9, std::string(126, 'p')), protocolError},
        {"a fragmented ping", FrameBytes(0x9, "p"), protocolError},
        {"a continuation of nothing", FrameBytes(Final | 0x0, "x"), protocolError},
        {"text", FrameBytes(Final | 0x1, "hi"), std::string("\x03\xEB", 2)},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.what);
        hNet::Socket browser = Join();
        support::SendAll(browser, broken.frame);
        EXPECT_EQ(ReadFrame(browser), std::make_pair(std::uint8_t{Final | 0x8}, broken.code));
        EXPECT_TRUE(Closed(browser));
        browser.Close();
    }
    EXPECT_TRUE(TurnUntil(server, [&] { return server.connections.empty(); }));
    EXPECT_EQ(support::CountOf(console.Text(), "[WebSocket protocol error.] Connection lost"), 6u);
    EXPECT_EQ(support::CountOf(console.Text(), "[WebSocket text message refused.] Connection lost"),
              1u);
}

TEST_F(WebPortTest, SlowAndOversizedHeadsAreClosedWhileTheRoomChats) {
    hNet::Socket first = support::ConnectClient(chatPort);
    hNet::Socket second = support::ConnectClient(chatPort);
    Drain(first);
    Drain(second);

    hNet::Socket oversized = Open();
    support::SendAll(oversized, "GET / HTTP/1.1\r\nX-Filler: " + std::string(9000, 'x'));
    hNet::Socket slow = Open();
    support::SendAll(slow, "GET / HTTP/1.1\r\nHost: chat.exam");
    EXPECT_NE(ReadHead(oversized).find("HTTP/1.1 431"), std::string::npos);

    std::string expected;
    for (int line = 0; line < 20; ++line) {
        const std::string frame = Frame(Body("line " + std::to_string(line)));
        support::SendAll(first, frame);
        expected += frame;
        nowMs += 600;
        server.Frame();
    }
    EXPECT_TRUE(Closed(slow));
    EXPECT_EQ(Read(second, expected.size()), expected);
    EXPECT_EQ(server.connections.size(), 2u);
    first.Close();
    second.Close();
    slow.Close();
    oversized.Close();
}

TEST_F(WebPortTest, AProxyOnLoopbackNamesTheBrowser) {
    hNet::Socket browser = Join("X-Forwarded-For: 198.51.100.4, 203.0.113.9\r\n");
    ASSERT_EQ(server.connections.size(), 1u);
    EXPECT_EQ(server.connections[0].description.rfind("[203.0.113.9:", 0), 0u)
        << server.connections[0].description;
    EXPECT_NE(console.Text().find("[203.0.113.9:"), std::string::npos);
    browser.Close();
}

}  // namespace
