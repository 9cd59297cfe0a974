#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

#include "Bench.h"
#include "ChatPage.h"
#include "LatencyHistogram.h"
#include "MyServer.h"
#include "Probe.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using testing::HasSubstr;
using testing::StartsWith;

// Serves on its own thread while the benchmark, which blocks, runs on the test's. It
// relays like the chat server, except for chat line number lineToDrop, if any, and
// passes each new connection to onConnect.
class LiveServer {
    support::StreamCapture log{std::cout};
    support::TestServer<MyServer> server;

  public:
    explicit LiveServer(int lineToDrop = 0,
                        std::function<void(hNet::Connection&)> onConnect = nullptr) {
        server.onConnect = std::move(onConnect);
        server.onPacket = [this, lineToDrop](std::shared_ptr<hNet::Packet> packet,
                                             hNet::Connection& from) {
            if (packet->GetPacketType() == hNet::PacketType::ChatMessage && ++lines == lineToDrop) {
                return true;
            }
            return server.MyServer::ProcessPacket(std::move(packet), from);
        };
        thread = std::thread([this] {
            while (!stopping) {
                server.Frame();
            }
        });
    }
    ~LiveServer() {
        stopping = true;
        thread.join();
    }

    const std::uint16_t port = ListenOnBothPorts();
    const std::uint16_t webPort = support::LocalPort(server.webListeningSocket);

  private:
    std::uint16_t ListenOnBothPorts() {
        server.ServeWeb(hNet::Endpoint("127.0.0.1", 0), ChatPage());
        return server.Listen();
    }

    int lines = 0;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

BenchOptions ShortRun(std::uint16_t port) {
    BenchOptions options;
    options.port = port;
    options.clients = 4;
    options.senders = 3;
    options.window = 4;
    options.threads = 2;
    options.durationSeconds = 0.3;
    options.drainSeconds = 0.5;
    return options;
}

TEST(Bench, AccountsForEveryLineOfALiveServer) {
    LiveServer server;
    std::ostringstream progress;
    const BenchReport report = RunBench(ShortRun(server.port), progress);
    ASSERT_EQ(report.error, "");
    EXPECT_GT(report.sent, 0u);
    EXPECT_EQ(report.delivered, 4 * report.sent);
    EXPECT_EQ(report.latency.Count(), report.delivered);
    EXPECT_EQ(report.lost, 0u);
    EXPECT_EQ(report.outOfOrder, 0u);
    EXPECT_EQ(report.closedClients, 0u);
    EXPECT_TRUE(report.Clean());
    EXPECT_THAT(JsonLine(report), HasSubstr("\"lost\":0,\"out_of_order\":0,"));
}

TEST(Bench, ConnectsEachClientFromALoopbackAddressOfItsOwn) {
    std::vector<std::string> addresses;
    BenchOptions options;
    options.clients = 251;
    options.senders = 0;
    options.durationSeconds = 0.1;
    {
        LiveServer server(0, [&addresses](hNet::Connection& connection) {
            addresses.push_back(connection.endpoint.GetIpString());
        });
        options.port = server.port;
        std::ostringstream progress;
        ASSERT_EQ(RunBench(options, progress).error, "");
    }
    ASSERT_EQ(addresses.size(), 251u);
    EXPECT_EQ(addresses.front(), "127.0.1.1");
    EXPECT_EQ(addresses[249], "127.0.1.250");
    EXPECT_EQ(addresses.back(), "127.0.2.1");
    std::sort(addresses.begin(), addresses.end());
    EXPECT_EQ(std::unique(addresses.begin(), addresses.end()), addresses.end());
}

TEST(Bench, AccountsForEveryLineThroughWebSockets) {
    LiveServer server;
    BenchOptions options = ShortRun(server.webPort);
    options.web = true;
    std::ostringstream progress;
    const BenchReport report = RunBench(options, progress);
    ASSERT_EQ(report.error, "");
    EXPECT_GT(report.sent, 0u);
    EXPECT_EQ(report.delivered, 4 * report.sent);
    EXPECT_TRUE(report.Clean());
    EXPECT_THAT(JsonLine(report), StartsWith("{\"path\":\"websocket\","));
}

TEST(Bench, KeepsToAFixedRate) {
    LiveServer server;
    BenchOptions options = ShortRun(server.port);
    options.rate = 100;
    std::ostringstream progress;
    const BenchReport report = RunBench(options, progress);
    ASSERT_EQ(report.error, "");
    // The schedule never runs ahead: 30 slots in 0.3 s, and one per sender at the end.
    EXPECT_GT(report.sent, 0u);
    EXPECT_LE(report.sent, 30u + 3u);
    EXPECT_EQ(report.lost, 0u);
}

TEST(Bench, ReportsExactlyTheDeliveriesOfOneDroppedLine) {
    LiveServer server(/*lineToDrop=*/5);
    std::ostringstream progress;
    const BenchReport report = RunBench(ShortRun(server.port), progress);
    ASSERT_EQ(report.error, "");
    ASSERT_GE(report.sent, 5u);
    // Nobody got it, the sender included: one delivery missing per client.
    EXPECT_EQ(report.lost, 4u);
    EXPECT_EQ(report.outOfOrder, 0u);
    EXPECT_EQ(report.delivered, 4 * report.sent - 4);
    EXPECT_FALSE(report.Clean());
}

// This process's id where /proc tells it, else 0.
int OwnPid() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self", error);
    return error ? 0 : std::stoi(self.string());
}

TEST(Bench, TimesTheAdmissionAndTheServerWhileIdle) {
    LiveServer server;
    BenchOptions options = ShortRun(server.port);
    options.clients = 6;
    options.senders = 0;
    // The in-process server is this process.
    options.serverPid = OwnPid();
    std::ostringstream progress;
    const BenchReport report = RunBench(options, progress);
    ASSERT_EQ(report.error, "");
    EXPECT_TRUE(report.Clean());
    EXPECT_EQ(report.sent, 0u);
    EXPECT_GT(report.admissionSeconds, 0);
    EXPECT_LT(report.admissionSeconds, AdmissionBoundSeconds(options.clients));
    if (options.serverPid != 0) {  // else no /proc here: the server figures are left out
        EXPECT_TRUE(report.serverCpuPercent && report.admissionServerCpuPercent);
        EXPECT_TRUE(report.ServerRssPerClientKiB());
    }
}

TEST(Bench, MeasuresTheServerAloneWithoutClients) {
    BenchOptions options;
    std::string problem;
    EXPECT_FALSE(ParseBenchOptions({"--clients", "0", "--duration", "0.3"}, options, problem));
    if (OwnPid() == 0) {
        GTEST_SKIP() << "no /proc here to measure a server by";
    }
    ASSERT_TRUE(ParseBenchOptions(
        {"--clients", "0", "--duration", "0.3", "--server-pid", std::to_string(OwnPid())}, options,
        problem))
        << problem;
    std::ostringstream progress;
    const BenchReport report = RunBench(options, progress);
    ASSERT_EQ(report.error, "");
    EXPECT_TRUE(report.serverCpuPercent && report.serverRssKiB);
    EXPECT_NE(JsonLine(report).find("\"server_rss_per_client_kib\":null"), std::string::npos);
}

TEST(Bench, ARoomSendsOneLinePerClientASecond) {
    LiveServer server;
    BenchOptions options;
    std::string problem;
    ASSERT_TRUE(ParseBenchOptions(
        {"--room", "5", "--duration", "0.5", "--drain", "1", "--port", std::to_string(server.port)},
        options, problem))
        << problem;
    std::ostringstream progress;
    const BenchReport report = RunBench(options, progress);
    ASSERT_EQ(report.error, "");
    // The senders' first lines are spread over the first second: no sender has a second
    // one due within half of it.
    EXPECT_GE(report.sent, 1u);
    EXPECT_LE(report.sent, 5u);
    EXPECT_EQ(report.delivered, 5 * report.sent);
    EXPECT_TRUE(report.Clean());
}

TEST(Bench, SaysWhenItCannotConnect) {
    hNet::Socket unlistened = support::UnlistenedSocket();
    std::ostringstream progress;
    const BenchReport report = RunBench(ShortRun(support::LocalPort(unlistened)), progress);
    EXPECT_THAT(report.error, StartsWith("cannot connect client 1 to 127.0.0.1:"));
    unlistened.Close();
}

TEST(BenchOptions, RefusesToRunWithoutATimeBound) {
    BenchOptions options;
    std::string problem;
    EXPECT_FALSE(ParseBenchOptions({"--clients", "5"}, options, problem));
    EXPECT_THAT(problem, HasSubstr("--duration"));
    EXPECT_FALSE(ParseBenchOptions({"--duration", "0"}, options, problem));
    EXPECT_FALSE(ParseBenchOptions({"--duration", "5", "--size", "44"}, options, problem));
    EXPECT_FALSE(ParseBenchOptions({"--duration", "5", "--senders", "11"}, options, problem));
    EXPECT_FALSE(ParseBenchOptions({"--duration", "5", "--window"}, options, problem));

    BenchOptions parsed;
    ASSERT_TRUE(ParseBenchOptions({"--clients", "7", "--duration", "2.5"}, parsed, problem))
        << problem;
    EXPECT_EQ(parsed.senders, 7);
    EXPECT_EQ(parsed.durationSeconds, 2.5);
    EXPECT_EQ(parsed.port, 6112);
    ASSERT_TRUE(ParseBenchOptions({"--web", "--duration", "1"}, parsed, problem)) << problem;
    EXPECT_EQ(parsed.port, 8080);
}

TEST(Probe, SurvivesTheRoundTripAndIgnoresOtherTexts) {
    const Probe probe{0xDEADBEEF, 0xFFFF, 0xFFFFFFFF, 0x0123456789ABCDEF};
    const std::string text = EncodeProbe(probe, 64);
    ASSERT_EQ(text.size(), 64u);
    const auto decoded = DecodeProbe(text);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->run, probe.run);
    EXPECT_EQ(decoded->sender, probe.sender);
    EXPECT_EQ(decoded->sequence, probe.sequence);
    EXPECT_EQ(decoded->sentNanos, probe.sentNanos);

    EXPECT_FALSE(DecodeProbe("[09:05:07] [SERVER]: New user connected!"));
    EXPECT_FALSE(DecodeProbe(text.substr(0, ProbeBytes - 1)));
    std::string damaged = text;
    damaged[20] = 'x';
    EXPECT_FALSE(DecodeProbe(damaged));
}

TEST(LatencyHistogram, PercentilesAreExactWhenSmallAndCloseWhenLarge) {
    LatencyHistogram small;
    for (std::uint64_t micros = 1; micros <= 100; ++micros) {
        small.Add(micros);
    }
    EXPECT_EQ(small.Percentile(0.50), 50u);
    EXPECT_EQ(small.Percentile(0.99), 99u);
    EXPECT_EQ(small.Percentile(1.0), 100u);

    LatencyHistogram large;
    large.Add(1'000'000);
    large.Add(123'456'789);
    large.Merge(small);
    EXPECT_EQ(large.Count(), 102u);
    EXPECT_EQ(large.Max(), 123'456'789u);
    const auto p99 = large.Percentile(0.99);
    EXPECT_GE(p99, 1'000'000u);
    EXPECT_LE(p99, 1'000'000u + 1'000'000u / 64);
    EXPECT_EQ(LatencyHistogram().Percentile(0.5), 0u);
}

}  // namespace
