#include <gtest/gtest.h>

#include <ctime>
#include <regex>

#include "Platform.h"
#include "Timestamp.h"

namespace {

TEST(Timestamp, IsTenCharactersWithTwoDigitFields) {
    const std::regex form(R"(\[([01]\d|2[0-3]):[0-5]\d:([0-5]\d|60)\])");
    for (int call = 0; call < 3; ++call) {
        const std::string stamp = GetTimestamp();
        EXPECT_EQ(stamp.size(), 10u);
        EXPECT_TRUE(std::regex_match(stamp, form)) << stamp;
    }
}

TEST(Timestamp, LocalTimeConvertsBackToTheSameCalendarTime) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ASSERT_TRUE(hNet::ToLocalTime(now, local));
    EXPECT_EQ(std::mktime(&local), now);
}

}  // namespace
