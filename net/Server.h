#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AddressBook.h"
#include "AppendCounts.h"
#include "Connection.h"
#include "Endpoint.h"
#include "Packet.h"
#include "Platform.h"
#include "PollSet.h"
#include "Socket.h"
#include "StreamFraming.h"
#include "WebFiles.h"
#include "WebRequests.h"

namespace hNet {

// A single-threaded polling TCP server. A derived class gives meaning to connections
// and packets through the three handlers; it answers by appending packets to
// connections' outgoing queues, never by touching a socket.
class Server {
  public:
    // Bytes of frames that may wait for one client before it is dropped as not reading.
    static constexpr std::size_t SendQueueLimit = 1024 * 1024;
    // Once a frame's first byte has come, the whole frame must come within this. Between
    // frames a client may be silent for as long as it likes.
    static constexpr std::int64_t FrameTimeLimitMs = 30 * 1000;

    // Listens on the endpoint; writes its own status and failure lines.
    bool Initialize(Endpoint endpoint);
    // Also serves browsers, from the next Initialize on: the site's files and WebSockets
    // on their own port. A browser is a connection like any other once its upgrade is
    // answered. Without this port the chat goes on, and Initialize says why.
    void ServeWeb(Endpoint endpoint, const WebSite& site);
    // One turn: poll (1 ms at most), accept at most one client, serve the ready sockets,
    // then hand every complete incoming packet to ProcessPacket.
    void Frame();
    void CloseConnection(std::size_t connectionIndex, std::string reason);

    virtual void OnConnect(Connection& newConnection) = 0;
    // Called while the connection is still whole and still in `connections`.
    virtual void OnDisconnect(Connection& lostConnection, std::string reason) = 0;
    // False, or a PacketException, has the connection closed.
    virtual bool ProcessPacket(std::shared_ptr<Packet> packet, Connection& connection) = 0;
    // What a client refused at accept is told before its socket is closed: by default a
    // chat line of the text; an application gives it the form of its own notices.
    virtual std::shared_ptr<Packet> RefusalNotice(const std::string& text);

  protected:
    Server() = default;
    // Never destroyed through a base pointer: the owner holds the most-derived object.
    ~Server() = default;

    // Appends an open client socket as the newest connection and announces it.
    void AddConnection(Socket socket, Endpoint endpoint, Wire wire = Wire::Stream);

    // Read once at the start of each turn; the receive budgets refill by it.
    std::function<std::int64_t()> clock = MonotonicMilliseconds;
    // Set on the listening socket by Initialize. A client whose network vanished is closed
    // within two minutes, listed or not, and whether or not data waits for it.
    PeerTimeouts peerTimeouts{60, 10, 6, 120};
    // Whether the connections from one address draw on one receive budget, as they do
    // unless a test shows what happens without.
    bool budgetPerAddress = true;
    // FrameTimeLimitMs, unless a test lets the stream's cut alone decide what happens.
    std::int64_t frameTimeLimitMs = FrameTimeLimitMs;

    Socket listeningSocket;
    // Held back so that a client can still be accepted, and refused, when every other
    // descriptor is in use; without it the client would wait in the backlog and fail
    // every turn's accept.
    Socket spareDescriptor;
    // Where browsers come in, when they do; and their requests until they are answered.
    Socket webListeningSocket;
    WebRequests webRequests;
    // In order of acceptance; connection k owns entry k + FirstConnectionEntry() of both
    // descriptor arrays, behind the listening sockets.
    std::vector<Connection> connections;
    // The connections from each address, and what they share.
    AddressBook addresses;
    std::vector<WSAPOLLFD> masterFds;
    std::vector<WSAPOLLFD> workingFds;

  private:
    std::size_t FirstConnectionEntry() const { return webListening ? 2 : 1; }
    // Between connection k and its entry of the descriptor arrays, in either direction.
    std::size_t EntryOf(std::size_t connectionIndex) const;
    std::size_t ConnectionAt(std::size_t entry) const;
    // Sets the requested events of a connection's master entry and tells the poll set of
    // the change.
    void SetInterest(std::size_t connectionIndex, short events);
    // What connection k asks the poll for: reading unless paused, writing if asked.
    short Interest(std::size_t connectionIndex, bool writing) const;
    // Brings the connection's read interest in line with its readingPaused.
    void FollowReadingPaused(std::size_t connectionIndex);
    void PauseReading(std::size_t connectionIndex);
    void ResumeRefilledReaders();
    void ResumeReading(std::size_t connectionIndex);
    // Keeps count of the connections with a frame under way, and closes those whose frame
    // is late.
    void FollowFrame(std::size_t connectionIndex);
    void CloseLateFrames();
    // False when nobody could be accepted; a client refused for want of descriptors
    // included.
    bool AcceptFrom(Socket& listener, Socket& socket, Endpoint& endpoint);
    void RefuseWaitingClient(Socket& listener);
    void AcceptConnection();
    // False, with the client told why and its socket closed, when its address may open no
    // more connections for now.
    bool Admitted(Socket& socket, const Endpoint& endpoint, Wire wire);
    bool ListenForBrowsers();
    void ServeBrowsers(bool webPortReady);
    void ServeClients();
    // False when the connection was closed.
    bool ReceiveStep(std::size_t connectionIndex);
    void SayGoodbye(Connection& connection, ReceiveResult result);
    void SendStep(std::size_t connectionIndex);
    void DispatchPackets();
    // False when the connection was closed.
    bool DispatchPacketsOf(std::size_t connectionIndex);
    void EnforceSendQueueLimit();

    PollSet pollSet;
    std::optional<Endpoint> webEndpoint;
    bool webListening = false;
    std::vector<WebRequests::Upgraded> upgraded;
    std::int64_t turnMs = 0;
    // How many connections have their reading paused, and the earliest time one of them
    // may resume. Few: only clients that send more than any person does.
    std::size_t pausedReaders = 0;
    std::int64_t nextResumeMs = 0;
    AppendCounts appends;
    // How many connections have a frame under way, and the earliest deadline among them.
    std::size_t framesUnderWay = 0;
    std::int64_t nextFrameDeadlineMs = 0;
};

}  // namespace hNet
