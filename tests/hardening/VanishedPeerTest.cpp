// A client whose network disappears without a word (no FIN, no RST) is closed through
// the usual path once keepalive gives up on it, while the room is quiet and while data
// waits for it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>

#include "FramedClient.h"
#include "MyServer.h"
#include "TestNetwork.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using hNet::MakeTextPacket;
using hNet::PacketType;
using support::BodyOf;
using testing::HasSubstr;

// With data waiting for the vanished client, or none (a quiet room).
class VanishedPeer : public testing::TestWithParam<bool> {};

TEST_P(VanishedPeer, IsClosedAndItsNameLeavesTheList) {
    const bool dataWaits = GetParam();
    TestNetwork network;
    if (!network.Missing().empty()) {
        GTEST_SKIP() << network.Missing();
    }
    support::StreamCapture console(std::cout);
    support::TestServer<MyServer> server;
    hNet::FramedClient ann;
    hNet::FramedClient bob;
    hNet::FramedClient gone;
    std::string error;
    std::uint16_t port = 0;
    network.Inside(network.server, [&] {
        server.peerTimeouts = {1, 1, 2, 2};
        port = server.Listen(0, "0.0.0.0");
        ASSERT_TRUE(ann.Connect("127.0.0.1", port, error)) << error;
        ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    });
    network.Inside(network.far,
                   [&] { ASSERT_TRUE(gone.Connect("10.77.0.1", port, error)) << error; });
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.connections.size() == 3; }));
    const auto next = [&](hNet::FramedClient& client) {
        for (int turn = 0; turn < 3000; ++turn) {
            if (auto packet = client.Poll()) {
                return BodyOf(packet);
            }
            server.Frame();
        }
        return std::string("(nothing)");
    };
    ASSERT_TRUE(gone.Send(MakeTextPacket(PacketType::SetUserName, "gone")));
    const std::string listed = BodyOf(MakeTextPacket(PacketType::UserList, "gone\n"));
    for (hNet::FramedClient* client : {&ann, &bob}) {
        bool seen = false;
        for (int packet = 0; packet < 20 && !seen; ++packet) {
            seen = next(*client) == listed;
        }
        ASSERT_TRUE(seen) << "the list with the name never came";
    }
    const std::string goneLabel = server.connections[2].description;

    network.CutFar();
    const auto cut = std::chrono::steady_clock::now();
    if (dataWaits) {
        const auto line = MakeTextPacket(PacketType::ChatMessage, "still here");
        ASSERT_TRUE(ann.Send(line));
        EXPECT_EQ(next(bob), BodyOf(line));
        EXPECT_EQ(next(ann), BodyOf(line));
    }
    // With the server's own timeouts this would take two minutes.
    for (int turn = 0; server.connections.size() == 3 &&
                       std::chrono::steady_clock::now() - cut < std::chrono::seconds(30);
         ++turn) {
        server.Frame();
    }
    ASSERT_EQ(server.connections.size(), 2u) << "the vanished client is still connected";
    EXPECT_LT(std::chrono::steady_clock::now() - cut, std::chrono::seconds(20));

    for (hNet::FramedClient* client : {&ann, &bob}) {
        EXPECT_THAT(next(*client), HasSubstr("[SERVER]: A user disconnected."));
        EXPECT_EQ(next(*client), BodyOf(MakeTextPacket(PacketType::UserList, "")));
    }
    EXPECT_THAT(console.Text(), HasSubstr("[POLLERR] Connection lost : " + goneLabel + "\n"));

    ann.Close();
    bob.Close();
    gone.Close();
}

INSTANTIATE_TEST_SUITE_P(Room, VanishedPeer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WithDataWaiting" : "Quiet";
                         });

}  // namespace
