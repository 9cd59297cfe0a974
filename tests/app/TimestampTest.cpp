#include <gtest/gtest.h>

#include <regex>

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

}  // namespace
