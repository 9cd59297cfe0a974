#include "NoticeForm.h"

namespace {

// The UTF-8 length of the character at text[at] when it shows as a blank or as nothing,
// or 0: U+0020, U+00A0, U+00AD, U+061C, U+2000 to U+200F, U+202F, U+205F to U+2064,
// U+3000 and U+FEFF. Around the stamp, they would leave a line looking like a notice.
std::size_t FillerAt(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t offset) -> unsigned {
        return at + offset < text.size() ? static_cast<unsigned char>(text[at + offset]) : 0;
    };
    switch (byte(0)) {
        case 0x20:
            return 1;
        case 0xC2:
            return byte(1) == 0xA0 || byte(1) == 0xAD ? 2 : 0;
        case 0xD8:
            return byte(1) == 0x9C ? 2 : 0;
        case 0xE2: {
            const unsigned second = byte(1);
            const unsigned third = byte(2);
            const bool spaceOrZeroWidth =
                second == 0x80 && ((third >= 0x80 && third <= 0x8F) || third == 0xAF);
            const bool joinerOrInvisible = second == 0x81 && third >= 0x9F && third <= 0xA4;
            return spaceOrZeroWidth || joinerOrInvisible ? 3 : 0;
        }
        case 0xE3:
            return byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
        case 0xEF:
            return byte(1) == 0xBB && byte(2) == 0xBF ? 3 : 0;
        default:
            return 0;
    }
}

std::size_t SkipFiller(std::string_view text, std::size_t at) {
    while (const std::size_t length = FillerAt(text, at)) {
        at += length;
    }
    return at;
}

}  // namespace

static_assert(UnreadableClock.size() == TimestampBytes);

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

bool ImitatesNotice(std::string_view text) {
    constexpr std::string_view Server = "[SERVER]";
    std::size_t at = SkipFiller(text, 0);
    if (!BeginsWithTimestamp(text.substr(at))) {
        return false;
    }
    at = SkipFiller(text, at + TimestampBytes);
    return text.substr(at, Server.size()) == Server;
}
