#include "MyServer.h"

#include <cstdint>
#include <iostream>
#include <numeric>
#include <optional>
#include <string_view>

#include "ConsoleText.h"
#include "Timestamp.h"

namespace {

using hNet::Connection;
using hNet::Packet;
using hNet::PacketType;

// The joined list, each name followed by a line feed, must fit one UserList body.
constexpr std::size_t MaxUserListBytes = hNet::MaxPacketSize - 2 - 4;
// Long enough for any name a person picks; short enough that one client cannot fill the
// list for everyone else.
constexpr std::size_t MaxUserNameBytes = 64;
// The size prefix in front of every body on the wire.
constexpr std::size_t FramePrefixBytes = 2;

std::shared_ptr<Packet> MakeChatMessage(const std::string& text) {
    auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
    *packet << text;
    return packet;
}

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

void MyServer::OnConnect(Connection& newConnection) {
    std::cout << newConnection.description << " - New connection accepted." << std::endl;
    SendServerMessage("Connection to server successful.", newConnection);
    SendServerMessage("Welcome to Halvex chat server!", newConnection);
    // Each other client gets the notice and, directly behind it, the UserConnected packet.
    QueueToAllExcept(MakeChatMessage(GetTimestamp() + " [SERVER]: New user connected!"),
                     &newConnection);
    QueueToAllExcept(std::make_shared<Packet>(PacketType::UserConnected), &newConnection);
}

void MyServer::OnDisconnect(Connection& lostConnection, std::string reason) {
    std::cout << "[" << reason << "] Connection lost : " << lostConnection.description << std::endl;
    QueueToAllExcept(MakeChatMessage(GetTimestamp() + "[SERVER]: A user disconnected."),
                     &lostConnection);
    if (const auto position = FindLast(userNames, lostConnection.userName)) {
        userNames.erase(userNames.begin() + static_cast<std::ptrdiff_t>(*position));
        BroadcastUserList();
    }
}

bool MyServer::ProcessPacket(std::shared_ptr<Packet> packet, Connection& connection) {
    switch (packet->GetPacketType()) {
        case PacketType::ChatMessage: {
            std::string_view text;
            *packet >> text;
            std::cout << connection.description << " Message: ";
            WriteCaretNotation(std::cout, text);
            std::cout << std::endl;
            QueueToAllExcept(packet, nullptr);
            return true;
        }
        case PacketType::IntegerArray: {
            std::uint32_t count = 0;
            *packet >> count;
            std::cout << "Array Size: " << count << std::endl;
            for (std::uint32_t i = 0; i < count; ++i) {
                std::uint32_t value = 0;
                *packet >> value;
                std::cout << "Element[" << i << "] - " << value << std::endl;
            }
            return true;
        }
        case PacketType::SetUserName:
            return SetUserName(*packet, connection);
        default:
            std::cout << "Unrecognized packet type: "
                      << static_cast<std::uint16_t>(packet->GetPacketType()) << std::endl;
            return false;
    }
}

bool MyServer::SetUserName(Packet& packet, Connection& connection) {
    std::string newName;
    packet >> newName;
    const auto oldPosition = FindLast(userNames, connection.userName);
    if (const char* refusal = NameRefusal(newName, oldPosition)) {
        SendServerMessage(refusal, connection);
        std::cout << connection.description << " " << refusal << std::endl;
        return true;
    }
    if (oldPosition) {
        userNames.erase(userNames.begin() + static_cast<std::ptrdiff_t>(*oldPosition));
    }
    connection.userName = newName;
    userNames.push_back(std::move(newName));
    // Every reader gets the new list, so the renamer pays for it as for a line it sent:
    // otherwise renames would push a list to everyone faster than the budget lets lines go.
    connection.budget.Charge(static_cast<std::int64_t>(BroadcastUserList()), 0);
    return true;
}

// A line feed would split the name into several in the list; a very long name, or a full
// list, would leave no room in the list's one packet.
const char* MyServer::NameRefusal(const std::string& newName,
                                  std::optional<std::size_t> oldPosition) const {
    if (newName.find('\n') != std::string::npos) {
        return "User name refused: a name cannot contain a line feed.";
    }
    if (newName.size() > MaxUserNameBytes) {
        return "User name refused: a name is at most 64 bytes.";
    }
    const std::size_t freed = oldPosition ? userNames[*oldPosition].size() + 1 : 0;
    if (JoinedSize(userNames) - freed + newName.size() + 1 > MaxUserListBytes) {
        return "User name refused: the user list is full.";
    }
    return nullptr;
}

void MyServer::SendServerMessage(std::string text, Connection& target) {
    target.outgoing.Append(MakeChatMessage(GetTimestamp() + " [SERVER]: " + text));
}

std::size_t MyServer::BroadcastUserList() {
    std::string joined;
    for (const std::string& name : userNames) {
        joined += name;
        joined += '\n';
    }
    auto list = std::make_shared<Packet>(PacketType::UserList);
    *list << joined;
    QueueToAllExcept(list, nullptr);
    return FramePrefixBytes + list->buffer.size();
}

void MyServer::QueueToAllExcept(const std::shared_ptr<Packet>& packet, const Connection* skipped) {
    for (Connection& connection : connections) {
        if (&connection != skipped) {
            connection.outgoing.Append(packet);
        }
    }
}
