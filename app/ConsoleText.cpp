#include "ConsoleText.h"

#include <sstream>

void WriteCaretNotation(std::ostream& out, std::string_view text) {
    std::size_t plainFrom = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte >= 0x20 && byte != 0x7F) {
            continue;
        }
        out.write(text.data() + plainFrom, static_cast<std::streamsize>(i - plainFrom));
        const char caret[2] = {'^', static_cast<char>(byte ^ 0x40)};
        out.write(caret, 2);
        plainFrom = i + 1;
    }
    out.write(text.data() + plainFrom, static_cast<std::streamsize>(text.size() - plainFrom));
}

std::string CaretNotation(std::string_view text) {
    std::ostringstream shown;
    WriteCaretNotation(shown, text);
    return shown.str();
}
