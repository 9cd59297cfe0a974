#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "BenchOptions.h"
#include "FramedClient.h"
#include "LatencyHistogram.h"
#include "Platform.h"

enum class Phase { Settling, Measuring, Draining, Done };

// What one client has received from one sender.
struct SenderRecord {
    std::uint64_t next = 0;  // the sequence number expected next
    std::uint64_t received = 0;
    std::uint64_t outOfOrder = 0;
};

struct BenchClient {
    hNet::FramedClient connection;
    int sender = -1;  // its number among the senders; -1 when it only reads
    std::uint64_t sent = 0;
    std::uint64_t echoed = 0;  // of its own lines, relayed back to it
    int arrivalsAwaited = 0;   // clients connected after it that the server has not announced yet
    bool closed = false;
    std::vector<SenderRecord> records;  // by sender number
};

// What the main thread tells the workers.
struct Control {
    std::atomic<Phase> phase{Phase::Settling};
    // Clients greeted so far; each is handed to its worker once it is counted here.
    std::atomic<std::size_t> connected{0};
    std::chrono::steady_clock::time_point start;  // written before the phase turns to Measuring
    std::uint32_t run = 0;
};

// Runs a share of the clients on its own thread: reads everything they get, accounts
// for it and, while the measurement runs, sends for the senders among them. It takes
// every `stride`th client from `first` on as soon as it has been greeted, so that the
// announcements of later arrivals are read while they come, as real clients would.
class Worker {
  public:
    Worker(const BenchOptions& options, const Control& control, std::vector<BenchClient>& all,
           std::size_t first, std::size_t stride);

    // Until the phase turns to Done.
    void Run();

    // Published once per turn for the main thread.
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> settled{0};
    std::atomic<std::uint64_t> closed{0};
    std::atomic<Phase> seen{Phase::Settling};
    LatencyHistogram latency;  // read only once the thread has ended

  private:
    void TakeConnected();
    // Sends what is due for a sender, in one call; the milliseconds until the next line
    // will be due.
    int SendDue(BenchClient& client);
    void ReadFrom(BenchClient& client);
    void Account(BenchClient& client, hNet::Packet& packet);
    // `phase` is the one this turn ran in: once it is Draining, `sent` is final.
    void Publish(Phase phase);

    const BenchOptions& options;
    const Control& control;
    std::vector<BenchClient>& all;
    std::size_t next;  // the next client of this worker's share to take
    const std::size_t stride;
    std::vector<BenchClient*> clients;
    std::vector<WSAPOLLFD> waits;
    double sendInterval = 0;  // nanoseconds between two lines of one sender at a fixed rate
    std::uint64_t sentCount = 0;
    std::uint64_t deliveredCount = 0;
    std::uint64_t settledCount = 0;
    std::uint64_t closedCount = 0;
};
