// A client whose network disappears without a word (no FIN, no RST) is closed through
// the usual path once keepalive gives up on it, while the room is quiet and while data
// waits for it.

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <string>

#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using hNet::MakeTextPacket;
using hNet::PacketType;
using support::BodyOf;
using testing::HasSubstr;

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Two network namespaces of the test's own, joined by a veth pair: 10.77.0.1 in the
// server's, 10.77.0.2 in the far client's. Nothing leaves them.
class TestNetwork {
  public:
    TestNetwork() {
        const std::string device = " link set veth0 ";
        made = Shell("ip netns add " + server) && Shell("ip netns add " + far) &&
               Shell("ip link add veth0 netns " + server + " type veth peer name veth0 netns " +
                     far) &&
               Shell("ip -n " + server + " addr add 10.77.0.1/24 dev veth0") &&
               Shell("ip -n " + far + " addr add 10.77.0.2/24 dev veth0") &&
               Shell("ip -n " + server + device + "up") && Shell("ip -n " + far + device + "up") &&
               Shell("ip -n " + server + " link set lo up");
    }
    ~TestNetwork() {
        Shell("ip netns delete " + server);
        Shell("ip netns delete " + far);
    }
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    bool Made() const { return made; }

    // Runs `step` with this thread in the namespace `name`, so that the sockets it makes
    // are there for good.
    template <typename Step>
    void Inside(const std::string& name, Step step) {
        const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int there = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(setns(there, CLONE_NEWNET), 0);
        step();
        ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
        close(there);
        close(home);
    }

    // The far client's link goes down: whatever the server sends it is lost from now on.
    void CutFar() { ASSERT_TRUE(Shell("ip -n " + far + " link set veth0 down")); }

    const std::string server = "halvex-" + std::to_string(getpid()) + "-server";
    const std::string far = "halvex-" + std::to_string(getpid()) + "-far";

  private:
    bool made = false;
};

// With data waiting for the vanished client, or none (a quiet room).
class VanishedPeer : public testing::TestWithParam<bool> {};

TEST_P(VanishedPeer, IsClosedAndItsNameLeavesTheList) {
    const bool dataWaits = GetParam();
    if (geteuid() != 0 || !Shell("ip -V")) {
        GTEST_SKIP() << "making network namespaces needs root and iproute2's ip";
    }
    TestNetwork network;
    if (!network.Made()) {
        GTEST_SKIP() << "this machine does not let the test make network namespaces";
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
