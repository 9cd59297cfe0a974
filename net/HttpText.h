#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace hNet {

// HTTP's character classes and comparisons, in ASCII whatever the locale.

inline bool IsDigit(char byte) {
    return byte >= '0' && byte <= '9';
}
// One or more of the characters a method or a field name may hold.
bool IsToken(std::string_view text);
bool EqualsIgnoringCase(std::string_view one, std::string_view other);
std::string AsciiLower(std::string_view text);
// Without the spaces and tabs at either end.
std::string_view TrimBlanks(std::string_view text);
// The items of a comma-separated field value, trimmed; empty items left out.
std::vector<std::string_view> ListItems(std::string_view list);
// Whether one of those items is the token, in any case.
bool ListHoldsIgnoringCase(std::string_view list, std::string_view token);

}  // namespace hNet
