#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "BenchOptions.h"
#include "LatencyHistogram.h"

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
        if (!serverRssKiB || !serverRssBeforeKiB || options.clients == 0) {
            return std::nullopt;
        }
        return static_cast<double>(*serverRssKiB - *serverRssBeforeKiB) / options.clients;
    }

    bool Clean() const {
        return error.empty() && lost == 0 && outOfOrder == 0 && closedClients == 0;
    }
};

void PrintSummary(const BenchReport& report, std::ostream& out);
std::string JsonLine(const BenchReport& report);
