#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "ChatHarness.h"

namespace {

using hNet::FramedClient;
using hNet::MakeTextPacket;
using hNet::PacketType;
using support::BodyOf;
using support::WithoutTimes;
using testing::HasSubstr;
using testing::Not;

constexpr PacketType ChatMessage = PacketType::ChatMessage;
constexpr PacketType SetUserName = PacketType::SetUserName;
constexpr PacketType UserList = PacketType::UserList;
const std::string UserConnected("\x00\x04", 2);
const std::string Departure =
    BodyOf(MakeTextPacket(ChatMessage, "[hh:mm:ss][SERVER]: A user disconnected."));

std::string Notice(const std::string& text) {
    return BodyOf(MakeTextPacket(ChatMessage, "[hh:mm:ss] [SERVER]: " + text));
}

TEST(MyServer, PlaysTheTwoClientConversation) {
    ChatHarness chat;
    FramedClient& a = chat.Connect();
    EXPECT_EQ(WithoutTimes(chat.NextBody(a)), Notice("Connection to server successful."));
    EXPECT_EQ(WithoutTimes(chat.NextBody(a)), Notice("Welcome to Halvex chat server!"));
    const std::string noNames("\x00\x06\x00\x00\x00\x00", 6);
    EXPECT_EQ(chat.NextBody(a), noNames);
    EXPECT_TRUE(chat.NothingMoreFor(a));

    FramedClient& b = chat.Connect();
    EXPECT_EQ(WithoutTimes(chat.NextBody(b)), Notice("Connection to server successful."));
    EXPECT_EQ(WithoutTimes(chat.NextBody(b)), Notice("Welcome to Halvex chat server!"));
    EXPECT_EQ(chat.NextBody(b), noNames);
    EXPECT_EQ(WithoutTimes(chat.NextBody(a)), Notice("New user connected!"));
    EXPECT_EQ(chat.NextBody(a), UserConnected);
    EXPECT_TRUE(chat.NothingMoreFor(a));
    EXPECT_TRUE(chat.NothingMoreFor(b));
    const std::string labelA = chat.Label(0);
    const std::string labelB = chat.Label(1);

    ASSERT_TRUE(b.Send(MakeTextPacket(SetUserName, "bob")));
    const std::string bobList(
        "\x00\x06\x00\x00\x00\x04"
        "bob\n",
        10);
    EXPECT_EQ(chat.NextBody(a), bobList);
    EXPECT_EQ(chat.NextBody(b), bobList);
    EXPECT_EQ(chat.server.UserNames(), std::vector<std::string>{"bob"});

    ASSERT_TRUE(a.Send(MakeTextPacket(ChatMessage, "hi")));
    const std::string hi("\x00\x01\x00\x00\x00\x02hi", 8);
    EXPECT_EQ(chat.NextBody(a), hi);
    EXPECT_EQ(chat.NextBody(b), hi);

    shutdown(b.Handle(), 1);  // B ends its stream in order
    EXPECT_EQ(WithoutTimes(chat.NextBody(a)), Departure);
    EXPECT_EQ(chat.NextBody(a), noNames);
    EXPECT_TRUE(chat.server.UserNames().empty());

    // The reason is how the platform reports an orderly end of stream (see ServerTest).
    const auto console = [&](const std::string& reason) {
        return labelA + " - New connection accepted.\n" + labelB + " - New connection accepted.\n" +
               labelA + " Message: hi\n" + "[" + reason + "] Connection lost : " + labelB + "\n";
    };
    EXPECT_THAT(chat.Console(), testing::AnyOf(console("Recv==0"), console("POLLHUP")));
}

TEST(MyServer, RelaysToEveryoneIncludingTheSender) {
    ChatHarness chat;
    FramedClient& first = chat.Join();
    FramedClient& second = chat.Join();
    FramedClient& third = chat.Join();

    // Relayed byte for byte; on the console no byte can steer the operator's terminal or
    // start a line of its own.
    const std::string text(
        "tab\there\0nul\nlf\rcr\x1b[31mred\x7f\xc3\xa9\xff"
        "csi\xc2\x9b"
        "lone\x9b\x80"
        "\xc3\x80",
        43);
    const auto line = MakeTextPacket(ChatMessage, text);
    ASSERT_TRUE(second.Send(line));
    for (FramedClient* client : {&first, &second, &third}) {
        EXPECT_EQ(chat.NextBody(*client), BodyOf(line));
        EXPECT_TRUE(chat.NothingMoreFor(*client));
    }
    EXPECT_THAT(chat.Console(),
                HasSubstr(chat.Label(1) + " Message: tab^Ihere^@nul^Jlf^Mcr^[[31mred^?\xc3\xa9\xff"
                                          "csiM-^[loneM-^[M-^@\xc3\x80\n"));
}

// Sets the name and returns the list every client is then sent.
std::string Rename(ChatHarness& chat, FramedClient& client, const std::string& name) {
    EXPECT_TRUE(client.Send(MakeTextPacket(SetUserName, name)));
    const std::string list = chat.NextBody(client);
    for (auto& other : chat.clients) {
        if (&other != &client) {
            EXPECT_EQ(chat.NextBody(other), list);
        }
    }
    return list;
}

TEST(MyServer, KeepsNamesInOrderAndRemovesTheLastEqualOne) {
    ChatHarness chat;
    FramedClient& ann = chat.Join();
    FramedClient& bob = chat.Join();
    FramedClient& cid = chat.Join();

    EXPECT_EQ(Rename(chat, ann, "ann"), BodyOf(MakeTextPacket(UserList, "ann\n")));
    EXPECT_EQ(Rename(chat, bob, "bob"), BodyOf(MakeTextPacket(UserList, "ann\nbob\n")));
    EXPECT_EQ(Rename(chat, cid, "cid"), BodyOf(MakeTextPacket(UserList, "ann\nbob\ncid\n")));
    EXPECT_EQ(Rename(chat, bob, "bo"), BodyOf(MakeTextPacket(UserList, "ann\ncid\nbo\n")));
    // The same name twice: the last entry goes when its first owner renames.
    EXPECT_EQ(Rename(chat, cid, "ann"), BodyOf(MakeTextPacket(UserList, "ann\nbo\nann\n")));
    EXPECT_EQ(Rename(chat, ann, ""), BodyOf(MakeTextPacket(UserList, "ann\nbo\n\n")));
    EXPECT_THAT(chat.Console(), Not(HasSubstr("Message")));  // names print nothing

    // A newcomer is told the names as they stand, right behind its greetings.
    FramedClient& newcomer = chat.Connect();
    EXPECT_THAT(chat.NextBody(newcomer), HasSubstr("Connection to server successful."));
    EXPECT_THAT(chat.NextBody(newcomer), HasSubstr("Welcome to Halvex chat server!"));
    EXPECT_EQ(chat.NextBody(newcomer), BodyOf(MakeTextPacket(UserList, "ann\nbo\n\n")));
}

// Only the server writes notices: a line that would pass for one goes back to its sender
// refused, and nobody else sees it.
TEST(MyServer, RefusesLinesThatImitateANotice) {
    ChatHarness chat;
    FramedClient& mallory = chat.Join();
    FramedClient& reader = chat.Join();
    const std::string refusal = "Message refused: only the server writes server notices.";
    for (const std::string text :
         {"[21:50:00] [SERVER]: The server restarts; see fake.example",
          "[21:50:00][SERVER]: A user disconnected.", "[--:--:--] [SERVER]: clockless",
          " \u200B[21:50:00]\u00A0 \uFEFF[SERVER] hidden blanks"}) {
        ASSERT_TRUE(mallory.Send(MakeTextPacket(ChatMessage, text)));
        EXPECT_EQ(WithoutTimes(chat.NextBody(mallory)), Notice(refusal)) << text;
    }
    EXPECT_TRUE(chat.NothingMoreFor(reader));
    std::string console = chat.Label(0) + " - New connection accepted.\n" + chat.Label(1) +
                          " - New connection accepted.\n";
    for (int line = 0; line < 4; ++line) {
        console += chat.Label(0) + " " + refusal + "\n";
    }
    EXPECT_EQ(chat.Console(), console);

    // Quoted later in a line, or a stamp without [SERVER], is ordinary chat.
    for (const std::string text : {"bob: [21:50:00] [SERVER]: quoted", "[21:50:00] [SERVE"}) {
        const auto line = MakeTextPacket(ChatMessage, text);
        ASSERT_TRUE(mallory.Send(line));
        EXPECT_EQ(chat.NextBody(reader), BodyOf(line));
    }
}

TEST(MyServer, DepartureRemovesTheNameOrSendsNoList) {
    ChatHarness chat;
    FramedClient& first = chat.Join();
    FramedClient& second = chat.Join();
    FramedClient& silent = chat.Join();
    Rename(chat, first, "ann");
    Rename(chat, second, "ann");

    // Never named: only the notice goes out.
    shutdown(silent.Handle(), 1);
    for (FramedClient* client : {&first, &second}) {
        EXPECT_EQ(WithoutTimes(chat.NextBody(*client)), Departure);
        EXPECT_TRUE(chat.NothingMoreFor(*client));
    }

    shutdown(first.Handle(), 1);
    EXPECT_EQ(WithoutTimes(chat.NextBody(second)), Departure);
    EXPECT_EQ(chat.NextBody(second), BodyOf(MakeTextPacket(UserList, "ann\n")));
    EXPECT_EQ(chat.server.UserNames(), std::vector<std::string>{"ann"});
}

TEST(MyServer, PrintsIntegerArrays) {
    ChatHarness chat;
    FramedClient& client = chat.Join();
    auto empty = std::make_shared<hNet::Packet>(PacketType::IntegerArray);
    *empty << 0u;
    auto three = std::make_shared<hNet::Packet>(PacketType::IntegerArray);
    *three << 3u << 4294967295u << 0u << 10u;
    ASSERT_TRUE(client.Send(empty));
    ASSERT_TRUE(client.Send(three));
    support::Turns(chat.server, 50);
    EXPECT_EQ(chat.Console(), chat.Label(0) +
                                  " - New connection accepted.\nArray Size: 0\nArray Size: 3\n"
                                  "Element[0] - 4294967295\nElement[1] - 0\nElement[2] - 10\n");
    EXPECT_TRUE(chat.NothingMoreFor(client));
    EXPECT_EQ(chat.server.connections.size(), 1u);
}

TEST(MyServer, RefusesUnrecognizedCodes) {
    for (int code : {0, 3, 4, 6, 7, 65535}) {
        ChatHarness chat;
        FramedClient& client = chat.Join();
        const std::string label = chat.Label(0);
        ASSERT_TRUE(client.Send(MakeTextPacket(static_cast<PacketType>(code), "x")));
        EXPECT_TRUE(chat.ClosedByServer(client));
        EXPECT_EQ(chat.Console(),
                  label + " - New connection accepted.\n" +
                      "Unrecognized packet type: " + std::to_string(code) +
                      "\n[Failed to process incoming packet.] Connection lost : " + label + "\n");
    }
}

TEST(MyServer, MalformedBodiesCloseOnlyTheirSender) {
    ChatHarness chat;
    FramedClient& careless = chat.Join();
    FramedClient& bystander = chat.Join();
    const std::string label = chat.Label(0);

    auto shortArray = std::make_shared<hNet::Packet>(PacketType::IntegerArray);
    *shortArray << 3u << 7u << 8u;
    ASSERT_TRUE(careless.Send(shortArray));
    EXPECT_TRUE(chat.ClosedByServer(careless));
    EXPECT_EQ(WithoutTimes(chat.NextBody(bystander)), Departure);
    EXPECT_THAT(chat.Console(),
                HasSubstr("Array Size: 3\nElement[0] - 7\nElement[1] - 8\n"
                          "[Failed to process incoming packet.] Connection lost : " +
                          label + "\n"));

    // A text whose count runs past the body: nothing printed or relayed.
    FramedClient& liar = chat.Join();
    ASSERT_TRUE(
        liar.Send(std::make_shared<hNet::Packet>("\x00\x01\x00\x00\x00\x0A"
                                                 "abc",
                                                 9)));
    EXPECT_EQ(WithoutTimes(chat.NextBody(bystander)), Departure);
    EXPECT_THAT(chat.Console(), Not(HasSubstr("Message")));

    const auto line = MakeTextPacket(ChatMessage, "still here");
    ASSERT_TRUE(bystander.Send(line));
    EXPECT_EQ(chat.NextBody(bystander), BodyOf(line));
}

// The handlers alone: records with invalid sockets are enough, as nothing is sent.
class MyServerHandlers : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(server.Listen(), 0);
        for (std::uint16_t port = 1; port <= Clients; ++port) {
            server.AddConnection(hNet::Socket(), hNet::Endpoint("127.0.0.1", port));
        }
        for (hNet::Connection& connection : server.connections) {
            while (connection.outgoing.HasPending()) {
                connection.outgoing.Pop();
            }
        }
    }

    // 125 names of 64 bytes take 8,125 of the list's 8,186 bytes.
    static constexpr std::uint16_t Clients = 126;
    support::StreamCapture console{std::cout};
    support::TestServer<MyServer> server;
};

TEST_F(MyServerHandlers, ShareOnePacketAmongAllRecipients) {
    const auto line = MakeTextPacket(ChatMessage, "hi");
    EXPECT_TRUE(server.ProcessPacket(line, server.connections[1]));
    for (auto& connection : server.connections) {
        EXPECT_EQ(connection.outgoing.Front(), line);  // the received packet itself
        connection.outgoing.Pop();
    }

    server.OnConnect(server.connections[2]);
    const auto& first = server.connections[0].outgoing.Packets();
    const auto& second = server.connections[1].outgoing.Packets();
    ASSERT_EQ(first.size(), 2u);
    ASSERT_EQ(second.size(), 2u);
    // The same notice and UserConnected objects.
    EXPECT_EQ(first[0], second[0]);
    EXPECT_EQ(first[1], second[1]);
    EXPECT_EQ(server.connections[2].outgoing.Packets().size(), 3u);
    EXPECT_NE(server.connections[2].outgoing.Front(), first.front());
}

// A refused name leaves the list and the client's name as they were; the client is told
// why, and the console names the client.
TEST_F(MyServerHandlers, RefusesNamesThatWouldSplitOrCrowdTheList) {
    hNet::Connection& crowd = server.connections.back();
    const auto rename = [&](hNet::Connection& connection, const std::string& name) {
        EXPECT_TRUE(server.ProcessPacket(MakeTextPacket(SetUserName, name), connection));
    };
    const auto expectRefused = [&](const std::string& name, const std::string& refusal) {
        const auto names = server.UserNames();
        const std::string ownName = crowd.userName;
        rename(crowd, name);
        EXPECT_EQ(server.UserNames(), names);
        EXPECT_EQ(crowd.userName, ownName);
        EXPECT_EQ(WithoutTimes(BodyOf(crowd.outgoing.Packets().back())), Notice(refusal));
        EXPECT_THAT(console.Text(), HasSubstr(crowd.description + " " + refusal + "\n"));
    };

    rename(crowd, "crowd");
    expectRefused("mallory\nalice\nroot", "User name refused: a name cannot contain a line feed.");
    expectRefused(std::string(65, 'x'), "User name refused: a name is at most 64 bytes.");
    for (std::size_t k = 0; k + 1 < Clients; ++k) {
        rename(server.connections[k], std::string(64, static_cast<char>('a' + k % 26)));
    }
    expectRefused(std::string(61, 'y'), "User name refused: the user list is full.");
    rename(crowd, std::string(60, 'z'));  // 8,125 + 61 bytes with its line feed: fits exactly
    EXPECT_EQ(server.UserNames().size(), Clients);
    EXPECT_EQ(server.UserNames().back(), std::string(60, 'z'));
}

}  // namespace
