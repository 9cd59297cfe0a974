#pragma once

#include <cstdint>

#include "MyServer.h"

namespace harness {

// The chat server with the engine's state open to the harnesses that drive it.
class ExposedServer : public MyServer {
  public:
    using hNet::Server::AddConnection;
    using hNet::Server::clock;
    using hNet::Server::connections;
    using hNet::Server::listeningSocket;
    using hNet::Server::masterFds;
    using hNet::Server::peerTimeouts;

    // Where Initialize ended up listening; useful after binding port 0.
    std::uint16_t ListeningPort() const;
};

// Sends the console lines of the server to nowhere, so that runs are not bound by I/O.
void SilenceConsole();

// Ends the process, as a crash the fuzzer or test runner reports, when `holds` is false.
void Require(bool holds, const char* what);

}  // namespace harness
