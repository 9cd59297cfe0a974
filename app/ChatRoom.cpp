#include "ChatRoom.h"

#include <numeric>

#include "NoticeForm.h"
#include "Timestamp.h"

namespace {

using hNet::Connection;
using hNet::MakeTextPacket;
using hNet::Packet;
using hNet::PacketType;

// The joined list, each name followed by a line feed, must fit one UserList body.
constexpr std::size_t MaxUserListBytes = hNet::MaxTextBytes;

// The position of the last entry equal to `name`.
std::optional<std::size_t> FindLast(const std::vector<std::string>& names,
                                    const std::string& name) {
    std::optional<std::size_t> found;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == name) {
            found = i;
        }
    }
    return found;
}

std::size_t JoinedSize(const std::vector<std::string>& names) {
    return std::accumulate(
        names.begin(), names.end(), std::size_t{0},
        [](std::size_t sum, const std::string& name) { return sum + name.size() + 1; });
}

}  // namespace

void ChatRoom::Join(Connection& newcomer) {
    Notify(newcomer, "Connection to server successful.");
    Notify(newcomer, "Welcome to Halvex chat server!");
    // Who is here already: otherwise a newcomer would learn it only at the next change.
    newcomer.outgoing.Append(userList);
    // Each other member gets the notice and, directly behind it, the UserConnected packet.
    QueueToAllExcept(ServerNotice("New user connected!"), &newcomer);
    QueueToAllExcept(std::make_shared<Packet>(PacketType::UserConnected), &newcomer);
}

void ChatRoom::Leave(Connection& leaver) {
    QueueToAllExcept(
        MakeTextPacket(PacketType::ChatMessage, GetTimestamp() + "[SERVER]: A user disconnected."),
        &leaver);
    if (const auto position = FindLast(userNames, leaver.userName)) {
        userNames.erase(userNames.begin() + static_cast<std::ptrdiff_t>(*position));
        BroadcastUserList();
    }
}

// A line that looks like a notice would make every reader trust what anyone wrote.
const char* ChatRoom::Relay(Connection& sender, const std::shared_ptr<Packet>& line,
                            std::string_view text) {
    if (ImitatesNotice(text)) {
        const char* refusal = "Message refused: only the server writes server notices.";
        Notify(sender, refusal);
        return refusal;
    }
    QueueToAllExcept(line, nullptr);
    return nullptr;
}

const char* ChatRoom::Rename(Connection& member, std::string newName) {
    const auto oldPosition = FindLast(userNames, member.userName);
    if (const char* refusal = NameRefusal(newName, oldPosition)) {
        Notify(member, refusal);
        return refusal;
    }
    if (oldPosition) {
        userNames.erase(userNames.begin() + static_cast<std::ptrdiff_t>(*oldPosition));
    }
    member.userName = newName;
    userNames.push_back(std::move(newName));
    // Every reader gets the new list, so the renamer pays for it as for a line it sent:
    // otherwise renames would push a list to everyone faster than the budget lets lines go.
    member.budget->Charge(static_cast<std::int64_t>(BroadcastUserList()), 0);
    return nullptr;
}

// A line feed would split the name into several in the list; a very long name, or a full
// list, would leave no room in the list's one packet.
const char* ChatRoom::NameRefusal(const std::string& newName,
                                  std::optional<std::size_t> oldPosition) const {
    if (newName.find('\n') != std::string::npos) {
        return "User name refused: a name cannot contain a line feed.";
    }
    if (newName.size() > hNet::MaxNameBytes) {
        return hNet::NameTooLongRefusal;
    }
    const std::size_t freed = oldPosition ? userNames[*oldPosition].size() + 1 : 0;
    if (JoinedSize(userNames) - freed + newName.size() + 1 > MaxUserListBytes) {
        return "User name refused: the user list is full.";
    }
    return nullptr;
}

std::shared_ptr<Packet> ServerNotice(const std::string& text) {
    return MakeTextPacket(PacketType::ChatMessage, GetTimestamp() + " [SERVER]: " + text);
}

void ChatRoom::Notify(Connection& member, const std::string& text) {
    member.outgoing.Append(ServerNotice(text));
}

std::size_t ChatRoom::BroadcastUserList() {
    std::string joined;
    for (const std::string& name : userNames) {
        joined += name;
        joined += '\n';
    }
    userList = MakeTextPacket(PacketType::UserList, joined);
    QueueToAllExcept(userList, nullptr);
    return hNet::SizePrefixBytes + userList->buffer.size();
}

void ChatRoom::QueueToAllExcept(const std::shared_ptr<Packet>& packet, const Connection* skipped) {
    for (Connection& member : members) {
        if (&member != skipped) {
            member.outgoing.Append(packet);
        }
    }
}
