#include "Timestamp.h"

#include <cstdio>
#include <ctime>

#include "Platform.h"

namespace {

constexpr std::string_view UnreadableClock = "[--:--:--]";
static_assert(UnreadableClock.size() == TimestampBytes);

}  // namespace

std::string GetTimestamp() {
    std::tm local{};
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1) || !hNet::ToLocalTime(now, local)) {
        return std::string(UnreadableClock);
    }
    char text[16];
    std::snprintf(text, sizeof(text), "[%02d:%02d:%02d]", local.tm_hour % 100, local.tm_min % 100,
                  local.tm_sec % 100);
    return text;
}

bool BeginsWithTimestamp(std::string_view text) {
    if (text.size() < TimestampBytes) {
        return false;
    }
    if (text.substr(0, UnreadableClock.size()) == UnreadableClock) {
        return true;
    }
    const auto digit = [&](std::size_t at) { return text[at] >= '0' && text[at] <= '9'; };
    return text[0] == '[' && digit(1) && digit(2) && text[3] == ':' && digit(4) && digit(5) &&
           text[6] == ':' && digit(7) && digit(8) && text[9] == ']';
}
