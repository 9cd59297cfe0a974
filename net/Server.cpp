#include "Server.h"

#include <algorithm>
#include <cassert>
#include <iostream>
#include <limits>
#include <utility>

#include "StreamFraming.h"
#include "WebSocketFraming.h"

namespace hNet {

namespace {

constexpr int ListenBacklog = 5;
constexpr int PollTimeoutMs = 1;
// A client that keeps flooding is named on the console at most this often.
constexpr std::int64_t FloodNoticeMs = 60 * 1000;

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
        case ReceiveResult::ProtocolError:
            return "WebSocket protocol error.";
        case ReceiveResult::TextMessage:
            return "WebSocket text message refused.";
        case ReceiveResult::CloseFrame:
            return "WebSocket closed.";
        case ReceiveResult::Progress:
        case ReceiveResult::WouldBlock:
            break;
    }
    return nullptr;
}

}  // namespace

void Server::ServeWeb(Endpoint endpoint, const WebSite& site) {
    webEndpoint = std::move(endpoint);
    webRequests.Serve(site);
}

bool Server::Initialize(Endpoint endpoint) {
    for (const WSAPOLLFD& entry : masterFds) {
        pollSet.Forget(entry.fd);
    }
    masterFds.clear();
    pausedReaders = 0;
    connections.clear();
    webRequests.CloseAll();
    webListening = false;
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
    // Without them a vanished client would stay listed for as long as the room is quiet.
    SetPeerTimeouts(listeningSocket.GetHandle(), peerTimeouts);
    masterFds.push_back(PollEntry(listeningSocket.GetHandle()));
    pollSet.Watch(listeningSocket.GetHandle(), POLLRDNORM);
    spareDescriptor.Create();
    std::cout << "Server initialized." << std::endl;
    std::cout << "Listening on port " << endpoint.GetPort() << "." << std::endl;
    if (webEndpoint) {
        webListening = ListenForBrowsers();
    }
    std::cout << std::endl;
    return true;
}

bool Server::ListenForBrowsers() {
    const std::uint16_t port = webEndpoint->GetPort();
    webListeningSocket = Socket(webEndpoint->GetIpVersion());
    if (webEndpoint->GetIpVersion() == IpVersion::Unknown ||
        webListeningSocket.Create() != NetResult::Success ||
        webListeningSocket.Listen(*webEndpoint, ListenBacklog) != NetResult::Success) {
        std::cerr << "Failed to listen for browsers on port " << port << ": "
                  << LastSocketErrorText() << ". Chat goes on without the web page." << std::endl;
        webListeningSocket.Close();
        return false;
    }
    SetPeerTimeouts(webListeningSocket.GetHandle(), peerTimeouts);
    masterFds.push_back(PollEntry(webListeningSocket.GetHandle()));
    pollSet.Watch(webListeningSocket.GetHandle(), POLLRDNORM);
    std::cout << "Listening for browsers on port " << port << "." << std::endl;
    return true;
}

void Server::Frame() {
    turnMs = clock();
    ResumeRefilledReaders();
    CloseLateFrames();
    addresses.Sweep(turnMs);
    // Only an append fills an empty queue, and the send step drops write interest only
    // with the queue empty: with no append since the last pass, this one would change
    // nothing.
    if (appends.OutgoingSinceWriteInterest()) {
        for (std::size_t k = 0; k < connections.size(); ++k) {
            if (connections[k].outgoing.HasPending()) {
                SetInterest(k, Interest(k, true));
            }
        }
    }
    workingFds = masterFds;
    const bool ready =
        pollSet.Poll(workingFds.data(), static_cast<unsigned long>(workingFds.size()),
                     PollTimeoutMs) > 0;
    if (ready && (workingFds[0].revents & POLLRDNORM)) {
        AcceptConnection();
    }
    if (webListening) {
        ServeBrowsers(ready && (workingFds[1].revents & POLLRDNORM));
    }
    if (ready) {
        ServeClients();
    }
    DispatchPackets();
    EnforceSendQueueLimit();
}

bool Server::AcceptFrom(Socket& listener, Socket& socket, Endpoint& endpoint) {
    if (listener.Accept(socket, &endpoint) == NetResult::Success) {
        return true;
    }
    const bool outOfDescriptors = LastErrorIsDescriptorExhaustion();
    std::cerr << "Failed to accept new connection." << std::endl;
    if (outOfDescriptors) {
        RefuseWaitingClient(listener);
    }
    return false;
}

void Server::RefuseWaitingClient(Socket& listener) {
    spareDescriptor.Close();
    Socket refused;
    if (listener.Accept(refused, nullptr) == NetResult::Success) {
        refused.Close();
    }
    spareDescriptor.Create();
}

void Server::AcceptConnection() {
    Socket newSocket;
    Endpoint newEndpoint;
    if (AcceptFrom(listeningSocket, newSocket, newEndpoint) &&
        Admitted(newSocket, newEndpoint, Wire::Stream)) {
        AddConnection(newSocket, newEndpoint);
    }
}

// The refusal goes out with one send that does not wait: a client that does not take it
// at once does not hear it, and the room never waits for it.
bool Server::Admitted(Socket& socket, const Endpoint& endpoint, Wire wire) {
    const AddressBook::Admission admission = addresses.Check(endpoint, turnMs);
    if (admission == AddressBook::Admission::Admitted) {
        return true;
    }
    const bool tooMany = admission == AddressBook::Admission::TooMany;
    PacketQueue notice;
    notice.Append(
        RefusalNotice(tooMany ? "Too many connections from your address."
                              : "Too many new connections from your address; try again shortly."));
    if (wire == Wire::WebSocket) {
        static constexpr WebSocketCloseCode policy = WebSocketCloseCode::PolicyViolation;
        WebSocketState state;
        SendToBrowser(socket.GetHandle(), state, notice);
        SendClose(socket.GetHandle(), state, notice, &policy);
    } else {
        SendQueued(socket.GetHandle(), notice);
    }
    std::cout << Describe(endpoint) << " - Connection refused: "
              << (tooMany ? "too many connections" : "too many new connections")
              << " from this address." << std::endl;
    socket.Close();
    return false;
}

std::shared_ptr<Packet> Server::RefusalNotice(const std::string& text) {
    return MakeTextPacket(PacketType::ChatMessage, text);
}

// At most one browser is accepted a turn, as on the chat's own port. Its request is
// nobody's business but the web port's until the upgrade is answered.
void Server::ServeBrowsers(bool webPortReady) {
    Socket newSocket;
    Endpoint newEndpoint;
    if (webPortReady && AcceptFrom(webListeningSocket, newSocket, newEndpoint)) {
        webRequests.Take(newSocket, std::move(newEndpoint), turnMs);
    }
    webRequests.Turn(turnMs, upgraded);
    for (WebRequests::Upgraded& browser : upgraded) {
        if (Admitted(browser.socket, browser.endpoint, Wire::WebSocket)) {
            AddConnection(browser.socket, std::move(browser.endpoint), Wire::WebSocket);
        }
    }
    upgraded.clear();
}

void Server::AddConnection(Socket socket, Endpoint endpoint, Wire wire) {
    std::shared_ptr<ReceiveBudget> addressBudget = addresses.Join(endpoint, turnMs);
    connections.emplace_back(socket, std::move(endpoint));
    if (budgetPerAddress) {
        connections.back().budget = std::move(addressBudget);
    }
    if (wire == Wire::WebSocket) {
        connections.back().webSocket.emplace();
    }
    connections.back().incoming.CountAppendsIn(&appends.incoming);
    connections.back().outgoing.CountAppendsIn(&appends.outgoing);
    masterFds.push_back(PollEntry(socket.GetHandle()));
    pollSet.Watch(socket.GetHandle(), POLLRDNORM);
    OnConnect(connections.back());
}

std::size_t Server::EntryOf(std::size_t connectionIndex) const {
    const std::size_t entry = connectionIndex + FirstConnectionEntry();
    assert(masterFds[entry].fd == connections[connectionIndex].socket.GetHandle());
    return entry;
}

std::size_t Server::ConnectionAt(std::size_t entry) const {
    assert(entry >= FirstConnectionEntry() &&
           masterFds[entry].fd == connections[entry - FirstConnectionEntry()].socket.GetHandle());
    return entry - FirstConnectionEntry();
}

short Server::Interest(std::size_t connectionIndex, bool writing) const {
    const short reading = connections[connectionIndex].readingPaused ? 0 : POLLRDNORM;
    return static_cast<short>(reading | (writing ? POLLWRNORM : 0));
}

void Server::SetInterest(std::size_t connectionIndex, short events) {
    WSAPOLLFD& entry = masterFds[EntryOf(connectionIndex)];
    if (entry.events != events) {
        entry.events = events;
        pollSet.Watch(entry.fd, events);
    }
}

void Server::FollowReadingPaused(std::size_t connectionIndex) {
    const bool writing = (masterFds[EntryOf(connectionIndex)].events & POLLWRNORM) != 0;
    SetInterest(connectionIndex, Interest(connectionIndex, writing));
}

// From the back, so that closing a connection moves only entries already served. A
// connection accepted in this turn has no working entry and is left for the next turn.
void Server::ServeClients() {
    for (std::size_t entry = workingFds.size(); entry-- > FirstConnectionEntry();) {
        const std::size_t k = ConnectionAt(entry);
        const auto revents = workingFds[entry].revents;
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

bool Server::ReceiveStep(std::size_t connectionIndex) {
    Connection& connection = connections[connectionIndex];
    ReceiveBudget& budget = *connection.budget;
    // Another connection from the same address may have spent what they share.
    budget.Refill(turnMs);
    if (budget.Spent()) {
        PauseReading(connectionIndex);
        return true;
    }
    const SOCKET handle = connection.socket.GetHandle();
    const std::uint64_t packetsBefore = appends.incoming;
    std::uint32_t received = 0;
    const ReceiveResult result =
        connection.webSocket
            ? ReceiveWebSocketField(handle, *connection.webSocket, connection.incoming,
                                    connection.receiveBuffer.data(), received)
            : ReceiveField(handle, connection.incoming, connection.receiveBuffer.data(), received);
    if (const char* reason = CloseReason(result)) {
        if (connection.webSocket) {
            SayGoodbye(connection, result);
        }
        CloseConnection(connectionIndex, reason);
        return false;
    }
    if (connection.webSocket && !connection.webSocket->pendingControl.empty()) {
        SetInterest(connectionIndex, Interest(connectionIndex, true));
    }
    budget.Charge(received, static_cast<std::int64_t>(appends.incoming - packetsBefore));
    if (budget.Spent()) {
        PauseReading(connectionIndex);
    }
    FollowFrame(connectionIndex);
    return true;
}

void Server::FollowFrame(std::size_t connectionIndex) {
    Connection& connection = connections[connectionIndex];
    const bool underWay = connection.incoming.currentTask != PacketQueueTask::ProcessPacketSize ||
                          connection.incoming.currentPacketExtractionOffset != 0 ||
                          (connection.webSocket && !connection.webSocket->reader.BetweenFrames());
    if (underWay == (connection.frameDeadlineMs != 0)) {
        return;
    }
    if (!underWay) {
        connection.frameDeadlineMs = 0;
        --framesUnderWay;
        return;
    }
    connection.frameDeadlineMs = turnMs + frameTimeLimitMs;
    nextFrameDeadlineMs = framesUnderWay++ == 0
                              ? connection.frameDeadlineMs
                              : std::min(nextFrameDeadlineMs, connection.frameDeadlineMs);
}

// Like resuming, looked for in every turn, and costing nothing until the first deadline
// is due. While the server does not read a connection, its frame is not late: the deadline
// runs from when reading may resume.
void Server::CloseLateFrames() {
    if (framesUnderWay == 0 || nextFrameDeadlineMs > turnMs) {
        return;
    }
    nextFrameDeadlineMs = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = connections.size(); k-- > 0;) {
        Connection& connection = connections[k];
        if (connection.frameDeadlineMs == 0) {
            continue;
        }
        if (connection.readingPaused) {
            connection.frameDeadlineMs =
                std::max(connection.frameDeadlineMs, connection.resumeReadingMs + frameTimeLimitMs);
        }
        if (connection.frameDeadlineMs <= turnMs) {
            CloseConnection(k, "Frame not completed in time.");
            continue;
        }
        nextFrameDeadlineMs = std::min(nextFrameDeadlineMs, connection.frameDeadlineMs);
    }
}

// The client's lines wait in its socket and then in the network: nothing is lost, and the
// sender is slowed by its own connection's flow control.
void Server::PauseReading(std::size_t connectionIndex) {
    Connection& connection = connections[connectionIndex];
    connection.readingPaused = true;
    connection.resumeReadingMs = connection.budget->RefilledAtMs();
    nextResumeMs = pausedReaders++ == 0 ? connection.resumeReadingMs
                                        : std::min(nextResumeMs, connection.resumeReadingMs);
    FollowReadingPaused(connectionIndex);
    if (!connection.floodNoticedMs || turnMs - *connection.floodNoticedMs >= FloodNoticeMs) {
        connection.floodNoticedMs = turnMs;
        std::cout << connection.description << " Flood limit reached: reading paused." << std::endl;
    }
}

// Resuming is a change that no append shows, so it is looked for in every turn; nobody
// is looked at unless someone floods, and then only once the first of them is due.
void Server::ResumeRefilledReaders() {
    if (pausedReaders == 0 || nextResumeMs > turnMs) {
        return;
    }
    nextResumeMs = std::numeric_limits<std::int64_t>::max();
    for (std::size_t k = 0; k < connections.size(); ++k) {
        Connection& connection = connections[k];
        if (!connection.readingPaused) {
            continue;
        }
        if (connection.resumeReadingMs <= turnMs) {
            connection.budget->Refill(turnMs);
            if (!connection.budget->Spent()) {
                ResumeReading(k);
                continue;
            }
            connection.resumeReadingMs = connection.budget->RefilledAtMs();
        }
        nextResumeMs = std::min(nextResumeMs, connection.resumeReadingMs);
    }
}

void Server::ResumeReading(std::size_t connectionIndex) {
    connections[connectionIndex].readingPaused = false;
    --pausedReaders;
    FollowReadingPaused(connectionIndex);
}

void Server::SendStep(std::size_t connectionIndex) {
    Connection& connection = connections[connectionIndex];
    const SOCKET handle = connection.socket.GetHandle();
    if (connection.webSocket ? SendToBrowser(handle, *connection.webSocket, connection.outgoing)
                             : SendQueued(handle, connection.outgoing)) {
        SetInterest(connectionIndex, Interest(connectionIndex, false));
    }
}

// A browser that broke the protocol is told why; one that closed gets its Close echoed.
void Server::SayGoodbye(Connection& connection, ReceiveResult result) {
    static constexpr WebSocketCloseCode protocolError = WebSocketCloseCode::ProtocolError;
    static constexpr WebSocketCloseCode unsupportedData = WebSocketCloseCode::UnsupportedData;
    const WebSocketCloseCode* code = nullptr;
    switch (result) {
        case ReceiveResult::CloseFrame:
            break;
        case ReceiveResult::TextMessage:
            code = &unsupportedData;
            break;
        case ReceiveResult::ProtocolError:
        case ReceiveResult::TooLarge:
        case ReceiveResult::TooSmall:
            code = &protocolError;
            break;
        default:
            return;
    }
    SendClose(connection.socket.GetHandle(), *connection.webSocket, connection.outgoing, code);
}

// The connection accepted last is served first; each connection's packets oldest first.
// A pass leaves every incoming queue empty, and only the receive step appends to them,
// so with no append since the last pass there is nothing to hand over.
void Server::DispatchPackets() {
    if (!appends.IncomingSinceDispatch()) {
        return;
    }
    for (std::size_t k = connections.size(); k-- > 0;) {
        if (!connections[k].incoming.HasPending() || !DispatchPacketsOf(k)) {
            continue;
        }
        // A handler may have charged the sender for what its packet had sent to everyone.
        Connection& connection = connections[k];
        if (!connection.readingPaused && connection.budget->Spent()) {
            PauseReading(k);
        }
    }
}

bool Server::DispatchPacketsOf(std::size_t connectionIndex) {
    PacketQueue& incoming = connections[connectionIndex].incoming;
    while (incoming.HasPending()) {
        bool handled = false;
        try {
            handled = ProcessPacket(incoming.Front(), connections[connectionIndex]);
        } catch (const PacketException&) {
            // A body whose fields run past its end is the client's fault, not the server's.
            handled = false;
        }
        if (!handled) {
            CloseConnection(connectionIndex, "Failed to process incoming packet.");
            return false;
        }
        incoming.Pop();
    }
    return true;
}

// Checked once per turn, after the handlers have queued everything for this turn. Only
// an append adds to a queue, so with none since the last check every queue is still
// within the bound.
void Server::EnforceSendQueueLimit() {
    if (!appends.OutgoingSinceSendLimit()) {
        return;
    }
    for (std::size_t k = connections.size(); k-- > 0;) {
        if (connections[k].outgoing.PendingBytes() > SendQueueLimit) {
            CloseConnection(k, "Send queue limit exceeded.");
        }
    }
}

void Server::CloseConnection(std::size_t connectionIndex, std::string reason) {
    OnDisconnect(connections[connectionIndex], reason);
    const std::size_t entry = EntryOf(connectionIndex);
    pollSet.Forget(masterFds[entry].fd);
    if (connections[connectionIndex].readingPaused) {
        --pausedReaders;
    }
    if (connections[connectionIndex].frameDeadlineMs != 0) {
        --framesUnderWay;
    }
    addresses.Leave(connections[connectionIndex].endpoint);
    masterFds.erase(masterFds.begin() + entry);
    // A connection accepted in the running turn has no working entry yet.
    if (entry < workingFds.size()) {
        workingFds.erase(workingFds.begin() + entry);
    }
    connections[connectionIndex].socket.Close();
    connections.erase(connections.begin() + connectionIndex);
}

}  // namespace hNet
