#pragma once

#include <ostream>
#include <string>
#include <string_view>

// Writes text that came from the network so that it cannot steer a terminal: every byte
// below 0x20 and 0x7F as '^' and the byte plus 0x40 ("^[" for ESC, "^?" for DEL); every
// other byte, UTF-8 included, as it is.
void WriteCaretNotation(std::ostream& out, std::string_view text);
std::string CaretNotation(std::string_view text);
