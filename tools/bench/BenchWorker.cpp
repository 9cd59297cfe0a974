#include "BenchWorker.h"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <thread>

#include "Probe.h"

namespace {

using Clock = std::chrono::steady_clock;
using hNet::Packet;
using hNet::PacketType;

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

}  // namespace

Worker::Worker(const BenchOptions& options, const Control& control, std::vector<BenchClient>& all,
               std::size_t first, std::size_t stride)
    : options(options), control(control), all(all), next(first), stride(stride) {
    if (options.rate > 0) {
        sendInterval = options.senders / options.rate * 1e9;
    }
}

void Worker::Run() {
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
            waits[i].events = client.connection.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
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

void Worker::TakeConnected() {
    const std::size_t connected = control.connected.load(std::memory_order_acquire);
    for (; next < connected; next += stride) {
        BenchClient& client = all[next];
        clients.push_back(&client);
        waits.emplace_back();
        settledCount += client.arrivalsAwaited == 0;
    }
}

int Worker::SendDue(BenchClient& client) {
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
        client.connection.Stage(
            hNet::MakeTextPacket(PacketType::ChatMessage, EncodeProbe(probe, options.textBytes)));
        ++client.sent;
        ++sentCount;
    }
    // Nothing queued costs no call.
    client.connection.Flush(0);
    return IdleWaitMs;
}

void Worker::ReadFrom(BenchClient& client) {
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

void Worker::Account(BenchClient& client, Packet& packet) {
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

void Worker::Publish(Phase phase) {
    sent.store(sentCount, std::memory_order_relaxed);
    delivered.store(deliveredCount, std::memory_order_relaxed);
    settled.store(settledCount, std::memory_order_relaxed);
    closed.store(closedCount, std::memory_order_relaxed);
    seen.store(phase, std::memory_order_release);
}
