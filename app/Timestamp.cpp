#include "Timestamp.h"

#include <cstdio>
#include <ctime>

#include "NoticeForm.h"
#include "Platform.h"

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
