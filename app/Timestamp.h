#pragma once

#include <cstddef>
#include <string>
#include <string_view>

inline constexpr std::size_t TimestampBytes = 10;

// The local time of day as "[hh:mm:ss]", always TimestampBytes characters; "[--:--:--]"
// when the clock cannot be read.
std::string GetTimestamp();

// Whether the text begins with a stamp of that form, digits in any range.
bool BeginsWithTimestamp(std::string_view text);
