#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ChatRoom.h"
#include "Server.h"

// The chat server: gives the engine's events their meaning in the chat room and prints
// what happens on the console.
class MyServer : public hNet::Server {
  public:
    void OnConnect(hNet::Connection& newConnection) override;
    void OnDisconnect(hNet::Connection& lostConnection, std::string reason) override;
    bool ProcessPacket(std::shared_ptr<hNet::Packet> packet, hNet::Connection& connection) override;
    std::shared_ptr<hNet::Packet> RefusalNotice(const std::string& text) override;

    const std::vector<std::string>& UserNames() const { return room.UserNames(); }

  private:
    void PrintIntegerArray(hNet::Packet& packet);

    ChatRoom room{connections};
};
