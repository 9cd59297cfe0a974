#pragma once

#include <string_view>

// Whether a chat line's text would pass for a server notice: it begins with a time stamp
// (see BeginsWithTimestamp) and then "[SERVER]", with nothing before, between or around
// them but blanks and characters that terminals draw as nothing. Ordinary lines are told
// apart by their first byte.
bool ImitatesNotice(std::string_view text);
