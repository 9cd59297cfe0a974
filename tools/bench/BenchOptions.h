#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "WireFormat.h"

struct BenchOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = hNet::ChatPort;
    // Through the web port, as browsers: every client speaks WebSocket.
    bool web = false;
    // 0 measures the server alone: the floor under every idle figure.
    int clients = 10;
    int senders = 10;
    std::size_t textBytes = 64;
    double durationSeconds = 0;
    // Messages of one sender sent but not yet relayed back to it, at most.
    int window = 8;
    // Messages per second from all senders together; 0 sends flat out.
    double rate = 0;
    int threads = 1;
    // How long to wait after the measurement for messages still on their way.
    double drainSeconds = 2;
    // A server on this machine whose CPU time and memory are reported; 0 for none.
    int serverPid = 0;
    bool help = false;
    bool version = false;
};

// Reads the command line without the program name; false with `problem` set when it is
// not usable. Refuses a run without a time bound.
bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions& options,
                       std::string& problem);
std::string BenchUsage();
