#pragma once

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "Server.h"
#include "support/Loopback.h"

namespace support {

// The server under test, Base being hNet::Server or a server built on it: the engine's
// state open to the test, and optional hooks. onConnect and onDisconnect run before
// Base's handler; onPacket runs in its place and may still call it, as in
// `server.MyServer::ProcessPacket(packet, connection)`. Over hNet::Server itself the
// handlers do nothing and take every packet. Header-only, for the fuzz harness too.
template <typename Base>
class TestServer final : public Base {
  public:
    using Base::AddConnection;
    using Base::addresses;
    using Base::budgetPerAddress;
    using Base::clock;
    using Base::connections;
    using Base::frameTimeLimitMs;
    using Base::listeningSocket;
    using Base::masterFds;
    using Base::peerTimeouts;
    using Base::webListeningSocket;
    using Base::workingFds;

    TestServer() = default;
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;
    // Closes every connection, as a stopped server does, without the hooks: what they
    // capture may be gone by now.
    ~TestServer() {
        onConnect = nullptr;
        onDisconnect = nullptr;
        onPacket = nullptr;
        while (!connections.empty()) {
            this->CloseConnection(0, "Server stopped.");
        }
        listeningSocket.Close();
        this->spareDescriptor.Close();
        this->webRequests.CloseAll();
        webListeningSocket.Close();
    }

    // Listens on ip:port, port 0 for one the system picks, with the start-up lines kept
    // out of the console; the port, or 0 when it cannot listen.
    std::uint16_t Listen(std::uint16_t port = 0, const char* ip = "127.0.0.1") {
        const StreamCapture startUp(std::cout);
        return this->Initialize(hNet::Endpoint(ip, port)) ? LocalPort(listeningSocket) : 0;
    }

    void OnConnect(hNet::Connection& connection) override {
        if (onConnect) {
            onConnect(connection);
        }
        if constexpr (!std::is_abstract_v<Base>) {
            Base::OnConnect(connection);
        }
    }
    void OnDisconnect(hNet::Connection& connection, std::string reason) override {
        if (onDisconnect) {
            onDisconnect(connection, reason);
        }
        if constexpr (!std::is_abstract_v<Base>) {
            Base::OnDisconnect(connection, std::move(reason));
        }
    }
    bool ProcessPacket(std::shared_ptr<hNet::Packet> packet,
                       hNet::Connection& connection) override {
        if (onPacket) {
            return onPacket(std::move(packet), connection);
        }
        if constexpr (std::is_abstract_v<Base>) {
            return true;
        } else {
            return Base::ProcessPacket(std::move(packet), connection);
        }
    }

    std::function<void(hNet::Connection&)> onConnect;
    std::function<void(hNet::Connection&, const std::string& reason)> onDisconnect;
    std::function<bool(std::shared_ptr<hNet::Packet>, hNet::Connection&)> onPacket;
};

}  // namespace support
