#pragma once

#include <cstddef>
#include <string_view>

// What a server notice looks like: the time of day as "[hh:mm:ss]", or "[--:--:--]" when
// the server cannot read its clock, then "[SERVER]". The server relays no chat line of
// that form, so clients may take a line of it for the server's.
inline constexpr std::size_t TimestampBytes = 10;
inline constexpr std::string_view UnreadableClock = "[--:--:--]";

// Whether the text begins with a stamp of that form, digits in any range.
bool BeginsWithTimestamp(std::string_view text);

// Whether a chat line's text would pass for a server notice: it begins with a time stamp
// and then "[SERVER]", with nothing before, between or around them but blanks and
// characters that terminals draw as nothing. Ordinary lines are told apart by their first
// byte.
bool ImitatesNotice(std::string_view text);
