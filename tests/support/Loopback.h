#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "Packet.h"
#include "Socket.h"

namespace support {

// The port the socket is bound to. Inline, for the fuzz harness, which has no GoogleTest.
inline std::uint16_t LocalPort(const hNet::Socket& socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof(address);
    getsockname(socket.GetHandle(), reinterpret_cast<sockaddr*>(&address), &length);
    return hNet::Endpoint(reinterpret_cast<const sockaddr*>(&address)).GetPort();
}

// A socket bound to a port on 127.0.0.1 without listening on it: while the socket is
// open, connections to that port are refused.
hNet::Socket UnlistenedSocket();

// Sets the size of the socket's receive (SO_RCVBUF) or send (SO_SNDBUF) buffer.
void SetBuffer(const hNet::Socket& socket, int option, int bytes);
// A loopback address no test client has had yet, from 127.0.1.1 on, so that test clients
// count as different people for the server's limits per address; 127.0.0.x stays for
// tests that name their addresses.
std::string NextPersonAddress();

// A blocking client socket connected to 127.0.0.1:port, from `from` or else from an
// address no client before it used; fails the test when it cannot. A non-zero
// receiveBuffer caps the client's receive buffer, and so what the server can push to it
// before it reads.
hNet::Socket ConnectClient(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr);

// Whether the socket is ready for any of the events within timeoutMs.
bool WaitFor(SOCKET handle, short events, int timeoutMs = 2000);
// Sends every byte or fails the test.
void SendAll(const hNet::Socket& socket, const std::string& bytes);
// Whatever arrives within timeoutMs, at most maxBytes; empty when nothing came.
std::string ReceiveSome(const hNet::Socket& socket, int timeoutMs, std::size_t maxBytes = 65536);
// Exactly `count` bytes, waiting at most timeoutMs in all; fewer only on time-out or close.
std::string ReceiveExactly(const hNet::Socket& socket, std::size_t count, int timeoutMs);
// Closes with a reset instead of an orderly shutdown.
void ResetAndClose(hNet::Socket& socket);
// How often `part` occurs in the text, overlaps included.
std::size_t CountOf(const std::string& text, const std::string& part);

// The wire form of one frame: 2-byte big-endian size, then the body.
std::string Frame(const std::string& body);
std::string Frame(const std::vector<char>& body);
// A packet's body as bytes, for comparisons; "(nothing)" for no packet.
std::string BodyOf(const std::shared_ptr<hNet::Packet>& packet);
// The text with every time stamp replaced by [hh:mm:ss].
std::string WithoutTimes(const std::string& text);

// Runs Frame() on the server until `done` holds or maxTurns turns have run.
template <typename ServerType, typename Condition>
bool TurnUntil(ServerType& server, Condition done, int maxTurns = 3000) {
    for (int turn = 0; turn < maxTurns; ++turn) {
        if (done()) {
            return true;
        }
        server.Frame();
    }
    return done();
}

template <typename ServerType>
void Turns(ServerType& server, int count) {
    for (int turn = 0; turn < count; ++turn) {
        server.Frame();
    }
}

}  // namespace support

namespace support {

// Collects what is written to a stream while it lives.
class StreamCapture {
  public:
    explicit StreamCapture(std::ostream& stream)
        : stream(stream), saved(stream.rdbuf(buffer.rdbuf())) {}
    ~StreamCapture() { stream.rdbuf(saved); }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;
    std::string Text() const { return buffer.str(); }

  private:
    std::ostream& stream;
    std::ostringstream buffer;
    std::streambuf* saved;
};

}  // namespace support
