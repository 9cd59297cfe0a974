#pragma once

#include <string>
#include <string_view>

// Text from the network as the console client shows it: control characters in the
// server's caret notation (CaretNotation), and the Unicode controls that reorder
// bidirectional text, U+202A to U+202E and U+2066 to U+2069, written out as "<U+202E>", so
// that no line can turn round the rest of itself or anything printed after it.
std::string VisibleText(std::string_view text);
