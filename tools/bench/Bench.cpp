#include "Bench.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
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
// A greeting waits for one turn of a server that may be busy announcing to every client.
constexpr double GreetingBaseSeconds = 5;
constexpr double GreetingSecondsPerClient = 0.001;
constexpr double AdmissionBaseSeconds = 30;
// Today's server admitted 5,000 clients in about 56 s on a quiet machine (2.2 us times
// the square) and 10,000 in 622 s on a busy one (6.2 us). This leaves room for a busier
// machine still, and ends a server that hangs.
constexpr double AdmissionSecondsPerClientSquared = 20e-6;
// Descriptors the bench holds besides its clients: standard streams and the like.
constexpr long SpareDescriptors = 32;
constexpr auto AdmissionProgressInterval = std::chrono::seconds(10);
// How long a worker waits when it has nothing due; also how soon it sees a new phase.
constexpr int IdleWaitMs = 10;
// Without senders nothing is ever due, and a wait on thousands of sockets costs the
// bench CPU that an idle measurement should leave alone.
constexpr int NoSendersWaitMs = 100;
// While clients arrive, an announcement reaches every earlier client in one server turn:
// a short pause after reading lets the next look over all sockets find it everywhere.
constexpr auto AnnouncementPause = std::chrono::milliseconds(2);

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
    // Clients greeted so far; each is handed to its worker once it is counted here.
    std::atomic<std::size_t> connected{0};
    Clock::time_point start;  // written before the phase turns to Measuring
    std::uint32_t run = 0;
};

// Runs a share of the clients on its own thread: reads everything they get, accounts
// for it and, while the measurement runs, sends for the senders among them. It takes
// every `stride`th client from `first` on as soon as it has been greeted, so that the
// announcements of later arrivals are read while they come, as real clients would.
class Worker {
  public:
    Worker(const BenchOptions& options, const Control& control, std::vector<BenchClient>& all,
           std::size_t first, std::size_t stride)
        : options(options), control(control), all(all), next(first), stride(stride) {
        if (options.rate > 0) {
            sendInterval = options.senders / options.rate * 1e9;
        }
    }

    void Run() {
        for (Phase phase; (phase = control.phase.load(std::memory_order_acquire)) != Phase::Done;) {
            TakeConnected();
            if (clients.empty()) {
                // Polling no sockets at all is an error on some platforms.
                std::this_thread::sleep_for(std::chrono::milliseconds(IdleWaitMs));
                continue;
            }
            int waitMs = options.senders > 0 ? IdleWaitMs : NoSendersWaitMs;
            for (std::size_t i = 0; i < clients.size(); ++i) {
                BenchClient& client = *clients[i];
                if (phase == Phase::Measuring && client.sender >= 0) {
                    waitMs = std::min(waitMs, SendDue(client));
                }
                waits[i].fd = client.connection.Handle();
                waits[i].events =
                    client.connection.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
                waits[i].revents = 0;
            }
            const bool ready =
                WSAPoll(waits.data(), static_cast<unsigned long>(waits.size()), waitMs) > 0;
            for (std::size_t i = 0; ready && i < clients.size(); ++i) {
                if (waits[i].revents & POLLWRNORM) {
                    clients[i]->connection.Flush(0);
                }
                if (waits[i].revents != 0) {
                    ReadFrom(*clients[i]);
                }
            }
            Publish(phase);
            if (ready && phase == Phase::Settling) {
                std::this_thread::sleep_for(AnnouncementPause);
            }
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
    void TakeConnected() {
        const std::size_t connected = control.connected.load(std::memory_order_acquire);
        for (; next < connected; next += stride) {
            BenchClient& client = all[next];
            clients.push_back(&client);
            waits.emplace_back();
            settledCount += client.arrivalsAwaited == 0;
        }
    }

    // Sends what is due for a sender, in one call; the milliseconds until the next line
    // will be due.
    int SendDue(BenchClient& client) {
        if (client.closed) {
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

using Counter = std::atomic<std::uint64_t>;

std::uint64_t Sum(const std::vector<std::unique_ptr<Worker>>& workers, Counter Worker::*counter) {
    std::uint64_t total = 0;
    for (const auto& worker : workers) {
        total += (worker.get()->*counter).load(std::memory_order_relaxed);
    }
    return total;
}

double Seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

Clock::duration ToDuration(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int RemainingMs(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(left.count(), 0));
}

// Connects one client at a time and waits for its greeting, so that the server's short
// listen backlog never overflows, then hands it to the workers.
std::string ConnectAll(const BenchOptions& options, std::vector<BenchClient>& clients,
                       Control& control, Clock::time_point deadline, std::ostream& progress) {
    const auto start = Clock::now();
    auto nextReport = start + AdmissionProgressInterval;
    const int greetingMs =
        static_cast<int>(1000 * (GreetingBaseSeconds + GreetingSecondsPerClient * options.clients));
    for (std::size_t i = 0; i < clients.size(); ++i) {
        std::string reason;
        if (!clients[i].connection.Connect(options.host, options.port, reason)) {
            return "cannot connect client " + std::to_string(i + 1) + " to " + options.host + ":" +
                   std::to_string(options.port) + ": " + reason;
        }
        for (int greeting = 0; greeting < GreetingPackets; ++greeting) {
            if (!clients[i].connection.Receive(std::min(greetingMs, RemainingMs(deadline)))) {
                return "client " + std::to_string(i + 1) + " was not greeted by the server" +
                       (Clock::now() >= deadline ? " before the admission bound" : "");
            }
        }
        clients[i].sender = static_cast<int>(i) < options.senders ? static_cast<int>(i) : -1;
        clients[i].arrivalsAwaited = static_cast<int>(clients.size() - 1 - i);
        clients[i].records.resize(static_cast<std::size_t>(options.senders));
        control.connected.store(i + 1, std::memory_order_release);
        if (Clock::now() >= nextReport) {
            progress << "[" << std::lround(Seconds(Clock::now() - start)) << " s] connected "
                     << i + 1 << " of " << clients.size() << " clients" << std::endl;
            nextReport += AdmissionProgressInterval;
        }
    }
    return {};
}

// Empty when the open-file limit leaves room for the clients or cannot be read.
std::string CheckOpenFileLimit(int clients) {
    const auto limit = OpenFileLimit();
    if (!limit || *limit >= clients + SpareDescriptors) {
        return {};
    }
    return "the open-file limit allows " + std::to_string(*limit) + " descriptors; " +
           std::to_string(clients) + " clients need at least " +
           std::to_string(clients + SpareDescriptors) +
           " (raise the hard limit, see ulimit -Hn, or run fewer clients)";
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

double CpuPercent(std::clock_t since, double seconds) {
    return 100.0 * static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC / seconds;
}

}  // namespace

double AdmissionBoundSeconds(int clients) {
    return AdmissionBaseSeconds + AdmissionSecondsPerClientSquared * clients * clients;
}

BenchReport RunBench(const BenchOptions& options, std::ostream& progress) {
    BenchReport report;
    report.options = options;
    report.error = CheckOpenFileLimit(options.clients);
    if (!report.error.empty()) {
        return report;
    }
    const auto server = [&options] {
        return options.serverPid != 0 ? ReadProcessStats(options.serverPid) : std::nullopt;
    };
    // Both before anything of this run reaches the server.
    const auto serverAtStart = server();
    if (serverAtStart) {
        report.serverRssBeforeKiB = serverAtStart->rssKiB;
    }

    const double admissionBound = AdmissionBoundSeconds(options.clients);
    progress << "Connecting " << options.clients << " clients to " << options.host << ":"
             << options.port << "; admission may take up to " << admissionBound << " s."
             << std::endl;
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
    const auto threadCount = static_cast<std::size_t>(options.threads);
    for (std::size_t t = 0; t < threadCount; ++t) {
        workers.push_back(std::make_unique<Worker>(options, control, clients, t, threadCount));
    }
    for (const auto& worker : workers) {
        threads.emplace_back(&Worker::Run, worker.get());
    }

    const std::clock_t admissionCpu = std::clock();
    const auto admissionStart = Clock::now();
    const auto admissionDeadline = admissionStart + ToDuration(admissionBound);
    report.error = ConnectAll(options, clients, control, admissionDeadline, progress);
    if (!report.error.empty()) {
        stop();
        return report;
    }
    // Before measuring, every client has been told of every later arrival, so that no
    // announcement is still on its way.
    while (Sum(workers, &Worker::settled) < clients.size()) {
        if (Clock::now() > admissionDeadline) {
            report.error = "the server did not announce every client to the others within " +
                           std::to_string(std::lround(admissionBound)) + " s";
            stop();
            return report;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    report.admissionSeconds = Seconds(Clock::now() - admissionStart);
    report.admissionBenchCpuPercent = CpuPercent(admissionCpu, report.admissionSeconds);
    const auto serverBefore = server();
    if (serverAtStart && serverBefore) {
        report.admissionServerCpuPercent = 100.0 *
                                           (serverBefore->cpuSeconds - serverAtStart->cpuSeconds) /
                                           report.admissionSeconds;
    }
    progress << "Admitted " << options.clients << " clients in " << std::fixed
             << std::setprecision(2) << report.admissionSeconds << std::defaultfloat
             << " s. Measuring for " << options.durationSeconds << " s." << std::endl;

    const std::clock_t cpuBefore = std::clock();
    control.start = Clock::now();
    control.phase.store(Phase::Measuring, std::memory_order_release);
    const auto end = control.start + ToDuration(options.durationSeconds);
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
    report.benchCpuPercent = CpuPercent(cpuBefore, report.seconds);
    const auto serverAfter = server();
    if (serverBefore && serverAfter) {
        report.serverCpuPercent =
            100.0 * (serverAfter->cpuSeconds - serverBefore->cpuSeconds) / report.seconds;
        report.serverRssKiB = serverAfter->rssKiB;
    }

    const auto drainDeadline = Clock::now() + ToDuration(options.drainSeconds);
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
