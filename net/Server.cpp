#include "Server.h"

#include <iostream>
#include <utility>

#include "StreamFraming.h"

namespace hNet {

namespace {

constexpr int ListenBacklog = 5;
constexpr int PollTimeoutMs = 1;

WSAPOLLFD PollEntry(SOCKET handle) {
    WSAPOLLFD entry{};
    entry.fd = handle;
    entry.events = POLLRDNORM;
    return entry;
}

const char* CloseReason(ReceiveResult result) {
    switch (result) {
        case ReceiveResult::PeerClosed:
            return "Recv==0";
        case ReceiveResult::Failed:
            return "Recv<0";
        case ReceiveResult::TooLarge:
            return "Packet size too large.";
        case ReceiveResult::TooSmall:
            return "Packet size too small.";
        case ReceiveResult::Progress:
        case ReceiveResult::WouldBlock:
            break;
    }
    return nullptr;
}

}  // namespace

bool Server::Initialize(Endpoint endpoint) {
    for (const WSAPOLLFD& entry : masterFds) {
        pollSet.Forget(entry.fd);
    }
    masterFds.clear();
    connections.clear();
    listeningSocket = Socket(endpoint.GetIpVersion());
    if (listeningSocket.Create() != NetResult::Success) {
        std::cerr << "Socket could not be created." << std::endl;
        return false;
    }
    std::cout << "Socket successfully created." << std::endl;
    // An unresolved endpoint holds no address to bind to.
    if (endpoint.GetIpVersion() == IpVersion::Unknown ||
        listeningSocket.Listen(endpoint, ListenBacklog) != NetResult::Success) {
        std::cerr << "Failed to listen on port " << endpoint.GetPort() << "." << std::endl;
        listeningSocket.Close();
        return false;
    }
    masterFds.push_back(PollEntry(listeningSocket.GetHandle()));
    pollSet.Watch(listeningSocket.GetHandle(), POLLRDNORM);
    spareDescriptor.Create();
    std::cout << "Server initialized." << std::endl;
    std::cout << "Listening on port " << endpoint.GetPort() << "." << std::endl;
    std::cout << std::endl;
    return true;
}

void Server::Frame() {
    // Only an append fills an empty queue, and the send step drops write interest only
    // with the queue empty: with no append since the last pass, this one would change
    // nothing.
    if (writeInterestAt != outgoingAppends) {
        writeInterestAt = outgoingAppends;
        for (std::size_t k = 0; k < connections.size(); ++k) {
            if (connections[k].outgoing.HasPending()) {
                SetInterest(k + 1, POLLRDNORM | POLLWRNORM);
            }
        }
    }
    workingFds = masterFds;
    if (pollSet.Poll(workingFds.data(), static_cast<unsigned long>(workingFds.size()),
                     PollTimeoutMs) > 0) {
        if (workingFds[0].revents & POLLRDNORM) {
            AcceptConnection();
        }
        ServeClients();
    }
    DispatchPackets();
    EnforceSendQueueLimit();
}

void Server::AcceptConnection() {
    Socket newSocket;
    Endpoint newEndpoint;
    if (listeningSocket.Accept(newSocket, &newEndpoint) != NetResult::Success) {
        const bool outOfDescriptors = LastErrorIsDescriptorExhaustion();
        std::cerr << "Failed to accept new connection." << std::endl;
        if (outOfDescriptors) {
            RefuseWaitingClient();
        }
        return;
    }
    AddConnection(newSocket, newEndpoint);
}

void Server::RefuseWaitingClient() {
    spareDescriptor.Close();
    Socket refused;
    if (listeningSocket.Accept(refused, nullptr) == NetResult::Success) {
        refused.Close();
    }
    spareDescriptor.Create();
}

void Server::AddConnection(Socket socket, Endpoint endpoint) {
    connections.emplace_back(socket, std::move(endpoint));
    connections.back().incoming.CountAppendsIn(&incomingAppends);
    connections.back().outgoing.CountAppendsIn(&outgoingAppends);
    masterFds.push_back(PollEntry(socket.GetHandle()));
    pollSet.Watch(socket.GetHandle(), POLLRDNORM);
    OnConnect(connections.back());
}

void Server::SetInterest(std::size_t entry, short events) {
    if (masterFds[entry].events != events) {
        masterFds[entry].events = events;
        pollSet.Watch(masterFds[entry].fd, events);
    }
}

// From the back, so that closing a connection moves only entries already served. A
// connection accepted in this turn has no working entry and is left for the next turn.
void Server::ServeClients() {
    for (int i = static_cast<int>(workingFds.size()) - 1; i >= 1; --i) {
        const int k = i - 1;
        const auto revents = workingFds[i].revents;
        if (revents & POLLERR) {
            CloseConnection(k, "POLLERR");
            continue;
        }
        if (revents & POLLHUP) {
            CloseConnection(k, "POLLHUP");
            continue;
        }
        if (revents & POLLNVAL) {
            CloseConnection(k, "POLLINVAL");
            continue;
        }
        if ((revents & POLLRDNORM) && !ReceiveStep(k)) {
            continue;
        }
        if (revents & POLLWRNORM) {
            SendStep(k);
        }
    }
}

bool Server::ReceiveStep(int connectionIndex) {
    Connection& connection = connections[connectionIndex];
    const ReceiveResult result = ReceiveField(connection.socket.GetHandle(), connection.incoming,
                                              connection.receiveBuffer.data());
    if (const char* reason = CloseReason(result)) {
        CloseConnection(connectionIndex, reason);
        return false;
    }
    return true;
}

void Server::SendStep(int connectionIndex) {
    Connection& connection = connections[connectionIndex];
    if (SendQueued(connection.socket.GetHandle(), connection.outgoing)) {
        SetInterest(static_cast<std::size_t>(connectionIndex) + 1, POLLRDNORM);
    }
}

// The connection accepted last is served first; each connection's packets oldest first.
// A pass leaves every incoming queue empty, and only the receive step appends to them,
// so with no append since the last pass there is nothing to hand over.
void Server::DispatchPackets() {
    if (dispatchedAt == incomingAppends) {
        return;
    }
    dispatchedAt = incomingAppends;
    for (int k = static_cast<int>(connections.size()) - 1; k >= 0; --k) {
        PacketQueue& incoming = connections[k].incoming;
        while (incoming.HasPending()) {
            bool handled = false;
            try {
                handled = ProcessPacket(incoming.Front(), connections[k]);
            } catch (const PacketException&) {
                // A body whose fields run past its end is the client's fault, not the server's.
                handled = false;
            }
            if (!handled) {
                CloseConnection(k, "Failed to process incoming packet.");
                break;
            }
            incoming.Pop();
        }
    }
}

// Checked once per turn, after the handlers have queued everything for this turn. Only
// an append adds to a queue, so with none since the last check every queue is still
// within the bound.
void Server::EnforceSendQueueLimit() {
    if (sendLimitAt == outgoingAppends) {
        return;
    }
    sendLimitAt = outgoingAppends;
    for (int k = static_cast<int>(connections.size()) - 1; k >= 0; --k) {
        if (connections[k].outgoing.PendingBytes() > SendQueueLimit) {
            CloseConnection(k, "Send queue limit exceeded.");
        }
    }
}

void Server::CloseConnection(int connectionIndex, std::string reason) {
    OnDisconnect(connections[connectionIndex], reason);
    const auto entry = static_cast<std::size_t>(connectionIndex) + 1;
    pollSet.Forget(masterFds[entry].fd);
    masterFds.erase(masterFds.begin() + entry);
    // A connection accepted in the running turn has no working entry yet.
    if (entry < workingFds.size()) {
        workingFds.erase(workingFds.begin() + entry);
    }
    connections[connectionIndex].socket.Close();
    connections.erase(connections.begin() + connectionIndex);
}

}  // namespace hNet
