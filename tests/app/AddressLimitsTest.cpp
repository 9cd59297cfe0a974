// The limits per address, over a clock the test turns: a crowd from one address gets no
// more than its share, and the people elsewhere never notice it.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <iostream>
#include <string>

#include "AddressBook.h"
#include "ChatPage.h"
#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using testing::HasSubstr;

const char* const TooMany = "Too many connections from your address.";
const char* const TooFast = "Too many new connections from your address; try again shortly.";

class AddressLimitsTest : public testing::Test {
  protected:
    void SetUp() override {
        server.clock = [this] { return nowMs; };
        server.ServeWeb(hNet::Endpoint("127.0.0.1", 0), ChatPage());
        port = server.Listen();
        webPort = support::LocalPort(server.webListeningSocket);
        Open(support::NextPersonAddress());
        Settle();
    }

    // A client from `from`, or a browser (through the web port, from loopback) that a proxy
    // says comes from `forwardedFor`. It is in the chat, or refused, when this returns.
    hNet::FramedClient& Open(const std::string& from, const std::string& forwardedFor = "") {
        hNet::ConnectOptions options;
        options.sourceAddress = from;
        options.webSocket = !forwardedFor.empty();
        if (options.webSocket) {
            options.headerFields.push_back("X-Forwarded-For: " + forwardedFor);
        }
        hNet::FramedClient& client = clients.emplace_back();
        std::string error;
        EXPECT_TRUE(client.Connect("127.0.0.1", options.webSocket ? webPort : port, error, options))
            << error;
        const std::size_t before = server.connections.size();
        const std::size_t refusedBefore = Refusals();
        EXPECT_TRUE(support::TurnUntil(server, [&] {
            client.Flush(0);
            return server.connections.size() > before || Refusals() > refusedBefore;
        }));
        return client;
    }

    std::size_t Refusals() const {
        return support::CountOf(console.Text(), " - Connection refused: ");
    }

    // Every client reads what it was sent.
    void Settle() {
        support::TurnUntil(server, [&] {
            bool quiet = true;
            for (hNet::FramedClient& client : clients) {
                while (client.Poll() != nullptr) {
                    quiet = false;
                }
            }
            return quiet;
        });
    }

    // What a refused client heard before the server closed it.
    std::string Refusal(hNet::FramedClient& client) {
        std::string heard;
        support::TurnUntil(server, [&] {
            while (auto packet = client.Poll()) {
                heard += support::WithoutTimes(support::BodyOf(packet).substr(6));
            }
            return !client.IsOpen();
        });
        return heard;
    }

    support::StreamCapture console{std::cout};
    std::int64_t nowMs = 1000;
    support::TestServer<MyServer> server;
    std::uint16_t port = 0;
    std::uint16_t webPort = 0;
    std::deque<hNet::FramedClient> clients;
};

TEST_F(AddressLimitsTest, TheConnectionPastTheCapIsRefusedAndNobodyHearsOfIt) {
    for (const bool browsers : {false, true}) {
        SCOPED_TRACE(browsers ? "browsers behind a proxy" : "terminals");
        const std::string crowd = browsers ? "203.0.113.9" : "127.0.0.5";
        const auto open = [&](const std::string& from) -> hNet::FramedClient& {
            return browsers ? Open(support::NextPersonAddress(), from) : Open(from);
        };
        // Within the throttle: a burst, and the rest once it has refilled.
        for (std::size_t n = 0; n < hNet::AddressBook::MaxConnections; ++n) {
            if (n == hNet::AddressBook::BurstConnects) {
                nowMs += 8000;
            }
            open(crowd);
        }
        const std::size_t members = server.connections.size();
        Settle();
        nowMs += 8000;

        hNet::FramedClient& refused = open(crowd);
        EXPECT_EQ(Refusal(refused), "[hh:mm:ss] [SERVER]: " + std::string(TooMany));
        if (browsers) {
            EXPECT_THAT(refused.CloseReason(), HasSubstr("1008"));
        }
        EXPECT_THAT(console.Text(), HasSubstr("[" + crowd + ":"));
        EXPECT_THAT(console.Text(),
                    HasSubstr(" - Connection refused: too many connections from this address.\n"));
        EXPECT_EQ(server.connections.size(), members);
        support::Turns(server, 20);
        for (hNet::FramedClient& client : clients) {
            EXPECT_EQ(client.Poll(), nullptr) << "someone heard of the refused connection";
        }
        open("127.0.0.2");
        EXPECT_EQ(server.connections.size(), members + 1);
        Settle();
    }
}

TEST_F(AddressLimitsTest, NewConnectionsAreThrottledThenAcceptedAgain) {
    const std::size_t before = server.connections.size();
    for (int n = 0; n < 20; ++n) {
        Open("127.0.0.6");
    }
    EXPECT_EQ(server.connections.size(), before + 16);
    for (std::size_t n = 16; n < 20; ++n) {
        EXPECT_EQ(Refusal(clients[1 + n]), "[hh:mm:ss] [SERVER]: " + std::string(TooFast));
    }
    EXPECT_EQ(support::CountOf(console.Text(), "too many new connections from this address."), 4u);

    nowMs += 1000;
    Open("127.0.0.6");
    Open("127.0.0.6");
    EXPECT_EQ(server.connections.size(), before + 18);
}

}  // namespace
