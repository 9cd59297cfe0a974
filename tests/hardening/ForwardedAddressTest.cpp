// X-Forwarded-For is a proxy's word on whom it serves, and only a proxy on the server's
// own machine is believed: from another host the field could name anybody.

#include <gtest/gtest.h>

#include <iostream>
#include <string>

#include "ChatPage.h"
#include "MyServer.h"
#include "TestNetwork.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

TEST(ForwardedAddress, FromAnotherHostIsIgnored) {
    TestNetwork network;
    if (!network.Missing().empty()) {
        GTEST_SKIP() << network.Missing();
    }
    support::StreamCapture console(std::cout);
    support::TestServer<MyServer> server;
    std::uint16_t webPort = 0;
    network.Inside(network.server, [&] {
        server.ServeWeb(hNet::Endpoint("0.0.0.0", 0), ChatPage());
        ASSERT_NE(server.Listen(0, "0.0.0.0"), 0);
        webPort = support::LocalPort(server.webListeningSocket);
    });
    hNet::Socket browser;
    network.Inside(network.far, [&] {
        ASSERT_EQ(browser.Create(), hNet::NetResult::Success);
        ASSERT_EQ(browser.Connect(hNet::Endpoint("10.77.0.1", webPort)), hNet::NetResult::Success);
    });
    support::SendAll(browser,
                     "GET / HTTP/1.1\r\nHost: 10.77.0.1\r\nUpgrade: websocket\r\n"
                     "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                     "Sec-WebSocket-Version: 13\r\nX-Forwarded-For: 203.0.113.9\r\n\r\n");
    ASSERT_TRUE(support::TurnUntil(server, [&] { return server.connections.size() == 1; }));

    const std::string label = server.connections[0].description;
    EXPECT_EQ(label.rfind("[10.77.0.2:", 0), 0u) << label;
    EXPECT_NE(console.Text().find(label + " - New connection accepted.\n"), std::string::npos)
        << console.Text();
    EXPECT_EQ(console.Text().find("203.0.113.9"), std::string::npos) << console.Text();
    browser.Close();
}

}  // namespace
