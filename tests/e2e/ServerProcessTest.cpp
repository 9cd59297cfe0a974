#include <gtest/gtest.h>

#include "Endpoint.h"
#include "FramedClient.h"
#include "ServerProcess.h"
#include "Socket.h"

namespace {

const char* const Banner = "=============== Halvex Chat Server =============== \n";
const char* const StartUp =
    "Socket successfully created.\nServer initialized.\nListening on port 6112.\n\n";
// How long a server may take to start (or to fail to): a server run under an emulator
// may first have to bring up the emulator's own services.
const int StartMs = 20000;

std::string BodyOf(const std::shared_ptr<hNet::Packet>& packet) {
    return packet ? std::string(packet->buffer.begin(), packet->buffer.end()) : "(nothing)";
}

std::shared_ptr<hNet::Packet> ChatLine(const std::string& text) {
    auto packet = std::make_shared<hNet::Packet>(hNet::PacketType::ChatMessage);
    *packet << text;
    return packet;
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
    ASSERT_TRUE(ann.Connect("127.0.0.1", 6112, error)) << error;
    ASSERT_TRUE(server.WaitForOutput("New connection accepted.\n", 5000));
    ASSERT_TRUE(bob.Connect("127.0.0.1", 6112, error)) << error;
    for (int greeting = 0; greeting < 2; ++greeting) {
        EXPECT_NE(BodyOf(bob.Receive(5000)).find("[SERVER]:"), std::string::npos);
    }
    for (int notice = 0; notice < 4; ++notice) {  // greetings, arrival, UserConnected
        EXPECT_NE(ann.Receive(5000), nullptr);
    }

    ASSERT_TRUE(ann.Send(ChatLine("hello bob")));
    EXPECT_EQ(BodyOf(bob.Receive(5000)), BodyOf(ChatLine("hello bob")));
    EXPECT_EQ(BodyOf(ann.Receive(5000)), BodyOf(ChatLine("hello bob")));
    EXPECT_TRUE(server.WaitForOutput(" Message: hello bob\n", 5000)) << server.Output();
    ann.Close();
    bob.Close();
}

TEST(ServerProcess, ReportsAHeldPortAndExitsAtEndOfInput) {
    PortLock lock;
    hNet::Socket holder;
    ASSERT_EQ(holder.Create(), hNet::NetResult::Success);
    ASSERT_EQ(holder.Listen(hNet::Endpoint("0.0.0.0", 6112), 5), hNet::NetResult::Success);
    ServerProcess server;
    server.CloseInput();
    EXPECT_EQ(server.WaitForExit(StartMs), 0);
    holder.Close();
    EXPECT_EQ(server.Output(), std::string(Banner) + "Socket successfully created.\n");
    EXPECT_EQ(server.Errors(), "Failed to listen on port 6112.\n");
}

}  // namespace
