#include "CaretNotation.h"

#include <sstream>

namespace {

bool Within(std::string_view text, std::size_t at, unsigned char low, unsigned char high) {
    if (at >= text.size()) {
        return false;
    }
    const auto byte = static_cast<unsigned char>(text[at]);
    return byte >= low && byte <= high;
}

// The length of the well-formed UTF-8 sequence of two bytes or more that starts at `at`
// (no overlong forms, surrogates or code points past U+10FFFF), or 0 when none does.
std::size_t MultiByteSequenceLength(std::string_view text, std::size_t at) {
    const auto lead = static_cast<unsigned char>(text[at]);
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    std::size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (!Within(text, at + 1, low, high)) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (!Within(text, at + i, 0x80, 0xBF)) {
            return 0;
        }
    }
    return length;
}

void WriteCaret(std::ostream& out, unsigned char control) {
    const char caret[2] = {'^', static_cast<char>(control ^ 0x40)};
    out.write(caret, 2);
}

}  // namespace

void WriteCaretNotation(std::ostream& out, std::string_view text) {
    std::size_t plainFrom = 0;
    const auto flushPlain = [&](std::size_t to) {
        out.write(text.data() + plainFrom, static_cast<std::streamsize>(to - plainFrom));
    };
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            flushPlain(i);
            WriteCaret(out, byte);
            plainFrom = ++i;
            continue;
        }
        if (byte < 0x80) {
            ++i;
            continue;
        }
        const std::size_t sequence = MultiByteSequenceLength(text, i);
        // A C1 control: U+0080 to U+009F encoded, or a lone byte of that value.
        const bool encodedC1 = byte == 0xC2 && sequence == 2 && Within(text, i + 1, 0x80, 0x9F);
        const bool loneC1 = sequence == 0 && byte <= 0x9F;
        if (encodedC1 || loneC1) {
            const auto value = encodedC1 ? static_cast<unsigned char>(text[i + 1]) : byte;
            flushPlain(i);
            out.write("M-", 2);
            WriteCaret(out, static_cast<unsigned char>(value - 0x80));
            i += encodedC1 ? 2 : 1;
            plainFrom = i;
            continue;
        }
        i += sequence > 0 ? sequence : 1;
    }
    flushPlain(text.size());
}

std::string CaretNotation(std::string_view text) {
    std::ostringstream shown;
    WriteCaretNotation(shown, text);
    return shown.str();
}
