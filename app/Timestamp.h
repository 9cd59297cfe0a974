#pragma once

#include <string>

// The local time of day as "[hh:mm:ss]", always 10 characters; "[--:--:--]" when the
// clock cannot be read.
std::string GetTimestamp();
