// Arbitrary bytes written by a client into a live connection of a real server, cut
// into pieces at points derived from the input, with the server turning between the
// pieces. Any cut must yield the same packets and the same ending as one whole write,
// and a second client on the same server must stay untouched. Built twice: the fed
// client is a terminal's connection, or a browser's whose bytes are WebSocket frames.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "Endpoint.h"
#include "Harness.h"
#include "MyServer.h"
#include "NetworkRuntime.h"
#include "support/TestServer.h"

namespace {

using harness::Require;

// What the server made of the stream.
struct Outcome {
    std::vector<std::vector<char>> bodies;
    std::string closeReason;
    bool operator==(const Outcome& other) const {
        return bodies == other.bodies && closeReason == other.closeReason;
    }
};

using ChatServer = support::TestServer<MyServer>;

constexpr hNet::Wire FedWire = hNet::Wire::HALVEX_FED_WIRE;

// The connection being fed, and what the server made of it.
struct FedConnection {
    SOCKET handle = INVALID_SOCKET;
    Outcome outcome;
    bool open = false;
};

FedConnection fed;

ChatServer& TheServer() {
    static ChatServer* server = [] {
        harness::SilenceConsole();
        Require(hNet::NetworkRuntime::Initialize(), "the socket library starts");
        auto* made = new ChatServer;
        // Nobody connects here; the listening entry only gives each turn its usual shape.
        Require(made->Listen() != 0, "the server listens");
        // A second a turn: the receive budget refills faster than one field a turn can
        // spend it, so the cut of the stream alone decides what happens.
        made->clock = [now = std::int64_t{0}]() mutable { return now += 1000; };
        // Nor may a frame fed a byte a turn run out of time.
        made->frameTimeLimitMs = std::numeric_limits<std::int64_t>::max() / 2;
        made->onPacket = [made](std::shared_ptr<hNet::Packet> packet, hNet::Connection& from) {
            if (from.socket.GetHandle() == fed.handle) {
                fed.outcome.bodies.push_back(packet->buffer);
            }
            return made->MyServer::ProcessPacket(std::move(packet), from);
        };
        made->onDisconnect = [](hNet::Connection& lost, const std::string& reason) {
            if (lost.socket.GetHandle() == fed.handle) {
                fed.outcome.closeReason = reason;
                fed.open = false;
            }
        };
        return made;
    }();
    return *server;
}

// Piece lengths from a small generator seeded by the input's first byte; its low bits
// pick how long pieces may grow, from single bytes to the whole stream.
class Cutter {
  public:
    explicit Cutter(std::uint8_t seed)
        : state(0x9E3779B9u ^ (seed * 0x01000193u)), longest(Longest[seed % 8]) {}
    std::size_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return 1 + state % longest;
    }

  private:
    static constexpr std::size_t Longest[8] = {1, 2, 3, 7, 16, 100, 1000, 1 << 20};
    std::uint32_t state;
    std::size_t longest;
};

struct Pair {
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
};

Pair MakePair() {
    int ends[2] = {-1, -1};
    Require(socketpair(AF_UNIX, SOCK_STREAM, 0, ends) == 0, "a socket pair can be made");
    Pair pair{ends[0], ends[1]};
    Require(hNet::Socket(hNet::IpVersion::IPv4, pair.client).SetBlocking(false) ==
                    hNet::NetResult::Success &&
                hNet::Socket(hNet::IpVersion::IPv4, pair.server).SetBlocking(false) ==
                    hNet::NetResult::Success,
            "socket pair ends become non-blocking");
    return pair;
}

// Reads and drops whatever the server sent, so that no queue of its fills up.
void Drain(SOCKET client) {
    char sink[16384];
    while (recv(client, sink, sizeof(sink), 0) > 0) {
    }
}

Outcome Feed(const std::uint8_t* stream, std::size_t size, Cutter cutter) {
    static const hNet::Endpoint bystanderEndpoint("127.0.0.1", 50001);
    static const hNet::Endpoint feederEndpoint("127.0.0.1", 50002);
    ChatServer& server = TheServer();
    const Pair bystander = MakePair();
    const Pair feeder = MakePair();
    fed = FedConnection{feeder.server, Outcome(), true};
    server.AddConnection(hNet::Socket(hNet::IpVersion::IPv4, bystander.server), bystanderEndpoint);
    server.AddConnection(hNet::Socket(hNet::IpVersion::IPv4, feeder.server), feederEndpoint,
                         FedWire);

    std::size_t written = 0;
    bool ended = false;
    // Each turn takes at most one field, so this is ample for any cut of the stream.
    const std::size_t turnLimit = 4 * size + 64;
    for (std::size_t turn = 0; turn < turnLimit && fed.open; ++turn) {
        if (written < size) {
            const std::size_t piece = std::min(cutter.Next(), size - written);
            const auto sent = send(feeder.client, stream + written, piece, MSG_NOSIGNAL);
            written += sent > 0 ? static_cast<std::size_t>(sent) : 0;
        } else if (!ended) {
            // A half close: the server reads every byte before it sees the end.
            shutdown(feeder.client, SHUT_WR);
            ended = true;
        }
        server.Frame();
        Drain(feeder.client);
        Drain(bystander.client);
    }
    Require(!fed.open, "the fed connection ends once its stream has ended");
    Require(server.connections.size() == 1 &&
                server.connections[0].socket.GetHandle() == bystander.server,
            "the other client stays connected");
    close(feeder.client);
    close(bystander.client);
    for (int turn = 0; turn < 100 && !server.connections.empty(); ++turn) {
        server.Frame();
    }
    Require(server.connections.empty() && server.masterFds.size() == 1,
            "a client that hangs up is removed");
    Require(server.UserNames().empty(), "names leave with their connections");
    return fed.outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const Outcome cut = Feed(data + 1, size - 1, Cutter(data[0]));
    const Outcome whole = Feed(data + 1, size - 1, Cutter(7));
    Require(cut == whole, "any cut of the stream yields the same packets and the same end");
    return 0;
}
