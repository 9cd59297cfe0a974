#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Server.h"

// The chat: greets newcomers, announces arrivals and departures, relays every chat line
// to every client, keeps the ordered list of user names and prints what happens.
class MyServer : public hNet::Server {
  public:
    void OnConnect(hNet::Connection& newConnection) override;
    void OnDisconnect(hNet::Connection& lostConnection, std::string reason) override;
    bool ProcessPacket(std::shared_ptr<hNet::Packet> packet, hNet::Connection& connection) override;

    const std::vector<std::string>& UserNames() const { return userNames; }

  private:
    void SendServerMessage(std::string text, hNet::Connection& target);
    // The wire bytes of the list that each connection was sent.
    std::size_t BroadcastUserList();
    void QueueToAllExcept(const std::shared_ptr<hNet::Packet>& packet,
                          const hNet::Connection* skipped);
    bool SetUserName(hNet::Packet& packet, hNet::Connection& connection);
    // Why the name may not replace the one at oldPosition, or null when it may.
    const char* NameRefusal(const std::string& newName,
                            std::optional<std::size_t> oldPosition) const;

    // Duplicates and the empty name are allowed; a name joins at the end.
    std::vector<std::string> userNames;
};
