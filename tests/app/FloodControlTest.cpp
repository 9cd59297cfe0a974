// Flood control, over a clock the test turns: a flooder is slowed by its receive budget,
// its readers are not dropped, and nothing it sent is lost or reordered.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ChatHarness.h"

namespace {

using hNet::FramedClient;
using hNet::MakeTextPacket;
using hNet::PacketType;
using testing::HasSubstr;
using testing::Not;

const char* const FloodLine = " Flood limit reached: reading paused.";

// Chat line `number`, `size` bytes of text.
std::shared_ptr<hNet::Packet> Line(int number, std::size_t size) {
    std::string text = "line " + std::to_string(number) + " ";
    text.resize(size, 'x');
    return MakeTextPacket(PacketType::ChatMessage, text);
}

// The numbers of the chat lines in a stream of frames, in the order they came.
std::vector<int> LineNumbers(const std::string& stream) {
    std::vector<int> numbers;
    for (std::size_t at = 0; at + 2 <= stream.size();) {
        const std::size_t size = (static_cast<unsigned char>(stream[at]) << 8) |
                                 static_cast<unsigned char>(stream[at + 1]);
        const std::string body = stream.substr(at + 2, size);
        if (body.size() > 11 && body[1] == static_cast<char>(PacketType::ChatMessage) &&
            body.compare(6, 5, "line ") == 0) {
            numbers.push_back(std::stoi(body.substr(11)));
        }
        at += 2 + size;
    }
    return numbers;
}

class FloodControlTest : public testing::Test {
  protected:
    void SetUp() override {
        chat.server.clock = [this] { return nowMs; };
    }

    // A raw client that takes only what the test reads, through a small window.
    hNet::Socket& SlowReader() {
        readers.push_back(support::ConnectClient(chat.port, 4096));
        const std::size_t count = chat.server.connections.size() + 1;
        EXPECT_TRUE(support::TurnUntil(chat.server,
                                       [&] { return chat.server.connections.size() == count; }));
        support::SetBuffer(chat.server.connections.back().socket, SO_SNDBUF, 4096);
        return readers.back();
    }

    // Whether a reader draining 128 KiB/s outlasts 20 s of one client renaming flat out
    // while 300 clients hold a near-full list, so that every rename sends about 8 KB to
    // each of them.
    bool ReaderOutlastsARenameFlood() {
        hNet::Socket& reader = SlowReader();
        FramedClient& renamer = chat.Join();
        std::deque<hNet::Socket> others;
        for (std::size_t count = 3; count <= 300; ++count) {
            others.push_back(support::ConnectClient(chat.port));
            EXPECT_TRUE(support::TurnUntil(
                chat.server, [&] { return chat.server.connections.size() == count; }));
        }
        const auto drainOthers = [&] {
            for (hNet::Socket& other : others) {
                support::ReceiveSome(other, 0);
            }
            while (renamer.Poll() != nullptr) {
            }
        };
        EXPECT_TRUE(support::TurnUntil(chat.server, [&] {
            drainOthers();
            support::ReceiveSome(reader, 0);
            return std::none_of(chat.server.connections.begin(), chat.server.connections.end(),
                                [](const hNet::Connection& c) { return c.outgoing.HasPending(); });
        }));
        // 300 names of 26 bytes: 8,100 of the list's 8,186 bytes. Set through the handler,
        // so that the list is not sent 300 times over.
        for (hNet::Connection& connection : chat.server.connections) {
            const std::string name = "user " + std::to_string(connection.endpoint.GetPort());
            EXPECT_TRUE(chat.server.ProcessPacket(
                MakeTextPacket(PacketType::SetUserName, name + std::string(26 - name.size(), '.')),
                connection));
        }
        for (hNet::Connection& connection : chat.server.connections) {
            while (connection.outgoing.HasPending()) {
                connection.outgoing.Pop();
            }
        }
        for (int n = 0; n < 600; ++n) {
            renamer.Stage(
                MakeTextPacket(PacketType::SetUserName,
                               "renamer " + std::to_string(n % 2) + std::string(16, '.')));
        }

        bool renamerPaused = false;
        for (int tick = 0; tick < 2000; ++tick) {
            nowMs += 10;
            renamer.Flush(0);
            chat.server.Frame();
            support::ReceiveSome(reader, 0, 1311);  // 128 KiB/s
            if (tick % 10 == 0) {
                drainOthers();
            }
            if (chat.server.connections.size() != 300) {
                return false;
            }
            renamerPaused = renamerPaused || chat.server.connections[1].readingPaused;
        }
        EXPECT_TRUE(renamerPaused);
        return true;
    }

    // Whether a reader draining 128 KiB/s outlasts 20 s of four clients on one address
    // flooding flat out; either way, it gets every line it is sent, in order per flooder.
    bool ReaderOutlastsFourFloodersFromOneAddress() {
        hNet::Socket& reader = SlowReader();
        std::vector<FramedClient*> flooders;
        for (int f = 0; f < 4; ++f) {
            flooders.push_back(&chat.Join("127.0.0.9"));
            for (int n = 0; n < 200; ++n) {
                flooders.back()->Stage(Line(1000 * f + n, 8000));
            }
        }
        std::string stream;
        for (int tick = 0; tick < 2000 && chat.server.connections.size() == 5; ++tick) {
            nowMs += 10;
            for (FramedClient* flooder : flooders) {
                flooder->Flush(0);
                while (flooder->Poll() != nullptr) {
                }
            }
            chat.server.Frame();
            stream += support::ReceiveSome(reader, 0, 1311);  // 128 KiB/s
        }
        std::vector<int> next = {0, 1000, 2000, 3000};
        for (int number : LineNumbers(stream)) {
            EXPECT_EQ(number, next[number / 1000]++) << "a line lost or out of order";
        }
        return chat.server.connections.size() == 5;
    }

    std::int64_t nowMs = 1000;
    ChatHarness chat;
    std::deque<hNet::Socket> readers;
};

TEST_F(FloodControlTest, SlowsAFlooderWithoutDroppingAReaderOrLosingALine) {
    hNet::Socket& reader = SlowReader();
    FramedClient& flooder = chat.Join();
    const int lines = 160;  // 1.28 MB: more than a send queue holds
    for (int n = 0; n < lines; ++n) {
        flooder.Stage(Line(n, 8000));
    }

    // Every 10 ms the reader takes 1,400 bytes: just over 128 KiB/s.
    std::string stream;
    bool pausedOnce = false;
    bool resumedAfter = false;
    std::size_t deepestQueue = 0;
    for (int tick = 0; tick < 5000 && LineNumbers(stream).size() < lines; ++tick) {
        nowMs += 10;
        flooder.Flush(0);
        chat.server.Frame();
        while (flooder.Poll() != nullptr) {
        }
        stream += support::ReceiveSome(reader, 0, 1400);
        ASSERT_EQ(chat.server.connections.size(), 2u) << "a client was dropped";
        const hNet::Connection& flooding = chat.server.connections[1];
        resumedAfter = resumedAfter || (pausedOnce && !flooding.readingPaused);
        pausedOnce = pausedOnce || flooding.readingPaused;
        deepestQueue = std::max(deepestQueue, chat.server.connections[0].outgoing.PendingBytes());
    }
    std::vector<int> expected(lines);
    for (int n = 0; n < lines; ++n) {
        expected[n] = n;
    }
    EXPECT_EQ(LineNumbers(stream), expected);
    EXPECT_TRUE(pausedOnce);
    EXPECT_TRUE(resumedAfter);
    EXPECT_LT(deepestQueue, hNet::Server::SendQueueLimit / 2);
    EXPECT_EQ(support::CountOf(chat.Console(), chat.Label(1) + FloodLine), 1u) << chat.Console();
}

TEST_F(FloodControlTest, RenamesPayForTheListEveryoneIsSent) {
    EXPECT_TRUE(ReaderOutlastsARenameFlood());
}

// The same flood, with the renamer no longer charged for the lists: the reader's queue
// outgrows its bound.
TEST_F(FloodControlTest, RenamesWithoutTheChargeDropAReader) {
    chat.server.onPacket = [&](std::shared_ptr<hNet::Packet> packet, hNet::Connection& sender) {
        const hNet::ReceiveBudget before = *sender.budget;
        const bool handled = chat.server.MyServer::ProcessPacket(std::move(packet), sender);
        *sender.budget = before;
        return handled;
    };
    EXPECT_FALSE(ReaderOutlastsARenameFlood());
    EXPECT_THAT(chat.Console(), HasSubstr("[Send queue limit exceeded.] Connection lost : "));
}

TEST_F(FloodControlTest, ClientsFromOneAddressShareOneBudget) {
    EXPECT_TRUE(ReaderOutlastsFourFloodersFromOneAddress());
    EXPECT_EQ(support::CountOf(chat.Console(), FloodLine), 4u) << chat.Console();
}

// The same flood with a budget for each connection: the reader's queue outgrows its bound.
TEST_F(FloodControlTest, ABudgetPerConnectionDropsTheReader) {
    chat.server.budgetPerAddress = false;
    EXPECT_FALSE(ReaderOutlastsFourFloodersFromOneAddress());
    EXPECT_THAT(chat.Console(), HasSubstr("[Send queue limit exceeded.] Connection lost : "));
}

TEST_F(FloodControlTest, LetsAPasteOfAHundredLinesThroughAtOnce) {
    FramedClient& paster = chat.Join();
    for (int n = 0; n < 100; ++n) {
        paster.Stage(Line(n, 1000));
    }
    int relayed = 0;
    for (int turn = 0; turn < 3000 && relayed < 100; ++turn) {
        paster.Flush(0);
        chat.server.Frame();  // the clock stands still
        while (paster.Poll() != nullptr) {
            ++relayed;
        }
        ASSERT_FALSE(chat.server.connections[0].readingPaused);
    }
    EXPECT_EQ(relayed, 100);
    EXPECT_THAT(chat.Console(), Not(HasSubstr(FloodLine)));
}

TEST_F(FloodControlTest, StillDropsAReaderThatNeverReadsWhenManySendWithinTheirBudgets) {
    SlowReader();
    std::vector<FramedClient*> senders;
    for (int i = 0; i < 10; ++i) {
        senders.push_back(&chat.Join());
    }
    // 110 KB each, inside every sender's burst: 1.1 MB for the one who never reads.
    for (FramedClient* sender : senders) {
        for (int n = 0; n < 14; ++n) {
            sender->Stage(Line(n, 8000));
        }
    }
    for (int turn = 0; turn < 20000 && chat.server.connections.size() == 11; ++turn) {
        for (FramedClient* sender : senders) {
            sender->Flush(0);
            while (sender->Poll() != nullptr) {
            }
        }
        chat.server.Frame();
    }
    EXPECT_THAT(chat.Console(), HasSubstr("[Send queue limit exceeded.] Connection lost : "));
    EXPECT_THAT(chat.Console(), Not(HasSubstr(FloodLine)));
    EXPECT_EQ(chat.server.connections.size(), 10u);
}

}  // namespace
