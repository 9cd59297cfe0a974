#include "UserListChange.h"

#include <algorithm>
#include <iterator>

namespace {

// The names in `from` that `without` lacks, counting repeated names one by one.
UserNames Difference(UserNames from, UserNames without) {
    std::sort(from.begin(), from.end());
    std::sort(without.begin(), without.end());
    UserNames rest;
    std::set_difference(from.begin(), from.end(), without.begin(), without.end(),
                        std::back_inserter(rest));
    return rest;
}

}  // namespace

UserNames ParseUserList(const std::string& body) {
    UserNames names;
    std::size_t start = 0;
    for (auto end = body.find('\n'); end != std::string::npos; end = body.find('\n', start)) {
        names.push_back(body.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::optional<std::string> DescribeUserListChange(const UserNames& before, const UserNames& after,
                                                  bool departureAnnounced) {
    const UserNames added = Difference(after, before);
    const UserNames removed = Difference(before, after);
    if (added.size() == 1 && removed.empty()) {
        return added[0] + " joined";
    }
    if (added.size() == 1 && removed.size() == 1) {
        return removed[0] + " is now " + added[0];
    }
    if (added.empty() && removed.size() == 1 && departureAnnounced) {
        return removed[0] + " left";
    }
    return std::nullopt;
}
