#include "VisibleText.h"

#include <cstdio>

#include "CaretNotation.h"

namespace {

// The code point of a bidirectional control encoded at text[at], or 0.
unsigned BidiControlAt(std::string_view text, std::size_t at) {
    if (at + 2 >= text.size() || text[at] != '\xE2') {
        return 0;
    }
    const auto second = static_cast<unsigned char>(text[at + 1]);
    const auto third = static_cast<unsigned char>(text[at + 2]);
    const unsigned codePoint = 0x2000 | ((second & 0x3Fu) << 6) | (third & 0x3Fu);
    const bool embeddingOrOverride = second == 0x80 && third >= 0xAA && third <= 0xAE;
    const bool isolate = second == 0x81 && third >= 0xA6 && third <= 0xA9;
    return embeddingOrOverride || isolate ? codePoint : 0;
}

}  // namespace

std::string VisibleText(std::string_view text) {
    const std::string caret = CaretNotation(text);
    std::string shown;
    shown.reserve(caret.size());
    for (std::size_t i = 0; i < caret.size(); ++i) {
        if (const unsigned codePoint = BidiControlAt(caret, i)) {
            char name[16];
            std::snprintf(name, sizeof name, "<U+%04X>", codePoint);
            shown += name;
            i += 2;
        } else {
            shown += caret[i];
        }
    }
    return shown;
}
