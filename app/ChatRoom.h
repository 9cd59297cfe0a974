#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Connection.h"
#include "Packet.h"

// A notice of the server's: the time of day, " [SERVER]: " and the text.
std::shared_ptr<hNet::Packet> ServerNotice(const std::string& text);

// The people connected to the chat: greets newcomers, tells the others when someone
// arrives or leaves, relays every line to everyone and keeps the ordered list of names.
// It answers only by appending packets to its members' outgoing queues.
class ChatRoom {
  public:
    // The members are the server's connections, in order of acceptance.
    explicit ChatRoom(std::vector<hNet::Connection>& members) : members(members) {}

    void Join(hNet::Connection& newcomer);
    // While the leaver is still a member; its queue is discarded with it.
    void Leave(hNet::Connection& leaver);
    // Null when the very packet went to every member, the sender included; otherwise why
    // it was refused, which the sender was told. `text` is the line's text.
    const char* Relay(hNet::Connection& sender, const std::shared_ptr<hNet::Packet>& line,
                      std::string_view text);
    // Null when the name was taken; otherwise why it was refused, which the member was told.
    const char* Rename(hNet::Connection& member, std::string newName);

    // Duplicates and the empty name are allowed; a name joins at the end.
    const std::vector<std::string>& UserNames() const { return userNames; }

  private:
    void Notify(hNet::Connection& member, const std::string& text);
    void QueueToAllExcept(const std::shared_ptr<hNet::Packet>& packet,
                          const hNet::Connection* skipped);
    // The wire bytes of the list that each member was sent.
    std::size_t BroadcastUserList();
    const char* NameRefusal(const std::string& newName,
                            std::optional<std::size_t> oldPosition) const;

    std::vector<hNet::Connection>& members;
    std::vector<std::string> userNames;
    // The list as last sent to everyone, for each newcomer to share.
    std::shared_ptr<hNet::Packet> userList = hNet::MakeTextPacket(hNet::PacketType::UserList, "");
};
