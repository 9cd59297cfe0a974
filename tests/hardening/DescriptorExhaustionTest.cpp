#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "FramedClient.h"
#include "MyServer.h"
#include "Platform.h"
#include "ProcessState.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using ChatServer = support::TestServer<MyServer>;

constexpr int WaitMs = 3000;

TEST(OpenFileLimit, IsRaisedToTheHardLimit) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= 64) {
        GTEST_SKIP() << "hard limit too low to lower the soft one";
    }
    limit.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);

    hNet::RaiseOpenFileLimit();

    rlimit raised{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &raised), 0);
    if (raised.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(raised.rlim_cur, raised.rlim_max);
    }
}

// Serves for at most 30 s with descriptors for two clients beyond the first only; its
// failure lines go to `errorOutput`. Never returns.
[[noreturn]] void ServeWithFewDescriptors(ChatServer& server, int errorOutput) {
    dup2(errorOutput, STDERR_FILENO);
    close(errorOutput);
    const int nowhere = open("/dev/null", O_WRONLY);
    dup2(nowhere, STDOUT_FILENO);
    const auto end = Clock::now() + std::chrono::seconds(30);
    // The first client comes in while descriptors abound: a sanitizer's check may need
    // descriptors of its own the first time it meets the handlers.
    while (server.connections.empty() && Clock::now() < end) {
        server.Frame();
    }
    const rlim_t room = static_cast<rlim_t>(hardening::HighestOpenDescriptor()) + 1 + 2;
    const rlimit limit{room, room};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        _exit(2);
    }
    // Inherited descriptors leave gaps below the limit; fill them all, then free two.
    int filler = -1;
    int last = -1;
    while ((filler = dup(nowhere)) >= 0) {
        last = filler;
    }
    close(last);
    close(nowhere);
    while (Clock::now() < end) {
        server.Frame();
    }
    _exit(0);
}

enum class Admission { Accepted, Refused, Undecided };

// Accepted clients are greeted at once; refused ones see their connection end.
Admission Connect(std::uint16_t port, hNet::FramedClient& client) {
    std::string error;
    if (!client.Connect("127.0.0.1", port, error)) {
        return Admission::Undecided;
    }
    if (client.Receive(WaitMs) != nullptr) {
        return Admission::Accepted;
    }
    return client.IsOpen() ? Admission::Undecided : Admission::Refused;
}

// Waits for a chat line whose text ends with `tail`, skipping everything else.
bool ReceivesLineEndingWith(hNet::FramedClient& client, const std::string& tail) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(WaitMs);
    while (Clock::now() < deadline) {
        const auto packet = client.Receive(100);
        if (packet == nullptr || packet->GetPacketType() != hNet::PacketType::ChatMessage) {
            continue;
        }
        std::string text;
        *packet >> text;
        if (text.size() >= tail.size() &&
            text.compare(text.size() - tail.size(), tail.size(), tail) == 0) {
            return true;
        }
    }
    return false;
}

std::string ReadAll(int descriptor) {
    std::string text;
    char piece[4096];
    for (;;) {
        const auto count = read(descriptor, piece, sizeof(piece));
        if (count <= 0) {
            return text;
        }
        text.append(piece, static_cast<std::size_t>(count));
    }
}

TEST(DescriptorExhaustion, WaitingClientsAreRefusedOnceAndConnectedOnesKeepChatting) {
    ChatServer server;
    const std::uint16_t port = server.Listen();
    ASSERT_NE(port, 0);
    int errorPipe[2];
    ASSERT_EQ(pipe(errorPipe), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(errorPipe[0]);
        ServeWithFewDescriptors(server, errorPipe[1]);
    }
    close(errorPipe[1]);

    // Fill the server up: clients are let in until the first one is turned away.
    std::vector<std::unique_ptr<hNet::FramedClient>> members;
    members.push_back(std::make_unique<hNet::FramedClient>());
    ASSERT_EQ(Connect(port, *members[0]), Admission::Accepted);
    int refused = 0;
    while (refused == 0 && members.size() < 20) {
        auto client = std::make_unique<hNet::FramedClient>();
        const Admission admission = Connect(port, *client);
        ASSERT_NE(admission, Admission::Undecided) << "a client was left waiting";
        if (admission == Admission::Accepted) {
            members.push_back(std::move(client));
        } else {
            ++refused;
        }
    }
    ASSERT_GE(members.size(), 3u);
    ASSERT_EQ(refused, 1);
    for (int more = 0; more < 3; ++more) {
        hNet::FramedClient client;
        EXPECT_EQ(Connect(port, client), Admission::Refused);
        ++refused;
    }

    // Those already in still chat.
    ASSERT_TRUE(
        members[0]->Send(hNet::MakeTextPacket(hNet::PacketType::ChatMessage, "still here")));
    for (auto& member : members) {
        EXPECT_TRUE(ReceivesLineEndingWith(*member, "still here"));
    }

    // A client that leaves makes room for a new one.
    members.back()->Close();
    members.pop_back();
    ASSERT_TRUE(ReceivesLineEndingWith(*members[0], "A user disconnected."));
    hNet::FramedClient newcomer;
    EXPECT_EQ(Connect(port, newcomer), Admission::Accepted);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    const std::string errors = ReadAll(errorPipe[0]);
    close(errorPipe[0]);
    EXPECT_EQ(support::CountOf(errors, "Failed to accept new connection."),
              static_cast<std::size_t>(refused))
        << errors;
}

}  // namespace
