#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <memory>
#include <string>

#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

// The chat server on a loopback port, its console captured, and framed clients that
// talk to it while the test turns the server's loop.
class ChatHarness {
    // First, so that it also takes the lines of the server's last closes.
    support::StreamCapture console{std::cout};

  public:
    ChatHarness() = default;
    ~ChatHarness() {
        for (auto& client : clients) {
            client.Close();
        }
    }
    ChatHarness(const ChatHarness&) = delete;
    ChatHarness& operator=(const ChatHarness&) = delete;

    // A new client, accepted by the server: a person of its own, or one more connection
    // from the address `from`.
    hNet::FramedClient& Connect(const std::string& from = support::NextPersonAddress()) {
        clients.emplace_back();
        std::string error;
        hNet::ConnectOptions person;
        person.sourceAddress = from;
        EXPECT_TRUE(clients.back().Connect("127.0.0.1", port, error, person)) << error;
        const std::size_t count = server.connections.size() + 1;
        EXPECT_TRUE(support::TurnUntil(server, [&] { return server.connections.size() == count; }));
        return clients.back();
    }

    // A new client that has read its two greetings and the user list; every client before
    // it that is still open has read the notice of its arrival and the UserConnected packet.
    hNet::FramedClient& Join(const std::string& from = support::NextPersonAddress()) {
        hNet::FramedClient& client = Connect(from);
        for (auto& each : clients) {
            if (each.IsOpen()) {
                Next(each);
                Next(each);
            }
        }
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

    std::string NextBody(hNet::FramedClient& client) { return support::BodyOf(Next(client)); }

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

    // The console since the server started, without its time stamps.
    std::string Console() const { return support::WithoutTimes(console.Text()); }

    // The client's label as the server prints it.
    std::string Label(std::size_t connectionIndex) const {
        return server.connections[connectionIndex].description;
    }

    support::TestServer<MyServer> server;
    std::uint16_t port = server.Listen();
    std::deque<hNet::FramedClient> clients;
};
