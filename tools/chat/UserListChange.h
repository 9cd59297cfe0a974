#pragma once

#include <optional>
#include <string>
#include <vector>

// Names in the server's order; one name may be listed more than once.
using UserNames = std::vector<std::string>;

// The names of a user list body, in which each name ends with a line feed.
UserNames ParseUserList(const std::string& body);

// What a list tells of one person compared with the list before it: "ann joined", "ann is
// now annie", or "ann left" when the server also announced a departure in between. Nothing
// when the lists show no single person's change, since the protocol names nobody itself.
std::optional<std::string> DescribeUserListChange(const UserNames& before, const UserNames& after,
                                                  bool departureAnnounced);
