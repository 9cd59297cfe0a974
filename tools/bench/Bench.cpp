#include "Bench.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iomanip>
#include <memory>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "BenchWorker.h"
#include "Endpoint.h"
#include "LoopbackPeople.h"
#include "ProcessStats.h"

namespace {

using Clock = std::chrono::steady_clock;

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

double CpuPercent(std::clock_t since, double seconds) {
    return 100.0 * static_cast<double>(std::clock() - since) / CLOCKS_PER_SEC / seconds;
}

// The server's CPU share between two readings.
std::optional<double> ServerCpuPercent(const std::optional<ProcessStats>& from,
                                       const std::optional<ProcessStats>& to, double seconds) {
    if (!from || !to) {
        return std::nullopt;
    }
    return 100.0 * (to->cpuSeconds - from->cpuSeconds) / seconds;
}

// Whether clients can each connect from an address of their own: only on IPv4's loopback
// network, where every 127.x.y.z is this machine. IPv6 has one loopback address.
bool SpreadsOverLoopback(const std::string& host) {
    const hNet::Endpoint server(host.c_str(), 0);
    return server.GetIpVersion() == hNet::IpVersion::IPv4 && hNet::IsLoopback(server);
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

// One run, phase by phase. The clients are shared out among worker threads, which end,
// and the connections with them, on every way out.
class BenchRun {
  public:
    BenchRun(const BenchOptions& options, std::ostream& progress, BenchReport& report)
        : options(options),
          progress(progress),
          report(report),
          clients(static_cast<std::size_t>(options.clients)),
          spread(SpreadsOverLoopback(options.host)) {
        control.run = std::random_device()();
    }
    ~BenchRun() { Stop(); }
    BenchRun(const BenchRun&) = delete;
    BenchRun& operator=(const BenchRun&) = delete;

    // Connects every client and waits until each has heard of every later arrival, so
    // that no announcement is still on its way when the measurement starts. False, with
    // the report's error set, when the server did not take them all in time.
    bool Admit();
    void Measure();
    // Waits for lines still on their way, then ends the workers.
    void Drain();
    void Account();

  private:
    std::optional<ProcessStats> Server() const {
        return options.serverPid != 0 ? ReadProcessStats(options.serverPid) : std::nullopt;
    }
    void StartWorkers();
    std::string ConnectAll(Clock::time_point deadline);
    std::string AwaitAnnouncements(Clock::time_point deadline, double bound);
    void ShowProgressUntil(Clock::time_point end);
    bool Drained() const;
    void Stop();

    const BenchOptions& options;
    std::ostream& progress;
    BenchReport& report;
    std::vector<BenchClient> clients;
    const bool spread;  // each client from a loopback address of its own
    Control control;
    std::vector<std::unique_ptr<Worker>> workers;
    std::vector<std::thread> threads;
    std::optional<ProcessStats> serverBefore;  // as the measurement starts
};

bool BenchRun::Admit() {
    // Before anything of this run reaches the server.
    const auto serverAtStart = Server();
    if (serverAtStart) {
        report.serverRssBeforeKiB = serverAtStart->rssKiB;
    }
    if (clients.empty()) {
        serverBefore = serverAtStart;
        progress << "Measuring the server alone for " << options.durationSeconds << " s."
                 << std::endl;
        return true;
    }
    const double bound = AdmissionBoundSeconds(options.clients);
    progress << "Connecting " << options.clients << " clients to " << options.host << ":"
             << options.port << (options.web ? " through WebSocket" : "");
    if (spread) {
        progress << " from " << hNet::LoopbackPerson(0) << " to "
                 << hNet::LoopbackPerson(clients.size() - 1);
    }
    progress << "; admission may take up to " << bound << " s." << std::endl;
    StartWorkers();
    const std::clock_t cpuAtStart = std::clock();
    const auto start = Clock::now();
    const auto deadline = start + ToDuration(bound);
    report.error = ConnectAll(deadline);
    if (report.error.empty()) {
        report.error = AwaitAnnouncements(deadline, bound);
    }
    if (!report.error.empty()) {
        return false;
    }
    report.admissionSeconds = Seconds(Clock::now() - start);
    report.admissionBenchCpuPercent = CpuPercent(cpuAtStart, report.admissionSeconds);
    serverBefore = Server();
    report.admissionServerCpuPercent =
        ServerCpuPercent(serverAtStart, serverBefore, report.admissionSeconds);
    progress << "Admitted " << options.clients << " clients in " << std::fixed
             << std::setprecision(2) << report.admissionSeconds << std::defaultfloat
             << " s. Measuring for " << options.durationSeconds << " s." << std::endl;
    return true;
}

void BenchRun::StartWorkers() {
    const auto count = static_cast<std::size_t>(options.threads);
    for (std::size_t t = 0; t < count; ++t) {
        workers.push_back(std::make_unique<Worker>(options, control, clients, t, count));
    }
    for (const auto& worker : workers) {
        threads.emplace_back(&Worker::Run, worker.get());
    }
}

// Connects one client at a time and waits for its greeting, so that the server's short
// listen backlog never overflows, then hands it to the workers.
std::string BenchRun::ConnectAll(Clock::time_point deadline) {
    const auto start = Clock::now();
    auto nextReport = start + AdmissionProgressInterval;
    const int greetingMs =
        static_cast<int>(1000 * (GreetingBaseSeconds + GreetingSecondsPerClient * options.clients));
    hNet::ConnectOptions connectOptions;
    connectOptions.webSocket = options.web;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        hNet::FramedClient& connection = clients[i].connection;
        connectOptions.sourceAddress = spread ? hNet::LoopbackPerson(i) : "";
        std::string reason;
        if (!connection.Connect(options.host, options.port, reason, connectOptions)) {
            return "cannot connect client " + std::to_string(i + 1) + " to " + options.host + ":" +
                   std::to_string(options.port) + ": " + reason;
        }
        for (int greeting = 0; greeting < GreetingPackets; ++greeting) {
            if (!connection.Receive(std::min(greetingMs, RemainingMs(deadline)))) {
                return "client " + std::to_string(i + 1) + " was not greeted by the server" +
                       (!connection.IsOpen()       ? ": " + connection.CloseReason()
                        : Clock::now() >= deadline ? " before the admission bound"
                                                   : "");
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

std::string BenchRun::AwaitAnnouncements(Clock::time_point deadline, double bound) {
    while (Sum(workers, &Worker::settled) < clients.size()) {
        if (Clock::now() > deadline) {
            return "the server did not announce every client to the others within " +
                   std::to_string(std::lround(bound)) + " s";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return {};
}

void BenchRun::Measure() {
    const std::clock_t cpuBefore = std::clock();
    control.start = Clock::now();
    control.phase.store(Phase::Measuring, std::memory_order_release);
    ShowProgressUntil(control.start + ToDuration(options.durationSeconds));
    control.phase.store(Phase::Draining, std::memory_order_release);
    report.seconds = Seconds(Clock::now() - control.start);
    report.deliveredInWindow = Sum(workers, &Worker::delivered);
    report.benchCpuPercent = CpuPercent(cpuBefore, report.seconds);
    const auto serverAfter = Server();
    report.serverCpuPercent = ServerCpuPercent(serverBefore, serverAfter, report.seconds);
    if (report.serverCpuPercent) {
        report.serverRssKiB = serverAfter->rssKiB;
    }
}

// A line a second with what was sent and delivered in it.
void BenchRun::ShowProgressUntil(Clock::time_point end) {
    std::uint64_t lastSent = 0;
    std::uint64_t lastDelivered = 0;
    for (int second = 1;; ++second) {
        const auto tick = control.start + std::chrono::seconds(second);
        std::this_thread::sleep_until(std::min(tick, end));
        if (tick > end) {
            return;
        }
        const auto sent = Sum(workers, &Worker::sent);
        const auto delivered = Sum(workers, &Worker::delivered);
        progress << "[" << second << " s] sent " << sent - lastSent << "/s, delivered "
                 << delivered - lastDelivered << "/s, clients dropped "
                 << Sum(workers, &Worker::closed) << std::endl;
        lastSent = sent;
        lastDelivered = delivered;
    }
}

void BenchRun::Drain() {
    const auto deadline = Clock::now() + ToDuration(options.drainSeconds);
    while (!Drained() && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Stop();
}

bool BenchRun::Drained() const {
    for (const auto& worker : workers) {
        if (worker->seen.load(std::memory_order_acquire) != Phase::Draining) {
            return false;  // it may still be sending
        }
    }
    return Sum(workers, &Worker::delivered) >= clients.size() * Sum(workers, &Worker::sent);
}

// Every sender's lines against what each client received of them.
void BenchRun::Account() {
    const auto senders = static_cast<std::size_t>(options.senders);
    for (const BenchClient& client : clients) {
        for (std::size_t s = 0; s < senders; ++s) {
            const SenderRecord& record = client.records[s];
            const std::uint64_t sent = clients[s].sent;
            report.lost += sent > record.received ? sent - record.received : 0;
            report.outOfOrder += record.outOfOrder;
            report.delivered += record.received;
        }
    }
    for (std::size_t s = 0; s < senders; ++s) {
        report.sent += clients[s].sent;
    }
    report.closedClients = Sum(workers, &Worker::closed);
    for (const auto& worker : workers) {
        report.latency.Merge(worker->latency);
    }
}

void BenchRun::Stop() {
    control.phase.store(Phase::Done, std::memory_order_release);
    for (std::thread& thread : threads) {
        thread.join();
    }
    threads.clear();
    for (BenchClient& client : clients) {
        client.connection.Close();
    }
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
    BenchRun run(options, progress, report);
    if (run.Admit()) {
        run.Measure();
        run.Drain();
        run.Account();
    }
    return report;
}
