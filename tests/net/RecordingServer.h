#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "Server.h"
#include "support/Loopback.h"

// A server that records every handler call, for driving the engine turn by turn.
class RecordingServer : public hNet::Server {
  public:
    using Server::connections;
    using Server::listeningSocket;
    using Server::masterFds;
    using Server::workingFds;

    struct Disconnect {
        std::string description;
        std::string reason;
        bool stillListed;
        hNet::PacketQueueTask receiveTask;
    };

    // Listens on 127.0.0.1 on a free port, with the start-up lines kept out of the log.
    std::uint16_t Start() {
        port = support::FreePort();
        support::StreamCapture quiet(std::cout);
        EXPECT_TRUE(Initialize(hNet::Endpoint("127.0.0.1", port)));
        return port;
    }

    void OnConnect(hNet::Connection& connection) override {
        connected.push_back(connection.description);
        if (onConnect) {
            onConnect(connection);
        }
    }

    void OnDisconnect(hNet::Connection& connection, std::string reason) override {
        bool listed = false;
        for (const auto& each : connections) {
            listed = listed || &each == &connection;
        }
        disconnected.push_back(
            {connection.description, reason, listed, connection.incoming.currentTask});
        if (onDisconnect) {
            onDisconnect(connection);
        }
    }

    bool ProcessPacket(std::shared_ptr<hNet::Packet> packet,
                       hNet::Connection& connection) override {
        handled.push_back(connection.description + " " +
                          std::string(packet->buffer.begin(), packet->buffer.end()));
        return onPacket ? onPacket(*packet, connection) : true;
    }

    // Turns until `count` connections are listed.
    bool AcceptUntil(std::size_t count) {
        return support::TurnUntil(*this, [&] { return connections.size() >= count; });
    }

    std::uint16_t port = 0;
    std::vector<std::string> connected;
    std::vector<Disconnect> disconnected;
    std::vector<std::string> handled;
    std::function<void(hNet::Connection&)> onConnect;
    std::function<void(hNet::Connection&)> onDisconnect;
    std::function<bool(hNet::Packet&, hNet::Connection&)> onPacket;
};
