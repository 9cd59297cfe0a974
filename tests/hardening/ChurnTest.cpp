// Thousands of clients come and go, up to a couple of hundred at once: orderly ones
// that chat, name themselves and leave, and ones that reset, stop mid-frame, never read
// or send malformed frames. Afterwards the server must hold no connection, no
// descriptor and no memory more than before, and every orderly client must have got
// every chat line relayed while it was connected, in order.
//
// One thread drives the server and all clients in lock-step, so the server's own record
// of what it relayed can be compared with what each client received. Set
// HALVEX_SOAK_TARGET=host:port to drive a server running elsewhere instead; the checks
// that need the server's state are then left out.
//
// Size: HALVEX_SOAK_CONNECTIONS (10000), HALVEX_SOAK_CONCURRENCY (200),
// HALVEX_SOAK_SEED (1), HALVEX_SOAK_SECONDS (time limit, 600).

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "FramedClient.h"
#include "Harness.h"
#include "MyServer.h"
#include "ProcessState.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using hNet::MakeTextPacket;
using hNet::Packet;
using hNet::PacketType;
using ChatServer = support::TestServer<MyServer>;

int EnvInt(const char* name, int fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::atoi(value) : fallback;
}

struct Config {
    int connections = EnvInt("HALVEX_SOAK_CONNECTIONS", 10000);
    int concurrency = EnvInt("HALVEX_SOAK_CONCURRENCY", 200);
    unsigned seed = static_cast<unsigned>(EnvInt("HALVEX_SOAK_SEED", 1));
    Clock::duration timeLimit = std::chrono::seconds(EnvInt("HALVEX_SOAK_SECONDS", 600));
};

std::string TextOf(const Packet& packet) {
    Packet reader = packet;
    reader.extractionOffset = 2;
    std::string text;
    reader >> text;
    return text;
}

// Every chat line the server relays, and where each connection's share of them begins.
struct Observation {
    std::vector<std::string> relayed;
    std::unordered_map<std::string, std::size_t> firstLineOf;
    std::map<std::string, int> closeReasons;

    void Watch(ChatServer& server) {
        server.onConnect = [this](hNet::Connection& connection) {
            firstLineOf[connection.description] = relayed.size();
        };
        server.onDisconnect = [this](hNet::Connection& connection, const std::string& reason) {
            firstLineOf.erase(connection.description);
            ++closeReasons[reason];
        };
        server.onPacket = [this, &server](std::shared_ptr<Packet> packet,
                                          hNet::Connection& connection) {
            const bool handled = server.MyServer::ProcessPacket(packet, connection);
            if (handled && packet->GetPacketType() == PacketType::ChatMessage) {
                relayed.push_back(TextOf(*packet));
            }
            return handled;
        };
    }
};

// What every client can reach while it takes its turn.
struct World {
    std::string host;
    std::uint16_t port = 0;
    ChatServer* server = nullptr;  // null when the server is another process
    Observation observed;
    std::mt19937 random;
    long tick = 0;
    bool spawningDone = false;
    Clock::duration patience = std::chrono::seconds(20);
    std::vector<std::string> failures;

    int Uniform(int low, int high) { return std::uniform_int_distribution<>(low, high)(random); }
    bool Chance(int percent) { return Uniform(1, 100) <= percent; }
    void Fail(std::string what) { failures.push_back(std::move(what)); }

    // "L<id>.<seq> " and a payload mostly short, sometimes long.
    std::string Line(int id, int seq) {
        const int length = Chance(70)   ? Uniform(0, 40)
                           : Chance(85) ? Uniform(40, 400)
                                        : Uniform(400, 2000);
        std::string text = "L" + std::to_string(id) + "." + std::to_string(seq) + " ";
        for (int i = 0; i < length; ++i) {
            text += static_cast<char>(Uniform(' ', '~'));
        }
        return text;
    }
};

// Sender id and sequence number of a client's line; false for anything else.
bool ParseLine(const std::string& text, int& id, int& seq) {
    return text.size() > 1 && text[0] == 'L' && std::sscanf(text.c_str(), "L%d.%d", &id, &seq) == 2;
}

std::string LocalDescription(SOCKET handle) {
    sockaddr_in local{};
    socklen_t length = sizeof(local);
    getsockname(handle, reinterpret_cast<sockaddr*>(&local), &length);
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &local.sin_addr, ip, sizeof(ip));
    return "[" + std::string(ip) + ":" + std::to_string(ntohs(local.sin_port)) + "]";
}

class Client {
  public:
    virtual ~Client() = default;
    // One tick of the client's life; true once it has ended.
    virtual bool Step(World& world) = 0;
};

// Greeted, chats, maybe names itself, then says a last line and leaves once that line
// has come back: by then every line relayed before it has reached this client too.
class OrderlyClient : public Client {
  public:
    OrderlyClient(World& world, int id) : id(id) {
        std::string error;
        hNet::ConnectOptions person;
        person.sourceAddress = support::NextPersonAddress();
        if (!client.Connect(world.host, world.port, error, person)) {
            world.Fail("connect: " + error);
            state = State::Done;
            return;
        }
        description = LocalDescription(client.Handle());
        const long born = world.tick;
        leaveTick = born + world.Uniform(20, 600);
        for (int n = world.Uniform(0, 4); n > 0; --n) {
            lineTicks.push_back(world.Uniform(static_cast<int>(born), static_cast<int>(leaveTick)));
        }
        std::sort(lineTicks.begin(), lineTicks.end(), std::greater<>());
        if (world.Chance(30)) {
            nameTick = world.Uniform(static_cast<int>(born), static_cast<int>(leaveTick));
        }
        deadline = Clock::now() + world.patience;
    }

    bool Step(World& world) override {
        if (state == State::Done) {
            return true;
        }
        Read(world);
        if (state == State::Chatting) {
            Chat(world);
        }
        if (state != State::Done && client.HasUnsent()) {
            client.Flush(0);
        }
        if (state != State::Done && !client.IsOpen()) {
            world.Fail(description + " lost: " + client.CloseReason());
            state = State::Done;
        }
        if (state != State::Done && Clock::now() > deadline) {
            world.Fail(description + " waited too long");
            client.Close();
            state = State::Done;
        }
        return state == State::Done;
    }

  private:
    enum class State { Greeting, Chatting, Leaving, Done };

    void Read(World& world) {
        while (state != State::Done) {
            const auto packet = client.Poll();
            if (packet == nullptr) {
                return;
            }
            if (packet->GetPacketType() != PacketType::ChatMessage) {
                continue;
            }
            const std::string text = TextOf(*packet);
            if (state == State::Greeting) {
                ExpectGreeting(world, text);
            } else if (text[0] == 'L') {
                received.push_back(text);
                if (state == State::Leaving && text == sent.back()) {
                    Verify(world);
                    client.Close();
                    state = State::Done;
                }
            }
        }
    }

    void ExpectGreeting(World& world, const std::string& text) {
        static const char* const greetings[] = {"Connection to server successful.",
                                                "Welcome to Halvex chat server!"};
        const std::string expected = greetings[greetingsSeen];
        if (text.size() < expected.size() ||
            text.compare(text.size() - expected.size(), expected.size(), expected) != 0) {
            world.Fail(description + " greeted with: " + text);
        }
        if (++greetingsSeen == 2) {
            state = State::Chatting;
            deadline = Clock::time_point::max();
        }
    }

    void Chat(World& world) {
        while (!lineTicks.empty() && lineTicks.back() <= world.tick) {
            lineTicks.pop_back();
            Say(world.Line(id, static_cast<int>(sent.size())));
        }
        if (nameTick >= 0 && nameTick <= world.tick) {
            static const char* const common[] = {"ann", "bob", "cid", "dee", ""};
            const std::string name =
                world.Chance(50) ? common[world.Uniform(0, 4)] : "user" + std::to_string(id);
            client.Queue(MakeTextPacket(PacketType::SetUserName, name));
            nameTick = -1;
        }
        if (world.tick >= leaveTick) {
            Say("L" + std::to_string(id) + "." + std::to_string(sent.size()) + " bye");
            state = State::Leaving;
            deadline = Clock::now() + world.patience;
        }
    }

    void Say(const std::string& text) {
        sent.push_back(text);
        client.Queue(MakeTextPacket(PacketType::ChatMessage, text));
    }

    void Verify(World& world) {
        std::vector<std::string> own;
        std::map<int, int> lastSeq;
        for (const std::string& text : received) {
            int sender = 0;
            int seq = 0;
            if (!ParseLine(text, sender, seq)) {
                world.Fail(description + " got a foreign line: " + text);
                continue;
            }
            if (sender == id) {
                own.push_back(text);
            }
            const auto last = lastSeq.find(sender);
            if (last != lastSeq.end() && seq != last->second + 1) {
                world.Fail(description + " got line " + std::to_string(seq) + " of client " +
                           std::to_string(sender) + " after line " + std::to_string(last->second));
            }
            lastSeq[sender] = seq;
        }
        if (own != sent) {
            world.Fail(description + " did not get its own lines back in order");
        }
        if (world.server != nullptr) {
            CompareWithServer(world);
        }
    }

    // Exactly the lines the server relayed from its acceptance up to the last line.
    void CompareWithServer(World& world) {
        const auto& relayed = world.observed.relayed;
        const auto first = world.observed.firstLineOf.find(description);
        if (first == world.observed.firstLineOf.end()) {
            world.Fail(description + " unknown to the server");
            return;
        }
        const auto bye = std::find(relayed.begin() + static_cast<std::ptrdiff_t>(first->second),
                                   relayed.end(), sent.back());
        const std::vector<std::string> expected(
            relayed.begin() + static_cast<std::ptrdiff_t>(first->second),
            bye == relayed.end() ? bye : bye + 1);
        if (received != expected) {
            world.Fail(description + " got " + std::to_string(received.size()) +
                       " lines, the server relayed " + std::to_string(expected.size()) +
                       " while it was connected");
        }
    }

    int id;
    hNet::FramedClient client;
    std::string description;
    State state = State::Greeting;
    int greetingsSeen = 0;
    long leaveTick = 0;
    long nameTick = -1;
    std::vector<long> lineTicks;  // latest first
    std::vector<std::string> sent;
    std::vector<std::string> received;
    Clock::time_point deadline;
};

enum class Misbehaviour { Reset, MidFrame, NeverRead, Malformed };

// A client on a raw socket that breaks the rules in one way.
class RawClient : public Client {
  public:
    RawClient(World& world, int id, Misbehaviour kind) : id(id), kind(kind) {
        socket.Create();
        if (kind == Misbehaviour::NeverRead) {
            // A small window makes the server's queue for it grow soon.
            support::SetBuffer(socket, SO_RCVBUF, 4096);
        }
        socket.Bind(hNet::Endpoint(support::NextPersonAddress().c_str(), 0));
        if (socket.Connect(hNet::Endpoint(world.host.c_str(), world.port)) !=
                hNet::NetResult::Success ||
            socket.SetBlocking(true) != hNet::NetResult::Success) {
            world.Fail("raw connect: " + hNet::LastSocketErrorText());
            socket.Close();
            done = true;
            return;
        }
        const long born = world.tick;
        actTick = born + world.Uniform(0, 300);
        endTick = kind == Misbehaviour::NeverRead ? born + world.Uniform(1000, 8000)
                                                  : actTick + world.Uniform(0, 300);
        // Some stay until the last client has come, so that the server's queue for them
        // may reach its bound.
        lingers = kind == Misbehaviour::NeverRead && world.Chance(5);
        deadline = Clock::now() + world.patience + std::chrono::seconds(30);
    }

    bool Step(World& world) override {
        if (done) {
            return true;
        }
        if (world.tick >= actTick) {
            Act(world);
        }
        if (kind == Misbehaviour::Malformed) {
            WaitToBeClosed(world);
        } else if (lingers ? world.spawningDone : world.tick >= endTick) {
            const bool reset =
                kind == Misbehaviour::Reset || (kind == Misbehaviour::MidFrame && world.Chance(50));
            if (reset) {
                support::ResetAndClose(socket);
            } else {
                socket.Close();
            }
            done = true;
        }
        return done;
    }

  private:
    void Act(World& world) {
        switch (kind) {
            case Misbehaviour::Reset:
                if (world.Chance(50)) {
                    SendLine(world);
                }
                actTick = endTick + 1;
                break;
            case Misbehaviour::MidFrame: {
                if (world.Chance(50)) {
                    SendLine(world);
                }
                const std::string frame = support::Frame(
                    MakeTextPacket(PacketType::ChatMessage, world.Line(id, seq))->buffer);
                Send(frame.substr(0, static_cast<std::size_t>(
                                         world.Uniform(1, static_cast<int>(frame.size()) - 1))));
                actTick = endTick + 1;
                break;
            }
            case Misbehaviour::NeverRead:
                SendLine(world);
                actTick = world.tick + world.Uniform(100, 2000);
                break;
            case Misbehaviour::Malformed:
                Send(MalformedFrame(world));
                actTick = std::numeric_limits<long>::max();
                break;
        }
    }

    std::string MalformedFrame(World& world) {
        switch (world.Uniform(0, 4)) {
            case 0:  // a code the chat does not know
                return support::Frame(std::string("\x00\x07", 2));
            case 1:  // a string count past the end of the body
                return support::Frame(std::string("\x00\x01\x00\x00\x00\x10hi", 8));
            case 2:  // a size above the largest body
                return std::string("\x20\x01", 2);
            case 3:  // a body too short for its type code
                return std::string("\x00\x01\x00", 3);
            default:  // a code only the server sends
                return support::Frame(std::string("\x00\x06\x00\x00\x00\x00", 6));
        }
    }

    void SendLine(World& world) {
        Send(
            support::Frame(MakeTextPacket(PacketType::ChatMessage, world.Line(id, seq++))->buffer));
    }

    void Send(const std::string& bytes) {
        send(socket.GetHandle(), bytes.data(), static_cast<int>(bytes.size()), MSG_NOSIGNAL);
    }

    void WaitToBeClosed(World& world) {
        char sink[4096];
        for (;;) {
            const auto received = recv(socket.GetHandle(), sink, sizeof(sink), MSG_DONTWAIT);
            if (received > 0) {
                continue;
            }
            if (received == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                socket.Close();
                done = true;
            } else if (Clock::now() > deadline) {
                world.Fail("a client that sent a malformed frame was not closed");
                socket.Close();
                done = true;
            }
            return;
        }
    }

    int id;
    Misbehaviour kind;
    hNet::Socket socket;
    int seq = 0;
    long actTick = 0;
    long endTick = 0;
    bool lingers = false;
    bool done = false;
    Clock::time_point deadline;
};

struct Tally {
    int orderly = 0;
    int reset = 0;
    int midFrame = 0;
    int neverRead = 0;
    int malformed = 0;
    long ticks = 0;
};

std::unique_ptr<Client> Spawn(World& world, int id, Tally& tally) {
    const int roll = world.Uniform(1, 100);
    if (roll <= 60) {
        ++tally.orderly;
        return std::make_unique<OrderlyClient>(world, id);
    }
    Misbehaviour kind = Misbehaviour::Malformed;
    if (roll <= 70) {
        kind = Misbehaviour::Reset;
        ++tally.reset;
    } else if (roll <= 80) {
        kind = Misbehaviour::MidFrame;
        ++tally.midFrame;
    } else if (roll <= 88) {
        kind = Misbehaviour::NeverRead;
        ++tally.neverRead;
    } else {
        ++tally.malformed;
    }
    return std::make_unique<RawClient>(world, id, kind);
}

// The kernel's poll set watches exactly the sockets the server has entries for.
void CheckPollInterest(World& world) {
    std::vector<int> expected;
    for (const WSAPOLLFD& entry : world.server->masterFds) {
        expected.push_back(entry.fd);
    }
    std::sort(expected.begin(), expected.end());
    if (hardening::KernelPollInterest() != expected) {
        world.Fail("the kernel's poll set differs from the open connections at tick " +
                   std::to_string(world.tick));
    }
}

// Runs the churn to its end; the world keeps what went wrong.
Tally Churn(const Config& config, World& world) {
    Tally tally;
    std::vector<std::unique_ptr<Client>> clients;
    const auto stop = Clock::now() + config.timeLimit;
    int spawned = 0;
    while (spawned < config.connections || !clients.empty()) {
        if (Clock::now() > stop) {
            world.Fail("time limit reached with " + std::to_string(clients.size()) +
                       " clients left");
            break;
        }
        if (spawned < config.connections && static_cast<int>(clients.size()) < config.concurrency) {
            clients.push_back(Spawn(world, spawned++, tally));
            world.spawningDone = spawned == config.connections;
        }
        if (world.server != nullptr) {
            world.server->Frame();
            if (world.tick % 1000 == 0) {
                CheckPollInterest(world);
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t i = 0; i < clients.size();) {
            if (clients[i]->Step(world)) {
                clients[i] = std::move(clients.back());
                clients.pop_back();
            } else {
                ++i;
            }
        }
        ++world.tick;
    }
    tally.ticks = world.tick;
    return tally;
}

// Fills the server to the full crowd once, so that its arrays have grown to their
// working size before the memory baseline is taken.
void WarmUp(ChatServer& server, std::uint16_t port, int crowdSize) {
    std::vector<std::unique_ptr<hNet::FramedClient>> crowd;
    for (int i = 0; i < crowdSize; ++i) {
        auto client = std::make_unique<hNet::FramedClient>();
        std::string error;
        hNet::ConnectOptions person;
        person.sourceAddress = support::NextPersonAddress();
        ASSERT_TRUE(client->Connect("127.0.0.1", port, error, person)) << error;
        client->Queue(MakeTextPacket(PacketType::SetUserName, "w" + std::to_string(i)));
        crowd.push_back(std::move(client));
        server.Frame();
    }
    support::TurnUntil(server, [&] {
        for (auto& client : crowd) {
            while (client->Poll() != nullptr) {
            }
        }
        return server.UserNames().size() == crowd.size();
    });
    ASSERT_EQ(server.UserNames().size(), crowd.size());
    for (auto& client : crowd) {
        client->Close();
    }
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.connections.empty(); }));
}

void Report(const Config& config, const Tally& tally, const World& world,
            std::chrono::duration<double> took) {
    std::printf(
        "churn: %d connections (%d orderly, %d reset, %d mid-frame, %d never-read, %d "
        "malformed), up to %d at once, seed %u, %ld turns, %.1f s\n",
        config.connections, tally.orderly, tally.reset, tally.midFrame, tally.neverRead,
        tally.malformed, config.concurrency, config.seed, tally.ticks, took.count());
    if (world.server != nullptr) {
        std::printf("churn: %zu chat lines relayed; closes:", world.observed.relayed.size());
        for (const auto& [reason, count] : world.observed.closeReasons) {
            std::printf(" [%s] %d", reason.c_str(), count);
        }
        std::printf("\n");
    }
    for (std::size_t i = 0; i < world.failures.size() && i < 20; ++i) {
        std::printf("failure: %s\n", world.failures[i].c_str());
    }
}

TEST(Churn, LeavesNothingBehindAndDeliversEveryLine) {
    const Config config;
    harness::SilenceConsole();
    hNet::RaiseOpenFileLimit();
    World world;
    world.random.seed(config.seed);

    ChatServer server;
    const char* target = std::getenv("HALVEX_SOAK_TARGET");
    if (target != nullptr && *target != '\0') {
        const std::string where(target);
        const auto colon = where.rfind(':');
        ASSERT_NE(colon, std::string::npos) << "HALVEX_SOAK_TARGET is host:port";
        world.host = where.substr(0, colon);
        world.port = static_cast<std::uint16_t>(std::atoi(where.c_str() + colon + 1));
        world.patience = std::chrono::seconds(120);
    } else {
        world.observed.Watch(server);
        world.host = "127.0.0.1";
        world.port = server.Listen();
        ASSERT_NE(world.port, 0);
        world.server = &server;
        WarmUp(server, world.port, config.concurrency + config.concurrency / 8);
    }
    const int descriptorsBefore = hardening::OpenDescriptorCount();
    const std::size_t heapBefore = hardening::HeapInUse();

    const auto start = Clock::now();
    const Tally tally = Churn(config, world);
    if (world.server != nullptr) {
        support::TurnUntil(
            server, [&] { return server.connections.empty(); }, 10000);
        // The addresses of the last clients are remembered until their burst refills.
        const auto forgotten = Clock::now() + std::chrono::seconds(20);
        support::TurnUntil(
            server, [&] { return server.addresses.Size() == 0 || Clock::now() > forgotten; },
            100000);
    }
    Report(config, tally, world, Clock::now() - start);

    EXPECT_TRUE(world.failures.empty()) << world.failures.size() << " failures";
    EXPECT_EQ(hardening::OpenDescriptorCount(), descriptorsBefore);
    if (world.server != nullptr) {
        EXPECT_TRUE(server.connections.empty());
        EXPECT_EQ(server.masterFds.size(), 1u);
        // No client's registration outlives it in the kernel's poll set.
        EXPECT_EQ(hardening::KernelPollInterest(), std::vector<int>{server.masterFds[0].fd});
        EXPECT_TRUE(server.UserNames().empty());
        auto& reasons = world.observed.closeReasons;
        EXPECT_EQ(reasons["Failed to process incoming packet."] +
                      reasons["Packet size too large."] + reasons["Packet size too small."],
                  tally.malformed);
        // The record of relayed lines belongs to the test, not the server.
        std::vector<std::string>().swap(world.observed.relayed);
        const std::size_t heapAfter = hardening::HeapInUse();
        std::printf("churn: heap in use %zu bytes before, %zu after\n", heapBefore, heapAfter);
        EXPECT_LE(heapAfter, heapBefore + 64 * 1024);
    }
}

}  // namespace
