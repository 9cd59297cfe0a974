#pragma once

#include <cstdint>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "Socket.h"

namespace support {

// A port on 127.0.0.1 that nobody listened on a moment ago.
std::uint16_t FreePort();

// A blocking client socket connected to 127.0.0.1:port; fails the test when it cannot.
// A non-zero receiveBuffer caps the client's receive buffer, and so what the server can
// push to it before it reads.
hNet::Socket ConnectClient(std::uint16_t port, int receiveBuffer = 0);

// Sends every byte or fails the test.
void SendAll(const hNet::Socket& socket, const std::string& bytes);
// Whatever arrives within timeoutMs, at most maxBytes; empty when nothing came.
std::string ReceiveSome(const hNet::Socket& socket, int timeoutMs, std::size_t maxBytes = 65536);
// Exactly `count` bytes, waiting at most timeoutMs in all; fewer only on time-out or close.
std::string ReceiveExactly(const hNet::Socket& socket, std::size_t count, int timeoutMs);
// Closes with a reset instead of an orderly shutdown.
void ResetAndClose(hNet::Socket& socket);

// The wire form of one frame: 2-byte big-endian size, then the body.
std::string Frame(const std::string& body);
std::string Frame(const std::vector<char>& body);

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
