#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <utility>

#include "FramedClient.h"
#include "WebSocketFrame.h"
#include "WebSocketHandshake.h"
#include "support/Loopback.h"

namespace {

using hNet::WebSocketOpcode;

// A web port played by the test, for what the chat server does not do on its own: pings,
// fragments, closes and wrong answers to the upgrade.
class ScriptedServer {
  public:
    ScriptedServer() {
        EXPECT_EQ(listener.Create(), hNet::NetResult::Success);
        EXPECT_EQ(listener.Listen(hNet::Endpoint("127.0.0.1", 0), 4), hNet::NetResult::Success);
    }
    ~ScriptedServer() {
        peer.Close();
        listener.Close();
    }

    // A client connected through a WebSocket, with a packet queued before any answer.
    hNet::FramedClient& Connect() {
        hNet::ConnectOptions options;
        options.webSocket = true;
        std::string error;
        EXPECT_TRUE(client.Connect("127.0.0.1", support::LocalPort(listener), error, options))
            << error;
        client.Queue(hNet::MakeTextPacket(hNet::PacketType::ChatMessage, "early"));
        return client;
    }

    // Accepts the client and reads its upgrade request; the key it sent.
    std::string AcceptUpgrade() {
        EXPECT_TRUE(support::WaitFor(listener.GetHandle(), POLLRDNORM));
        EXPECT_EQ(listener.Accept(peer, nullptr), hNet::NetResult::Success);
        EXPECT_EQ(peer.SetBlocking(true), hNet::NetResult::Success);
        std::string request;
        while (request.find("\r\n\r\n") == std::string::npos) {
            const std::string piece = support::ReceiveSome(peer, 2000, 1);
            if (piece.empty()) {
                ADD_FAILURE() << "no whole request: " << request;
                return {};
            }
            request += piece;
        }
        std::smatch key;
        EXPECT_TRUE(std::regex_search(request, key, std::regex("Sec-WebSocket-Key: (\\S+)\r\n")));
        return key[1];
    }

    static std::string Answer(const std::string& key) {
        return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Accept: " +
               hNet::WebSocketAcceptKey(key) + "\r\nSec-WebSocket-Protocol: binary\r\n\r\n";
    }

    void Send(const std::string& bytes) { support::SendAll(peer, bytes); }

    // The client's next frame, checked to be masked and unmasked: its opcode and payload.
    std::pair<WebSocketOpcode, std::string> NextFrame() {
        hNet::FrameReader reader(hNet::FrameReader::Peer::Client);
        hNet::FrameResult head = hNet::FrameResult::Incomplete;
        while (head == hNet::FrameResult::Incomplete) {
            const std::string piece = support::ReceiveExactly(peer, reader.HeadMissing(), 2000);
            if (piece.empty()) {
                return {WebSocketOpcode::Continuation, "(nothing)"};
            }
            std::copy(piece.begin(), piece.end(), reader.HeadWindow());
            head = reader.CommitHead(piece.size());
        }
        EXPECT_EQ(head, hNet::FrameResult::Complete) << "an unmasked or broken frame";
        std::string payload =
            support::ReceiveExactly(peer, static_cast<std::size_t>(reader.PayloadLeft()), 2000);
        reader.CommitPayload(payload.data(), payload.size());
        return {reader.Opcode(), payload};
    }

    hNet::Socket listener;
    hNet::Socket peer;
    hNet::FramedClient client;
};

// One unmasked frame as a server sends it; `final` false leaves the message open.
std::string ServerFrame(WebSocketOpcode opcode, const std::string& payload, bool final = true) {
    std::uint8_t head[hNet::MaxFrameHeadBytes];
    const std::size_t headBytes = hNet::WriteFrameHead(head, opcode, payload.size());
    if (!final) {
        head[0] &= 0x7F;
    }
    return std::string(reinterpret_cast<const char*>(head), headBytes) + payload;
}

TEST(WebSocketClient, AnswersPingsJoinsFragmentsAndEndsOnClose) {
    ScriptedServer server;
    hNet::FramedClient& client = server.Connect();
    const std::string answer = ScriptedServer::Answer(server.AcceptUpgrade());
    const std::string line = support::Frame(
        support::BodyOf(hNet::MakeTextPacket(hNet::PacketType::ChatMessage, "joined")));
    // The answer's blank line, and the message, each cut across two reads; a ping between
    // the message's fragments.
    server.Send(answer.substr(0, answer.size() - 3));
    EXPECT_EQ(client.Receive(100), nullptr);
    server.Send(answer.substr(answer.size() - 3) +
                ServerFrame(WebSocketOpcode::Binary, line.substr(0, 5), false) +
                ServerFrame(WebSocketOpcode::Ping, "are you there"));
    EXPECT_EQ(client.Receive(100), nullptr);
    EXPECT_EQ(
        server.NextFrame(),
        std::make_pair(WebSocketOpcode::Binary, support::Frame(support::BodyOf(hNet::MakeTextPacket(
                                                    hNet::PacketType::ChatMessage, "early")))));
    EXPECT_EQ(server.NextFrame(),
              std::make_pair(WebSocketOpcode::Pong, std::string("are you there")));
    server.Send(ServerFrame(WebSocketOpcode::Continuation, line.substr(5)));
    EXPECT_EQ(support::Frame(support::BodyOf(client.Receive(2000))), line);

    server.Send(ServerFrame(WebSocketOpcode::Close, "\x03\xE9going away"));
    EXPECT_EQ(client.Receive(2000), nullptr);
    EXPECT_FALSE(client.IsOpen());
    EXPECT_EQ(client.CloseReason(), "the server closed the WebSocket with code 1001");
    EXPECT_EQ(server.NextFrame(), std::make_pair(WebSocketOpcode::Close, std::string("\x03\xE9")));
}

TEST(WebSocketClient, EndsWhenTheUpgradeIsRefusedOrTheServerBreaksTheRules) {
    const auto unanswered = [](const std::string& key) {
        return std::regex_replace(
            ScriptedServer::Answer(key), std::regex("Sec-WebSocket-Accept.*\r\n"),
            "Sec-WebSocket-Accept: " + hNet::WebSocketAcceptKey("other") + "\r\n");
    };
    const std::pair<std::function<std::string(const std::string&)>, std::string> cases[] = {
        {[](const std::string&) { return "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"; },
         "the server refused the upgrade with HTTP status 404"},
        {unanswered, "the server's Sec-WebSocket-Accept does not answer the key"},
        {[](const std::string& key) {
             return std::regex_replace(ScriptedServer::Answer(key),
                                       std::regex("Sec-WebSocket-Protocol.*\r\n"), "");
         },
         "the server did not take the binary subprotocol"},
        {[](const std::string& key) {
             return ScriptedServer::Answer(key) + ServerFrame(WebSocketOpcode::Text, "hi");
         },
         "the server sent a text message"},
        {[](const std::string& key) {
             return ScriptedServer::Answer(key) +
                    ServerFrame(WebSocketOpcode::Binary, std::string("\x00\x01", 2));
         },
         "the server sent a malformed frame"},
    };
    for (const auto& [answer, reason] : cases) {
        ScriptedServer server;
        hNet::FramedClient& client = server.Connect();
        server.Send(answer(server.AcceptUpgrade()));
        EXPECT_EQ(client.Receive(2000), nullptr) << reason;
        EXPECT_FALSE(client.IsOpen()) << reason;
        EXPECT_EQ(client.CloseReason(), reason);
    }
}

}  // namespace
