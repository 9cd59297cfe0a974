#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "LatencyHistogram.h"

struct BenchOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 6112;
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
extern const char* const BenchUsage;

struct BenchReport {
    BenchOptions options;
    std::string error;   // why the run could not be made; the figures are then empty
    double seconds = 0;  // the measurement as it really lasted
    std::uint64_t sent = 0;
    std::uint64_t delivered = 0;          // messages received, each receiver counted
    std::uint64_t deliveredInWindow = 0;  // of those, received during the measurement
    std::uint64_t lost = 0;               // deliveries that never came
    std::uint64_t outOfOrder = 0;  // deliveries behind a later one of the same sender, or repeated
    std::uint64_t closedClients = 0;
    LatencyHistogram latency;
    double benchCpuPercent = 0;  // of one core, over the measurement
    std::optional<double> serverCpuPercent;
    std::optional<long> serverRssBeforeKiB;  // before the clients connected
    std::optional<long> serverRssKiB;        // at the end of the measurement
    // From the first connect until every client had heard of every later arrival.
    double admissionSeconds = 0;
    double admissionBenchCpuPercent = 0;
    std::optional<double> admissionServerCpuPercent;

    // The server's growth while the clients were connected, shared out among them.
    std::optional<double> ServerRssPerClientKiB() const {
        if (!serverRssKiB || !serverRssBeforeKiB) {
            return std::nullopt;
        }
        return static_cast<double>(*serverRssKiB - *serverRssBeforeKiB) / options.clients;
    }

    bool Clean() const {
        return error.empty() && lost == 0 && outOfOrder == 0 && closedClients == 0;
    }
};

// How long connecting and announcing `clients` clients may take: every arrival is
// announced to everyone, so the server's work grows with the square of the count.
double AdmissionBoundSeconds(int clients);

// Connects the clients, lets them settle, measures, drains and accounts. Status lines
// and a progress line per second go to `progress`.
BenchReport RunBench(const BenchOptions& options, std::ostream& progress);

void PrintSummary(const BenchReport& report, std::ostream& out);
std::string JsonLine(const BenchReport& report);
