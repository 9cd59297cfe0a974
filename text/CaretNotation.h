#pragma once

#include <ostream>
#include <string>
#include <string_view>

// Writes text that came from the network so that it cannot steer a terminal: every byte
// below 0x20 and 0x7F as '^' and the byte plus 0x40 ("^[" for ESC, "^?" for DEL); a C1
// control, U+0080 to U+009F in UTF-8 or a lone byte 0x80 to 0x9F, as "M-" and the caret
// form of its value less 0x80 ("M-^[" for U+009B); every other byte, the rest of UTF-8
// included, as it is.
void WriteCaretNotation(std::ostream& out, std::string_view text);
std::string CaretNotation(std::string_view text);
