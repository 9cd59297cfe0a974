#include "Bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <memory>
#include <random>
#include <thread>

#include "FramedClient.h"
#include "Probe.h"
#include "ProcessStats.h"

namespace {

using Clock = std::chrono::steady_clock;
using hNet::Packet;
using hNet::PacketType;

enum class Phase { Settling, Measuring, Draining, Done };

// The server greets every new client with two notices.
constexpr int GreetingPackets = 2;
constexpr int GreetingTimeoutMs = 5000;
// How long a worker waits when it has nothing due; also how soon it sees a new phase.
constexpr int IdleWaitMs = 10;

std::uint64_t Nanos(Clock::time_point time) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count());
}

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

struct Control {
    std::atomic<Phase> phase{Phase::Settling};
    Clock::time_point start;  // written before the phase turns to Measuring
    std::uint32_t run = 0;
};

// Runs a share of the clients on its own thread: reads everything they get, accounts
// for it and, while the measurement runs, sends for the senders among them.
class Worker {
  public:
    Worker(const BenchOptions& options, const Control& control)
        : options(options), control(control) {
        if (options.rate > 0) {
            sendInterval = options.senders / options.rate * 1e9;
        }
    }

    void Add(BenchClient& client) {
        clients.push_back(&client);
        waits.emplace_back();
        settledCount += client.arrivalsAwaited == 0;
        Publish(Phase::Settling);
    }

    void Run() {
        for (Phase phase; (phase = control.phase.load(std::memory_order_acquire)) != Phase::Done;) {
            int waitMs = IdleWaitMs;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                BenchClient& client = *clients[i];
                if (phase == Phase::Measuring) {
                    waitMs = std::min(waitMs, SendDue(client));
                }
                waits[i].fd = client.connection.Handle();
                waits[i].events =
                    client.connection.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
                waits[i].revents = 0;
            }
            if (WSAPoll(waits.data(), static_cast<unsigned long>(waits.size()), waitMs) > 0) {
                for (std::size_t i = 0; i < clients.size(); ++i) {
                    if (waits[i].revents & POLLWRNORM) {
                        clients[i]->connection.Flush(0);
                    }
                    if (waits[i].revents != 0) {
                        ReadFrom(*clients[i]);
                    }
                }
            }
            Publish(phase);
        }
    }

    // Published once per turn for the main thread.
    std::atomic<std::uint64_t> sent{0};
    std::atomic<std::uint64_t> delivered{0};
    std::atomic<std::uint64_t> settled{0};
    std::atomic<std::uint64_t> closed{0};
    std::atomic<Phase> seen{Phase::Settling};
    LatencyHistogram latency;  // read only once the thread has ended

  private:
    // Sends what is due, in one call; the milliseconds until the next line will be due.
    int SendDue(BenchClient& client) {
        if (client.sender < 0 || client.closed) {
            return IdleWaitMs;
        }
        while (client.sent - client.echoed < static_cast<std::uint64_t>(options.window)) {
            const Clock::time_point now = Clock::now();
            if (options.rate > 0) {
                // Senders are spread evenly over each interval.
                const double slot =
                    static_cast<double>(client.sent) + double(client.sender) / options.senders;
                const auto due =
                    control.start + std::chrono::nanoseconds(std::llround(slot * sendInterval));
                if (due > now) {
                    client.connection.Flush(0);
                    const auto left = std::chrono::ceil<std::chrono::milliseconds>(due - now);
                    return static_cast<int>(std::min<long long>(left.count(), IdleWaitMs));
                }
            }
            const Probe probe{control.run, static_cast<std::uint32_t>(client.sender), client.sent,
                              Nanos(now)};
            auto packet = std::make_shared<Packet>(PacketType::ChatMessage);
            *packet << EncodeProbe(probe, options.textBytes);
            client.connection.Stage(std::move(packet));
            ++client.sent;
            ++sentCount;
        }
        // Nothing queued costs no call.
        client.connection.Flush(0);
        return IdleWaitMs;
    }

    void ReadFrom(BenchClient& client) {
        // One read per readiness report: another would most often find nothing.
        client.connection.ReadReady();
        while (auto packet = client.connection.TakeBuffered()) {
            Account(client, *packet);
        }
        if (!client.connection.IsOpen() && !client.closed) {
            client.closed = true;
            ++closedCount;
        }
    }

    void Account(BenchClient& client, Packet& packet) {
        if (packet.GetPacketType() == PacketType::UserConnected) {
            if (client.arrivalsAwaited > 0 && --client.arrivalsAwaited == 0) {
                ++settledCount;
            }
            return;
        }
        if (packet.GetPacketType() != PacketType::ChatMessage) {
            return;
        }
        std::string_view text;
        packet >> text;
        const auto probe = DecodeProbe(text);
        if (!probe || probe->run != control.run ||
            probe->sender >= static_cast<std::uint32_t>(options.senders)) {
            return;  // a server notice or somebody else's line
        }
        const std::uint64_t now = Nanos(Clock::now());
        latency.Add(now > probe->sentNanos ? (now - probe->sentNanos) / 1000 : 0);
        SenderRecord& record = client.records[probe->sender];
        ++record.received;
        if (probe->sequence < record.next) {
            ++record.outOfOrder;
        } else {
            record.next = probe->sequence + 1;
        }
        if (static_cast<std::uint32_t>(client.sender) == probe->sender) {
            ++client.echoed;
        }
        ++deliveredCount;
    }

    // `phase` is the one this turn ran in: once it is Draining, `sent` is final.
    void Publish(Phase phase) {
        sent.store(sentCount, std::memory_order_relaxed);
        delivered.store(deliveredCount, std::memory_order_relaxed);
        settled.store(settledCount, std::memory_order_relaxed);
        closed.store(closedCount, std::memory_order_relaxed);
        seen.store(phase, std::memory_order_release);
    }

    const BenchOptions& options;
    const Control& control;
    std::vector<BenchClient*> clients;
    std::vector<WSAPOLLFD> waits;
    double sendInterval = 0;  // nanoseconds between two lines of one sender at a fixed rate
    std::uint64_t sentCount = 0;
    std::uint64_t deliveredCount = 0;
    std::uint64_t settledCount = 0;
    std::uint64_t closedCount = 0;
};

using Counter = std::atomic<std::uint64_t>;

std::uint64_t Sum(const std::vector<std::unique_ptr<Worker>>& workers, Counter Worker::*counter) {
    std::uint64_t total = 0;
    for (const auto& worker : workers) {
        total += (worker.get()->*counter).load(std::memory_order_relaxed);
    }
    return total;
}

// Connects one client at a time and waits for its greeting, so that the server's short
// listen backlog never overflows.
std::string ConnectAll(const BenchOptions& options, std::vector<BenchClient>& clients) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string reason;
        if (!clients[i].connection.Connect(options.host, options.port, reason)) {
            return "cannot connect client " + std::to_string(i + 1) + " to " + options.host + ":" +
                   std::to_string(options.port) + ": " + reason;
        }
        for (int greeting = 0; greeting < GreetingPackets; ++greeting) {
            if (!clients[i].connection.Receive(GreetingTimeoutMs)) {
                return "client " + std::to_string(i + 1) + " was not greeted by the server";
            }
        }
        clients[i].sender = static_cast<int>(i) < options.senders ? static_cast<int>(i) : -1;
        clients[i].arrivalsAwaited = static_cast<int>(clients.size() - 1 - i);
        clients[i].records.resize(static_cast<std::size_t>(options.senders));
    }
    return {};
}

void Account(const std::vector<BenchClient>& clients, int senders, BenchReport& report) {
    for (const BenchClient& client : clients) {
        for (int s = 0; s < senders; ++s) {
            const SenderRecord& record = client.records[static_cast<std::size_t>(s)];
            const std::uint64_t sent = clients[static_cast<std::size_t>(s)].sent;
            report.lost += sent > record.received ? sent - record.received : 0;
            report.outOfOrder += record.outOfOrder;
            report.delivered += record.received;
        }
    }
    for (int s = 0; s < senders; ++s) {
        report.sent += clients[static_cast<std::size_t>(s)].sent;
    }
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

}  // namespace

BenchReport RunBench(const BenchOptions& options, std::ostream& progress) {
    BenchReport report;
    report.options = options;
    const auto server = [&options] {
        return options.serverPid != 0 ? ReadProcessStats(options.serverPid) : std::nullopt;
    };
    if (const auto atStart = server()) {
        report.serverRssBeforeKiB = atStart->rssKiB;
    }

    progress << "Connecting " << options.clients << " clients to " << options.host << ":"
             << options.port << "." << std::endl;
    std::vector<BenchClient> clients(static_cast<std::size_t>(options.clients));
    Control control;
    control.run = std::random_device()();
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    // Ends the workers and the connections on every way out.
    const auto stop = [&] {
        control.phase.store(Phase::Done, std::memory_order_release);
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (BenchClient& client : clients) {
            client.connection.Close();
        }
    };
    report.error = ConnectAll(options, clients);
    if (!report.error.empty()) {
        stop();
        return report;
    }

    for (int t = 0; t < options.threads; ++t) {
        workers.push_back(std::make_unique<Worker>(options, control));
    }
    for (std::size_t i = 0; i < clients.size(); ++i) {
        workers[i % workers.size()]->Add(clients[i]);
    }
    for (const auto& worker : workers) {
        threads.emplace_back(&Worker::Run, worker.get());
    }
    // Before measuring, every client has been told of every later arrival, so that no
    // announcement is still on its way.
    const auto settleDeadline =
        Clock::now() + std::chrono::seconds(10) + options.clients * std::chrono::milliseconds(20);
    while (Sum(workers, &Worker::settled) < clients.size()) {
        if (Clock::now() > settleDeadline) {
            report.error = "the server did not announce every client to the others in time";
            stop();
            return report;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }

    progress << "Measuring for " << options.durationSeconds << " s." << std::endl;
    const auto serverBefore = server();
    const std::clock_t cpuBefore = std::clock();
    control.start = Clock::now();
    control.phase.store(Phase::Measuring, std::memory_order_release);
    const auto end = control.start + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<double>(options.durationSeconds));
    std::uint64_t lastSent = 0;
    std::uint64_t lastDelivered = 0;
    for (int second = 1;; ++second) {
        const auto tick = control.start + std::chrono::seconds(second);
        std::this_thread::sleep_until(std::min(tick, end));
        if (tick > end) {
            break;
        }
        const auto sent = Sum(workers, &Worker::sent);
        const auto delivered = Sum(workers, &Worker::delivered);
        progress << "[" << second << " s] sent " << sent - lastSent << "/s, delivered "
                 << delivered - lastDelivered << "/s, clients dropped "
                 << Sum(workers, &Worker::closed) << std::endl;
        lastSent = sent;
        lastDelivered = delivered;
    }
    control.phase.store(Phase::Draining, std::memory_order_release);
    report.seconds = Seconds(Clock::now() - control.start);
    report.deliveredInWindow = Sum(workers, &Worker::delivered);
    report.benchCpuPercent =
        100.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC / report.seconds;
    const auto serverAfter = server();
    if (serverBefore && serverAfter) {
        report.serverCpuPercent =
            100.0 * (serverAfter->cpuSeconds - serverBefore->cpuSeconds) / report.seconds;
        report.serverRssKiB = serverAfter->rssKiB;
    }

    const auto drainDeadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(options.drainSeconds));
    const auto drained = [&] {
        for (const auto& worker : workers) {
            if (worker->seen.load(std::memory_order_acquire) != Phase::Draining) {
                return false;  // it may still be sending
            }
        }
        return Sum(workers, &Worker::delivered) >= clients.size() * Sum(workers, &Worker::sent);
    };
    while (!drained() && Clock::now() < drainDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop();
    Account(clients, options.senders, report);
    report.closedClients = Sum(workers, &Worker::closed);
    for (const auto& worker : workers) {
        report.latency.Merge(worker->latency);
    }
    return report;
}
