#include <gtest/gtest.h>

#include <ctime>

#include "Endpoint.h"
#include "Platform.h"
#include "Socket.h"
#include "support/Loopback.h"

namespace {

using hNet::Endpoint;
using hNet::NetResult;
using hNet::Socket;

// The text ends up inside a console line, so the system's own line break must not.
TEST(Platform, SocketErrorTextIsOneLine) {
    const std::uint16_t port = support::FreePort();
    Socket holder;
    ASSERT_EQ(holder.Create(), NetResult::Success);
    ASSERT_EQ(holder.Bind(Endpoint("127.0.0.1", port)), NetResult::Success);
    Socket second;
    ASSERT_EQ(second.Create(), NetResult::Success);
    ASSERT_EQ(second.Bind(Endpoint("127.0.0.1", port)), NetResult::GenericError);

    const std::string text = hNet::LastSocketErrorText();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    second.Close();
    holder.Close();
}

TEST(Platform, LocalTimeConvertsBackToTheSameCalendarTime) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_TRUE(hNet::ToLocalTime(now, local));
    EXPECT_EQ(std::mktime(&local), now);
}

}  // namespace
