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
#include "Harness.h"
#include "support/Loopback.h"

namespace {

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

    // Runs `step` with this thread in the namespace, so that the sockets it makes are
    // there for good.
    template <typename Step>
    void InServers(Step step) {
        Inside(server, step);
    }
    template <typename Step>
    void InFar(Step step) {
        Inside(far, step);
    }

    // The far client's link goes down: whatever the server sends it is lost from now on.
    void CutFar() { ASSERT_TRUE(Shell("ip -n " + far + " link set veth0 down")); }

  private:
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

    const std::string server = "halvex-" + std::to_string(getpid()) + "-server";
    const std::string far = "halvex-" + std::to_string(getpid()) + "-far";
    bool made = false;
};

std::string Body(const std::shared_ptr<hNet::Packet>& packet) {
    return packet ? std::string(packet->buffer.begin(), packet->buffer.end()) : "(nothing)";
}

std::shared_ptr<hNet::Packet> Text(hNet::PacketType type, const std::string& text) {
    auto packet = std::make_shared<hNet::Packet>(type);
    *packet << text;
    return packet;
}

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
    harness::ExposedServer server;
    hNet::FramedClient ann;
    hNet::FramedClient bob;
    hNet::FramedClient gone;
    std::string error;
    network.InServers([&] {
        server.peerTimeouts = {1, 1, 2, 2};
        ASSERT_TRUE(server.Initialize(hNet::Endpoint("0.0.0.0", 0)));
        ASSERT_TRUE(ann.Connect("127.0.0.1", server.ListeningPort(), error)) << error;
        ASSERT_TRUE(bob.Connect("127.0.0.1", server.ListeningPort(), error)) << error;
    });
    network.InFar(
        [&] { ASSERT_TRUE(gone.Connect("10.77.0.1", server.ListeningPort(), error)) << error; });
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.connections.size() == 3; }));
    const auto next = [&](hNet::FramedClient& client) {
        for (int turn = 0; turn < 3000; ++turn) {
            if (auto packet = client.Poll()) {
                return Body(packet);
            }
            server.Frame();
        }
        return std::string("(nothing)");
    };
    ASSERT_TRUE(gone.Send(Text(hNet::PacketType::SetUserName, "gone")));
    const std::string listed = Body(Text(hNet::PacketType::UserList, "gone\n"));
    while (next(ann) != listed) {
    }
    while (next(bob) != listed) {
    }
    const std::string goneLabel = server.connections[2].description;

    network.CutFar();
    const auto cut = std::chrono::steady_clock::now();
    if (dataWaits) {
        ASSERT_TRUE(ann.Send(Text(hNet::PacketType::ChatMessage, "still here")));
        EXPECT_EQ(next(bob), Body(Text(hNet::PacketType::ChatMessage, "still here")));
        EXPECT_EQ(next(ann), Body(Text(hNet::PacketType::ChatMessage, "still here")));
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
        EXPECT_EQ(next(*client), Body(Text(hNet::PacketType::UserList, "")));
    }
    EXPECT_THAT(console.Text(), HasSubstr("[POLLERR] Connection lost : " + goneLabel + "\n"));

    ann.Close();
    bob.Close();
    gone.Close();
    while (!server.connections.empty()) {
        server.CloseConnection(0, "test over");
    }
    server.listeningSocket.Close();
}

INSTANTIATE_TEST_SUITE_P(Room, VanishedPeer, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "WithDataWaiting" : "Quiet";
                         });

}  // namespace
