#include "HttpText.h"

#include <algorithm>

namespace hNet {

namespace {

char LowerAscii(char byte) {
    return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
}

bool IsTokenByte(char byte) {
    return IsDigit(byte) || (LowerAscii(byte) >= 'a' && LowerAscii(byte) <= 'z') ||
           std::string_view("!#$%&'*+-.^_`|~").find(byte) != std::string_view::npos;
}

}  // namespace

bool IsToken(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), IsTokenByte);
}

bool EqualsIgnoringCase(std::string_view one, std::string_view other) {
    return one.size() == other.size() &&
           std::equal(one.begin(), one.end(), other.begin(),
                      [](char a, char b) { return LowerAscii(a) == LowerAscii(b); });
}

std::string AsciiLower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

std::string_view TrimBlanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string_view> ListItems(std::string_view list) {
    std::vector<std::string_view> items;
    while (!list.empty()) {
        const std::size_t comma = list.find(',');
        const std::string_view item = TrimBlanks(list.substr(0, comma));
        if (!item.empty()) {
            items.push_back(item);
        }
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
    }
    return items;
}

bool ListHoldsIgnoringCase(std::string_view list, std::string_view token) {
    const auto items = ListItems(list);
    return std::any_of(items.begin(), items.end(),
                       [token](std::string_view item) { return EqualsIgnoringCase(item, token); });
}

}  // namespace hNet
