#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>

#include "ChatSession.h"
#include "MyServer.h"
#include "UserListChange.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using hNet::MakeTextPacket;
using hNet::PacketType;
using testing::HasSubstr;
using testing::Not;
using testing::StartsWith;

// A loopback socket pair standing in for the terminal: the session reads one end.
class ScriptedInput {
  public:
    ScriptedInput() {
        hNet::Socket listener;
        EXPECT_EQ(listener.Create(), hNet::NetResult::Success);
        EXPECT_EQ(listener.Listen(hNet::Endpoint("127.0.0.1", 0), 1), hNet::NetResult::Success);
        writer = support::ConnectClient(support::LocalPort(listener));
        EXPECT_EQ(listener.Accept(reader, nullptr), hNet::NetResult::Success);
        listener.Close();
    }
    ~ScriptedInput() {
        writer.Close();
        reader.Close();
    }
    void Type(const std::string& text) { support::SendAll(writer, text); }
    void End() { writer.Close(); }

    hNet::Socket reader;

  private:
    hNet::Socket writer;
};

// An in-process server and one client session on it, driven turn by turn.
class ChatClientTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(port, 0);
        std::string error;
        ASSERT_TRUE(client.Connect("127.0.0.1", port, error)) << error;
    }
    void TearDown() override { client.Close(); }

    template <typename Condition>
    bool TurnUntil(Condition done) {
        for (int turn = 0; turn < 3000 && !done(); ++turn) {
            server.Frame();
            session.Turn(0);
        }
        return done();
    }
    bool Shows(const std::string& text) {
        return TurnUntil([&] { return out.str().find(text) != std::string::npos; });
    }

    support::StreamCapture serverLog{std::cout};
    support::TestServer<MyServer> server;
    const std::uint16_t port = server.Listen();
    hNet::FramedClient client;
    ScriptedInput input;
    std::ostringstream out;
    std::ostringstream err;
    PlainConsole typing{input.reader.GetHandle(), out, err};
    ChatSession session{client, typing};
};

TEST_F(ChatClientTest, ScriptedSessionShowsEverythingInOrder) {
    session.SetName("ann");
    ASSERT_TRUE(Shows("Online: ann\n"));

    hNet::FramedClient bob;
    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    ASSERT_TRUE(Shows("New user connected!\n"));
    ASSERT_TRUE(bob.Send(
        MakeTextPacket(PacketType::ChatMessage,
                       "bob:\tred\x1b[31m!\x7f \u202Eevil\u202C \u2067isolated\u2069 \u202F")));
    ASSERT_TRUE(Shows("red"));

    input.Type("hello\r\n");
    ASSERT_TRUE(Shows("ann: hello\n"));
    input.Type("/users\n");
    ASSERT_TRUE(Shows("ann: hello\nOnline: ann\n"));
    input.End();
    ASSERT_TRUE(TurnUntil([&] { return session.Finished(); }));

    EXPECT_EQ(session.ExitStatus(), 0);
    EXPECT_EQ(support::WithoutTimes(out.str()),
              "[hh:mm:ss] [SERVER]: Connection to server successful.\n"
              "[hh:mm:ss] [SERVER]: Welcome to Halvex chat server!\n"
              "Online: ann\n"
              "[hh:mm:ss] [SERVER]: New user connected!\n"
              "bob:^Ired^[[31m!^? <U+202E>evil<U+202C> <U+2067>isolated<U+2069> \u202F\n"
              "ann: hello\n"
              "Online: ann\n");
    EXPECT_EQ(err.str(), "");
    EXPECT_THAT(serverLog.Text(), HasSubstr(" Message: ann: hello\n"));
    bob.Close();
}

TEST_F(ChatClientTest, EndOfInputWaitsForTheLastLineToComeBack) {
    input.Type("/users\none\ntwo");
    input.End();
    ASSERT_TRUE(TurnUntil([&] { return session.Finished(); }));
    EXPECT_EQ(session.ExitStatus(), 0);
    EXPECT_THAT(out.str(), HasSubstr("No user list yet"));
    EXPECT_THAT(out.str(), HasSubstr("one\ntwo\n"));
}

TEST_F(ChatClientTest, RefusesWhatCannotBeSentAndStopsAtQuit) {
    const std::string longestName(64, 'n');
    input.Type("/nope\n/name\n" + std::string(hNet::MaxTextBytes + 10, 'x') + "\n/name " +
               longestName + "n\nfits\n/name " + longestName + "\n/quit\nafter quit\n");
    ASSERT_TRUE(TurnUntil([&] { return session.Finished(); }));
    EXPECT_EQ(session.ExitStatus(), 0);
    EXPECT_EQ(err.str(),
              "halvex-chat: unknown command /nope; /help lists the commands.\n"
              "halvex-chat: usage: /name NEW\n"
              "halvex-chat: line too long: at most 8186 bytes fit one message; not sent.\n"
              "halvex-chat: User name refused: a name is at most 64 bytes.\n");
    support::Turns(server, 50);
    EXPECT_THAT(serverLog.Text(), HasSubstr(" Message: fits\n"));
    EXPECT_THAT(serverLog.Text(), Not(HasSubstr("xxx")));
    EXPECT_THAT(serverLog.Text(), Not(HasSubstr("after quit")));
    // The name too long never reached the server; the longest it takes did.
    EXPECT_THAT(serverLog.Text(), Not(HasSubstr("refused")));
    EXPECT_THAT(server.UserNames(), testing::ElementsAre(longestName));
}

TEST_F(ChatClientTest, ServerClosingTheConnectionEndsWithStatusOne) {
    ASSERT_TRUE(Shows("Welcome"));
    server.CloseConnection(0, "Closed by the test.");
    ASSERT_TRUE(TurnUntil([&] { return session.Finished(); }));
    EXPECT_EQ(session.ExitStatus(), 1);
    EXPECT_EQ(err.str(), "halvex-chat: disconnected: the server closed the connection.\n");
}

TEST_F(ChatClientTest, NamesWhoJoinsIsRenamedAndLeaves) {
    session.SetName("ann");
    ASSERT_TRUE(Shows("Online: ann\n"));
    hNet::FramedClient bob;
    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    const auto setName = [&](const std::string& name) {
        return bob.Send(MakeTextPacket(PacketType::SetUserName, name));
    };
    ASSERT_TRUE(setName("bob"));
    ASSERT_TRUE(Shows("* bob joined\n"));
    ASSERT_TRUE(setName("rob\x1b\u202E"));
    ASSERT_TRUE(Shows("* bob is now rob^[<U+202E>\n"));
    bob.Close();
    ASSERT_TRUE(Shows("* rob^[<U+202E> left\n"));
    EXPECT_EQ(support::WithoutTimes(out.str()),
              "[hh:mm:ss] [SERVER]: Connection to server successful.\n"
              "[hh:mm:ss] [SERVER]: Welcome to Halvex chat server!\n"
              "Online: ann\n"
              "* bob joined\n"
              "* bob is now rob^[<U+202E>\n"
              "* rob^[<U+202E> left\n");

    // A blank line is not sent, and /help lists the chat commands.
    input.Type("  \t\n/help\nlast\n");
    ASSERT_TRUE(Shows("ann: last\n"));
    EXPECT_EQ(out.str().find("ann: "), out.str().find("ann: last"));
    EXPECT_THAT(out.str(), HasSubstr("  /name NEW   set or change your name\n"));
    EXPECT_EQ(err.str(), "");
}

TEST(UserListChange, NamesOnlyWhatTheListsShow) {
    struct Case {
        UserNames before;
        UserNames after;
        bool departureAnnounced;
        std::optional<std::string> event;
    };
    const Case cases[] = {
        {{"ann"}, {"ann", "bob"}, false, "bob joined"},
        {{"ann", "ann"}, {"ann", "annie"}, true, "ann is now annie"},
        {{"bob", "ann", "bob"}, {"ann", "bob"}, true, "bob left"},
        // A name gone without the server's notice, the same names reordered, and changes
        // of more than one name are not told as one person's.
        {{"ann", "bob"}, {"ann"}, false, std::nullopt},
        {{"ann", "bob"}, {"bob", "ann"}, true, std::nullopt},
        {{"ann", "bob", "cy"}, {"ann"}, true, std::nullopt},
        {{"ann", "bob"}, {"bob", "cy", "dee"}, true, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DescribeUserListChange(c.before, c.after, c.departureAnnounced), c.event)
            << testing::PrintToString(c.before) << " -> " << testing::PrintToString(c.after);
    }
    EXPECT_EQ(ParseUserList("ann\nbob\nann\n"), (UserNames{"ann", "bob", "ann"}));
    EXPECT_EQ(ParseUserList("\nann\nunfinished"), (UserNames{"", "ann"}));
    EXPECT_EQ(ParseUserList(""), UserNames{});
}

TEST(ChatCommandLine, ReportsWhatItCannotDo) {
    std::ostringstream out;
    std::ostringstream err;
    hNet::Socket unlistened = support::UnlistenedSocket();
    const std::string port = std::to_string(support::LocalPort(unlistened));
    EXPECT_EQ(RunChatClient({"127.0.0.1", port, "--name", "ann"}, INVALID_SOCKET, out, err), 1);
    const std::string refusal = "halvex-chat: cannot connect to 127.0.0.1:" + port + ": ";
    EXPECT_THAT(err.str(), StartsWith(refusal));
    EXPECT_GT(err.str().size(), refusal.size() + 1);

    EXPECT_EQ(RunChatClient({"127.0.0.1", "70000"}, INVALID_SOCKET, out, err), 2);
    EXPECT_EQ(RunChatClient({"a", "1", "b"}, INVALID_SOCKET, out, err), 2);
    EXPECT_EQ(RunChatClient({"--name"}, INVALID_SOCKET, out, err), 2);
    EXPECT_EQ(RunChatClient({"--no-reconnect", "127.0.0.1", port}, INVALID_SOCKET, out, err), 1);
    EXPECT_EQ(out.str(), "");
    EXPECT_EQ(RunChatClient({"--help"}, INVALID_SOCKET, out, err), 0);
    EXPECT_THAT(out.str(), StartsWith("usage: halvex-chat [options] [HOST] [PORT]"));
    EXPECT_THAT(out.str(), HasSubstr("/name NEW"));
    unlistened.Close();
}

}  // namespace
