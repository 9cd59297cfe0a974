#include <gtest/gtest.h>

#include <ctime>

#include "Platform.h"

namespace {

TEST(Timestamp, LocalTimeConvertsBackToTheSameCalendarTime) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_TRUE(hNet::ToLocalTime(now, local));
    EXPECT_EQ(std::mktime(&local), now);
}

}  // namespace
