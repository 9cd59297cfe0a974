#include "MyServer.h"

#include <cstdint>
#include <iostream>
#include <string_view>

#include "CaretNotation.h"

using hNet::Connection;
using hNet::Packet;
using hNet::PacketType;

void MyServer::OnConnect(Connection& newConnection) {
    std::cout << newConnection.description << " - New connection accepted." << std::endl;
    room.Join(newConnection);
}

void MyServer::OnDisconnect(Connection& lostConnection, std::string reason) {
    std::cout << "[" << reason << "] Connection lost : " << lostConnection.description << std::endl;
    room.Leave(lostConnection);
}

bool MyServer::ProcessPacket(std::shared_ptr<Packet> packet, Connection& connection) {
    switch (packet->GetPacketType()) {
        case PacketType::ChatMessage: {
            std::string_view text;
            *packet >> text;
            if (const char* refusal = room.Relay(connection, packet, text)) {
                std::cout << connection.description << " " << refusal << std::endl;
                return true;
            }
            std::cout << connection.description << " Message: ";
            WriteCaretNotation(std::cout, text);
            std::cout << std::endl;
            return true;
        }
        case PacketType::IntegerArray:
            PrintIntegerArray(*packet);
            return true;
        case PacketType::SetUserName: {
            std::string newName;
            *packet >> newName;
            if (const char* refusal = room.Rename(connection, std::move(newName))) {
                std::cout << connection.description << " " << refusal << std::endl;
            }
            return true;
        }
        default:
            std::cout << "Unrecognized packet type: "
                      << static_cast<std::uint16_t>(packet->GetPacketType()) << std::endl;
            return false;
    }
}

std::shared_ptr<Packet> MyServer::RefusalNotice(const std::string& text) {
    return ServerNotice(text);
}

// Each value's line is written before the next value is read, so a body cut short still
// shows what it held.
void MyServer::PrintIntegerArray(Packet& packet) {
    std::uint32_t count = 0;
    packet >> count;
    std::cout << "Array Size: " << count << std::endl;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t value = 0;
        packet >> value;
        std::cout << "Element[" << i << "] - " << value << std::endl;
    }
}
