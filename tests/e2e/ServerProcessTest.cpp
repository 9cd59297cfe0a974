#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>

#include "Endpoint.h"
#include "FramedClient.h"
#include "ServerProcess.h"
#include "Socket.h"
#include "WireFormat.h"
#include "support/Loopback.h"

namespace {

using hNet::MakeTextPacket;
using support::BodyOf;
using testing::HasSubstr;

constexpr hNet::PacketType ChatMessage = hNet::PacketType::ChatMessage;
const char* const Banner = "=============== Halvex Chat Server =============== \n";
const char* const StartUp =
    "Socket successfully created.\nServer initialized.\nListening on port 6112.\n"
    "Listening for browsers on port 8080.\n\n";
// How long a server may take to start (or to fail to): a server run under an emulator
// may first have to bring up the emulator's own services.
const int StartMs = 20000;

// The largest integer array: 2,046 values, 2,047 console lines and some 55 KB of them.
std::shared_ptr<hNet::Packet> LargestArray() {
    auto packet = std::make_shared<hNet::Packet>(hNet::PacketType::IntegerArray);
    *packet << 2046u;
    for (std::uint32_t i = 0; i < 2046; ++i) {
        *packet << 4294967295u - i;
    }
    return packet;
}
const std::size_t ArrayLines = 2047;

// The server's console lines after its start-up lines.
std::vector<std::string> LinesAfterStartUp(const std::string& output) {
    std::istringstream rest(output.substr(output.find(StartUp) + std::string(StartUp).size()));
    std::vector<std::string> lines;
    for (std::string line; std::getline(rest, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Waits until the client has been sent `text` as a chat line.
bool Relayed(hNet::FramedClient& client, const std::string& text) {
    const std::string wanted = BodyOf(MakeTextPacket(ChatMessage, text));
    for (int packet = 0; packet < 100; ++packet) {
        const std::string body = BodyOf(client.Receive(10000));
        if (body == wanted) {
            return true;
        }
        if (body == "(nothing)") {
            return false;
        }
    }
    return false;
}

TEST(ServerProcess, StartsAndIgnoresItsArguments) {
    PortLock lock;
    ServerProcess server({"--port", "7000", "extra"});
    ASSERT_TRUE(server.WaitForOutput(StartUp, StartMs)) << server.Output() << server.Errors();
    EXPECT_EQ(server.Output(), std::string(Banner) + StartUp);
    EXPECT_EQ(server.Errors(), "");
}

TEST(ServerProcess, RelaysAChatBetweenTwoClients) {
    PortLock lock;
    ServerProcess server;
    ASSERT_TRUE(server.WaitForOutput(StartUp, StartMs)) << server.Errors();
    hNet::FramedClient ann;
    hNet::FramedClient bob;
    std::string error;
    ASSERT_TRUE(ann.Connect("127.0.0.1", hNet::ChatPort, error)) << error;
    ASSERT_TRUE(server.WaitForOutput("New connection accepted.\n", 5000));
    ASSERT_TRUE(bob.Connect("127.0.0.1", hNet::ChatPort, error)) << error;
    for (int greeting = 0; greeting < 2; ++greeting) {
        EXPECT_THAT(BodyOf(bob.Receive(5000)), HasSubstr("[SERVER]:"));
    }
    EXPECT_EQ(BodyOf(bob.Receive(5000)), BodyOf(MakeTextPacket(hNet::PacketType::UserList, "")));
    for (int notice = 0; notice < 5; ++notice) {  // greetings, list, arrival, UserConnected
        EXPECT_NE(ann.Receive(5000), nullptr);
    }

    const auto line = MakeTextPacket(ChatMessage, "hello bob");
    ASSERT_TRUE(ann.Send(line));
    EXPECT_EQ(BodyOf(bob.Receive(5000)), BodyOf(line));
    EXPECT_EQ(BodyOf(ann.Receive(5000)), BodyOf(line));
    EXPECT_TRUE(server.WaitForOutput(" Message: hello bob\n", 5000)) << server.Output();
    ann.Close();
    bob.Close();
}

// The largest line each way crosses in frames with a 16-bit length.
TEST(ServerProcess, RelaysBetweenABrowserAndATerminalClient) {
    PortLock lock;
    ServerProcess server;
    ASSERT_TRUE(server.WaitForOutput(StartUp, StartMs)) << server.Errors();
    hNet::FramedClient browser;
    hNet::FramedClient terminal;
    hNet::ConnectOptions web;
    web.webSocket = true;
    std::string error;
    ASSERT_TRUE(browser.Connect("127.0.0.1", 8080, error, web)) << error;
    EXPECT_THAT(BodyOf(browser.Receive(10000)), HasSubstr("Connection to server successful."))
        << browser.CloseReason();
    ASSERT_TRUE(terminal.Connect("127.0.0.1", 6112, error)) << error;
    EXPECT_THAT(BodyOf(terminal.Receive(10000)), HasSubstr("Connection to server successful."));

    const std::string fromBrowser(hNet::MaxTextBytes, 'b');
    ASSERT_TRUE(browser.Send(MakeTextPacket(ChatMessage, fromBrowser)));
    EXPECT_TRUE(Relayed(terminal, fromBrowser));
    const std::string fromTerminal(hNet::MaxTextBytes, 't');
    ASSERT_TRUE(terminal.Send(MakeTextPacket(ChatMessage, fromTerminal)));
    EXPECT_TRUE(Relayed(browser, fromBrowser));
    EXPECT_TRUE(Relayed(browser, fromTerminal)) << browser.CloseReason();
    browser.Close();
    terminal.Close();
}

// Two clients chat 2,000 lines of 600 bytes and a third sends three of the largest integer
// arrays, about 1.4 MB of console lines in all, while nobody reads the server's console.
TEST(ServerProcess, AConsoleThatStopsReadingHoldsUpNobody) {
    PortLock lock;
    ServerProcess server;
    ASSERT_TRUE(server.WaitForOutput(StartUp, StartMs)) << server.Errors();
    hNet::FramedClient ann;
    hNet::FramedClient bob;
    hNet::FramedClient numbers;
    std::string error;
    // Three people, each with a receive budget of their own.
    for (hNet::FramedClient* client : {&ann, &bob, &numbers}) {
        hNet::ConnectOptions person;
        person.sourceAddress = support::NextPersonAddress();
        ASSERT_TRUE(client->Connect("127.0.0.1", hNet::ChatPort, error, person)) << error;
    }
    const int linesEach = 1000;
    for (int n = 0; n < linesEach; ++n) {
        for (char sender : {'a', 'b'}) {
            std::string text = std::string(1, sender) + std::to_string(n) + " ";
            text.resize(600, '.');
            (sender == 'a' ? ann : bob).Stage(MakeTextPacket(ChatMessage, text));
        }
    }
    for (int array = 0; array < 3; ++array) {
        numbers.Stage(LargestArray());
    }

    // Each reader checks that every line arrives, in order per sender. The flood limit
    // lets each sender's lines through at 20 a second after the first 128.
    struct Reader {
        hNet::FramedClient* client;
        int next[2];
    };
    Reader readers[] = {{&ann, {0, 0}}, {&bob, {0, 0}}};
    const auto allRead = [&] {
        return std::all_of(std::begin(readers), std::end(readers), [&](const Reader& r) {
            return r.next[0] == linesEach && r.next[1] == linesEach;
        });
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(180);
    while (!allRead() && std::chrono::steady_clock::now() < deadline) {
        for (hNet::FramedClient* client : {&ann, &bob, &numbers}) {
            client->Flush(0);
        }
        for (Reader& reader : readers) {
            for (auto packet = reader.client->Receive(5); packet; packet = reader.client->Poll()) {
                const std::string body = BodyOf(packet);
                if (body.size() < 7 || body[1] != 1 || (body[6] != 'a' && body[6] != 'b')) {
                    continue;
                }
                int& next = reader.next[body[6] - 'a'];
                ASSERT_EQ(body.substr(7, body.find(' ') - 7), std::to_string(next));
                ++next;
            }
        }
    }
    ASSERT_TRUE(allRead()) << "not every line reached both clients";
    hNet::FramedClient newcomer;
    ASSERT_TRUE(newcomer.Connect("127.0.0.1", hNet::ChatPort, error)) << error;
    EXPECT_THAT(BodyOf(newcomer.Receive(10000)), HasSubstr("Connection to server successful."));

    // The console takes lines again: what was kept, how much was not, then what follows.
    ASSERT_TRUE(server.WaitForOutput("Console fell behind: ", 60000));
    ASSERT_TRUE(ann.Send(MakeTextPacket(ChatMessage, "after the gap")));
    ASSERT_TRUE(server.WaitForOutput(" Message: after the gap\n", 10000));
    const std::vector<std::string> lines = LinesAfterStartUp(server.Output());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_THAT(lines.back(), testing::EndsWith(" Message: after the gap"));
    const std::string& notice = lines[lines.size() - 2];
    std::size_t dropped = 0;
    ASSERT_EQ(std::sscanf(notice.c_str(), "Console fell behind: %zu lines dropped.", &dropped), 1)
        << notice;
    // Four arrivals, each sender's one flood notice, the chat lines and the arrays.
    const std::size_t printed = 4 + 2 + 2 * linesEach + 3 * ArrayLines;
    EXPECT_EQ(lines.size() - 2 + dropped, printed);
    EXPECT_GT(dropped, 0u);
    EXPECT_EQ(server.Errors(), "");
}

// A service manager stops the server with SIGTERM: whatever its console holds is written
// first, and it still ends by the signal.
TEST(ServerProcess, WritesItsConsoleBeforeAStopEndsIt) {
    if (std::getenv("HALVEX_SERVER_COMMAND") != nullptr) {
        GTEST_SKIP() << "a Windows server hears of a stop through its console window only";
    }
    PortLock lock;
    ServerProcess server;
    ASSERT_TRUE(server.WaitForOutput(StartUp, StartMs)) << server.Errors();
    hNet::FramedClient numbers;
    std::string error;
    ASSERT_TRUE(numbers.Connect("127.0.0.1", hNet::ChatPort, error)) << error;
    // More than a pipe holds, so that the console still holds lines at the stop.
    ASSERT_TRUE(numbers.Send(LargestArray()));
    ASSERT_TRUE(numbers.Send(LargestArray()));
    ASSERT_TRUE(numbers.Send(MakeTextPacket(ChatMessage, "last")));
    ASSERT_TRUE(Relayed(numbers, "last"));

    server.Terminate();
    EXPECT_EQ(server.WaitForExit(10000), 128 + SIGTERM);
    const std::vector<std::string> lines = LinesAfterStartUp(server.Output());
    ASSERT_EQ(lines.size(), 1 + 2 * ArrayLines + 1);
    EXPECT_EQ(lines[2 * ArrayLines], "Element[2045] - " + std::to_string(4294967295u - 2045));
    EXPECT_THAT(lines.back(), testing::EndsWith(" Message: last"));
}

TEST(ServerProcess, ReportsAHeldPortAndExitsAtEndOfInput) {
    PortLock lock;
    hNet::Socket holder;
    ASSERT_EQ(holder.Create(), hNet::NetResult::Success);
    ASSERT_EQ(holder.Listen(hNet::Endpoint("0.0.0.0", hNet::ChatPort), 5),
              hNet::NetResult::Success);
    ServerProcess server;
    server.CloseInput();
    EXPECT_EQ(server.WaitForExit(StartMs), 0);
    holder.Close();
    EXPECT_EQ(server.Output(), std::string(Banner) + "Socket successfully created.\n");
    EXPECT_EQ(server.Errors(), "Failed to listen on port 6112.\n");
}

}  // namespace

TEST(ServerProcess, ChatsOnWithoutTheWebPortWhenItIsHeld) {
    PortLock lock;
    hNet::Socket holder;
    ASSERT_EQ(holder.Create(), hNet::NetResult::Success);
    ASSERT_EQ(holder.Listen(hNet::Endpoint("0.0.0.0", 8080), 5), hNet::NetResult::Success);
    ServerProcess server;
    ASSERT_TRUE(server.WaitForOutput("Listening on port 6112.\n\n", StartMs)) << server.Errors();
    EXPECT_THAT(server.Errors(),
                testing::StartsWith("Failed to listen for browsers on port 8080: "));
    EXPECT_THAT(server.Errors(), testing::EndsWith(". Chat goes on without the web page.\n"));
    hNet::FramedClient ann;
    std::string error;
    ASSERT_TRUE(ann.Connect("127.0.0.1", hNet::ChatPort, error)) << error;
    EXPECT_THAT(BodyOf(ann.Receive(5000)), HasSubstr("Connection to server successful."));
    ann.Close();
    holder.Close();
}
