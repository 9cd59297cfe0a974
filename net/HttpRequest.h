#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace hNet {

// A request head longer than this is refused (431) rather than kept: it is all the
// server ever holds of a request.
inline constexpr std::size_t MaxRequestHeadBytes = 8 * 1024;
// A head with more field lines than this is refused like one too long; browsers send
// about twenty.
inline constexpr std::size_t MaxRequestFields = 100;

struct HttpRequest {
    std::string method, target, version;
    // Field names lower-cased, values trimmed of blanks, each name once in the order it
    // first arrived: a repeated field's values are joined with ", " in that first place.
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the named field (lower-case name), or null.
    const std::string* Field(std::string_view lowerName) const;
};

enum class HeadParse { Incomplete, Complete, TooLarge, Malformed };

// `received` is everything read from the connection so far; nothing past it, nor past
// its first MaxRequestHeadBytes, is read. Complete: `request` is filled and `headBytes`
// is the head's length, the blank line included; the bytes behind it are not the head's.
// TooLarge once MaxRequestHeadBytes have come without the end of the head, or with more
// than MaxRequestFields fields. Lines end with CR LF: a bare LF, a bare CR or any other
// control byte, a folded line, or blanks before a field's colon make the head Malformed.
// Once the answer is Complete, TooLarge or Malformed, more bytes never change it.
HeadParse ParseRequestHead(std::string_view received, HttpRequest& request, std::size_t& headBytes);

}  // namespace hNet
