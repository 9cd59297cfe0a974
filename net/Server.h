#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Connection.h"
#include "Endpoint.h"
#include "Packet.h"
#include "Platform.h"
#include "PollSet.h"
#include "Socket.h"

namespace hNet {

// A single-threaded polling TCP server. A derived class gives meaning to connections
// and packets through the three handlers; it answers by appending packets to
// connections' outgoing queues, never by touching a socket.
class Server {
  public:
    // Bytes of frames that may wait for one client before it is dropped as not reading.
    static constexpr std::size_t SendQueueLimit = 1024 * 1024;

    // Listens on the endpoint; writes its own status and failure lines.
    bool Initialize(Endpoint endpoint);
    // One turn: poll (1 ms at most), accept at most one client, serve the ready sockets,
    // then hand every complete incoming packet to ProcessPacket.
    void Frame();
    void CloseConnection(int connectionIndex, std::string reason);

    virtual void OnConnect(Connection& newConnection) = 0;
    // Called while the connection is still whole and still in `connections`.
    virtual void OnDisconnect(Connection& lostConnection, std::string reason) = 0;
    // False, or a PacketException, has the connection closed.
    virtual bool ProcessPacket(std::shared_ptr<Packet> packet, Connection& connection) = 0;

  protected:
    Server() = default;
    // Never destroyed through a base pointer: the owner holds the most-derived object.
    ~Server() = default;

    // Appends an open client socket as the newest connection and announces it.
    void AddConnection(Socket socket, Endpoint endpoint);

    // Read once at the start of each turn; the receive budgets refill by it.
    std::function<std::int64_t()> clock = MonotonicMilliseconds;
    // Set on the listening socket by Initialize. A client whose network vanished is closed
    // within two minutes, listed or not, and whether or not data waits for it.
    PeerTimeouts peerTimeouts{60, 10, 6, 120};

    Socket listeningSocket;
    // Held back so that a client can still be accepted, and refused, when every other
    // descriptor is in use; without it the client would wait in the backlog and fail
    // every turn's accept.
    Socket spareDescriptor;
    // In order of acceptance; connection k owns entry k + 1 of both descriptor arrays.
    std::vector<Connection> connections;
    std::vector<WSAPOLLFD> masterFds;
    std::vector<WSAPOLLFD> workingFds;

  private:
    // Sets the requested events of a master entry and tells the poll set of the change.
    void SetInterest(std::size_t entry, short events);
    // What connection k asks the poll for: reading unless paused, writing if asked.
    short Interest(std::size_t connectionIndex, bool writing) const;
    void PauseReading(std::size_t connectionIndex);
    void ResumeRefilledReaders();
    void AcceptConnection();
    void RefuseWaitingClient();
    void ServeClients();
    // False when the connection was closed.
    bool ReceiveStep(int connectionIndex);
    void SendStep(int connectionIndex);
    void DispatchPackets();
    // False when the connection was closed.
    bool DispatchPacketsOf(int connectionIndex);
    void EnforceSendQueueLimit();

    PollSet pollSet;
    std::int64_t turnMs = 0;
    // Clients whose reading is paused, and when their budgets will have refilled. Few: only
    // clients that send more than any person does.
    struct PausedReader {
        SOCKET handle;
        std::int64_t resumeMs;
    };
    std::vector<PausedReader> pausedReaders;
    // Appends to every connection's queues, counted so that the passes over all
    // connections can tell when there is nothing for them to do; each pass remembers the
    // count it last saw.
    std::uint64_t incomingAppends = 0;
    std::uint64_t outgoingAppends = 0;
    std::uint64_t dispatchedAt = 0;
    std::uint64_t writeInterestAt = 0;
    std::uint64_t sendLimitAt = 0;
};

}  // namespace hNet
