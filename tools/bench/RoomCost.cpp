// The server's own work per delivery in a room, counted rather than timed: the chat server
// and its clients in one process on loopback, one line relayed to everyone at a time.
// Under callgrind, with --toggle-collect='hNet::Server::Frame()', the instructions of the
// server's turns alone; a run with no line gives what admission cost, to subtract.
//
//   halvex-room-cost --clients N --lines L [--web]

#include <CLI/CLI.hpp>

#include <deque>
#include <iostream>
#include <string>

#include "ChatPage.h"
#include "FramedClient.h"
#include "LoopbackPeople.h"
#include "MyServer.h"
#include "NetworkRuntime.h"

namespace {

// The chat server, with the ports it listens on in sight.
class RoomServer : public MyServer {
  public:
    std::uint16_t Port(bool web) const {
        const SOCKET listener = (web ? webListeningSocket : listeningSocket).GetHandle();
        sockaddr_storage address{};
        socklen_t length = sizeof(address);
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        return hNet::Endpoint(reinterpret_cast<const sockaddr*>(&address)).GetPort();
    }
};

// Turns the server until every client has read all it was sent; false when that takes
// more than `turns` turns.
bool Settle(RoomServer& server, std::deque<hNet::FramedClient>& clients, int turns) {
    for (int turn = 0; turn < turns; ++turn) {
        server.Frame();
        bool quiet = true;
        for (hNet::FramedClient& client : clients) {
            client.Flush(0);
            while (client.Poll() != nullptr) {
                quiet = false;
            }
        }
        if (quiet && turn > 2) {
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int clientCount = 100;
    int lines = 100;
    bool web = false;
    CLI::App app{"The chat server's work per delivery, for counting under callgrind"};
    app.add_option("--clients", clientCount, "clients in the room")->check(CLI::Range(1, 5000));
    app.add_option("--lines", lines, "lines relayed, one at a time")->check(CLI::Range(0, 100000));
    app.add_flag("--web", web, "browser clients, through the web port");
    CLI11_PARSE(app, argc, argv);

    if (!hNet::NetworkRuntime::Initialize()) {
        return 2;
    }
    hNet::RaiseOpenFileLimit();
    std::cout.setstate(std::ios::badbit);  // the server's console lines
    RoomServer server;
    server.ServeWeb(hNet::Endpoint("127.0.0.1", 0), ChatPage());
    if (!server.Initialize(hNet::Endpoint("127.0.0.1", 0))) {
        return 2;
    }
    const std::uint16_t port = server.Port(web);
    std::deque<hNet::FramedClient> clients;
    for (int n = 0; n < clientCount; ++n) {
        hNet::ConnectOptions options;
        options.sourceAddress = hNet::LoopbackPerson(static_cast<std::size_t>(n));
        options.webSocket = web;
        std::string error;
        if (!clients.emplace_back().Connect("127.0.0.1", port, error, options) ||
            !Settle(server, clients, 1000)) {
            std::cerr << "client " << n << ": " << error << std::endl;
            return 1;
        }
    }
    const auto line = hNet::MakeTextPacket(hNet::PacketType::ChatMessage, std::string(64, 'x'));
    for (int n = 0; n < lines; ++n) {
        clients[static_cast<std::size_t>(n % clientCount)].Queue(line);
        if (!Settle(server, clients, 1000)) {
            std::cerr << "line " << n << " was not relayed to everyone" << std::endl;
            return 1;
        }
    }
    std::cerr << "room-cost: " << clientCount << (web ? " browser" : " terminal") << " clients, "
              << lines << " lines, " << static_cast<long long>(lines) * clientCount << " deliveries"
              << std::endl;
    return 0;
}
