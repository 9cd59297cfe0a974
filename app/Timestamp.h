#pragma once

#include <string>
#include <string_view>

// The local time of day as "[hh:mm:ss]", always 10 characters; "[--:--:--]" when the
// clock cannot be read.
std::string GetTimestamp();

// Whether the text begins with a stamp of that form, digits in any range.
bool BeginsWithTimestamp(std::string_view text);
