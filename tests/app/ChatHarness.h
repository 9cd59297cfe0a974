#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <memory>
#include <regex>
#include <string>

#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"

// The chat server on a free loopback port, its console captured, and framed clients
// that talk to it while the test turns the server's loop.
class ChatHarness {
  public:
    class OpenServer : public MyServer {
      public:
        using Server::clock;
        using Server::connections;
        using Server::listeningSocket;

        // False hands back whatever a handler charged to the sender's budget.
        bool chargeFanOut = true;

        bool ProcessPacket(std::shared_ptr<hNet::Packet> packet,
                           hNet::Connection& connection) override {
            const hNet::ReceiveBudget before = connection.budget;
            const bool handled = MyServer::ProcessPacket(std::move(packet), connection);
            if (!chargeFanOut) {
                connection.budget = before;
            }
            return handled;
        }
    };

    ChatHarness() : port(support::FreePort()) {
        EXPECT_TRUE(server.Initialize(hNet::Endpoint("127.0.0.1", port)));
        console.str("");
    }

    ~ChatHarness() {
        for (auto& client : clients) {
            client.Close();
        }
        while (!server.connections.empty()) {
            server.CloseConnection(0, "test over");
        }
        server.listeningSocket.Close();
        std::cout.rdbuf(saved);
    }

    ChatHarness(const ChatHarness&) = delete;
    ChatHarness& operator=(const ChatHarness&) = delete;

    // A new client, accepted by the server.
    hNet::FramedClient& Connect() {
        clients.emplace_back();
        std::string error;
        EXPECT_TRUE(clients.back().Connect("127.0.0.1", port, error)) << error;
        const std::size_t count = server.connections.size() + 1;
        EXPECT_TRUE(support::TurnUntil(server, [&] { return server.connections.size() == count; }));
        return clients.back();
    }

    // A new client with its two greetings already read.
    hNet::FramedClient& Join() {
        hNet::FramedClient& client = Connect();
        Next(client);
        Next(client);
        return client;
    }

    // The next packet for the client, turning the server until it comes; null if none does.
    std::shared_ptr<hNet::Packet> Next(hNet::FramedClient& client) {
        for (int turn = 0; turn < 3000; ++turn) {
            if (auto packet = client.Poll()) {
                return packet;
            }
            server.Frame();
        }
        ADD_FAILURE() << "no packet arrived";
        return nullptr;
    }

    // Body of the next packet, as bytes.
    std::string NextBody(hNet::FramedClient& client) {
        const auto packet = Next(client);
        return packet ? std::string(packet->buffer.begin(), packet->buffer.end()) : "";
    }

    // True once the server has closed the client's connection.
    bool ClosedByServer(hNet::FramedClient& client) {
        return support::TurnUntil(server, [&] {
            client.Poll();
            return !client.IsOpen();
        });
    }

    // True when nothing more arrives for the client within a few turns.
    bool NothingMoreFor(hNet::FramedClient& client) {
        support::Turns(server, 20);
        return client.Poll() == nullptr;
    }

    void Send(hNet::FramedClient& client, const std::string& body) {
        auto packet = std::make_shared<hNet::Packet>();
        packet->buffer.assign(body.begin(), body.end());
        ASSERT_TRUE(client.Send(packet));
    }

    // The console so far, with every time stamp replaced by [TIME].
    std::string Console() const {
        return std::regex_replace(console.str(), std::regex(R"(\[\d\d:\d\d:\d\d\])"), "[hh:mm:ss]");
    }

    // The client's label as the server prints it.
    std::string Label(std::size_t connectionIndex) const {
        return server.connections[connectionIndex].description;
    }

    std::uint16_t port;
    OpenServer server;
    std::deque<hNet::FramedClient> clients;

  private:
    std::ostringstream console;
    std::streambuf* saved = std::cout.rdbuf(console.rdbuf());
};

// A body as bytes: the code, then the text as a string field.
inline std::string Body(int code, const std::string& text) {
    hNet::Packet packet(static_cast<hNet::PacketType>(code));
    packet << text;
    return std::string(packet.buffer.begin(), packet.buffer.end());
}

// Replaces the time stamp at the start of a notice body's text with [hh:mm:ss].
inline std::string WithoutTime(const std::string& body) {
    return std::regex_replace(body, std::regex(R"(\[\d\d:\d\d:\d\d\])"), "[hh:mm:ss]");
}
