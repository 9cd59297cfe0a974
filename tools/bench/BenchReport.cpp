#include <iomanip>
#include <sstream>

#include "BenchReport.h"

namespace {

double PerSecond(std::uint64_t count, double seconds) {
    return seconds > 0 ? static_cast<double>(count) / seconds : 0;
}

std::string Workload(const BenchOptions& options) {
    std::ostringstream text;
    if (options.clients == 0) {
        text << "the server alone, " << options.durationSeconds << " s";
        return text.str();
    }
    text << options.clients << (options.web ? " clients through WebSocket, " : " clients, ")
         << options.senders << " senders, " << options.textBytes << "-byte texts, ";
    if (options.senders == 0) {
        text << "idle";
    } else if (options.rate > 0) {
        text << options.rate << " lines/s in total (" << options.rate / options.senders
             << " per sender)";
    } else {
        text << "flat out with window " << options.window;
    }
    text << ", " << options.durationSeconds << " s, " << options.threads << " thread(s)";
    return text.str();
}

template <typename Value>
void JsonOptional(std::ostream& out, const char* key, const std::optional<Value>& value) {
    out << ",\"" << key << "\":";
    if (value) {
        out << *value;
    } else {
        out << "null";
    }
}

// Less sensitive than the rates to other programs taking turns on the same cores.
double DeliveriesPerServerCpuSecond(const BenchReport& report) {
    const double cpuSeconds = *report.serverCpuPercent / 100 * report.seconds;
    return cpuSeconds > 0 ? static_cast<double>(report.deliveredInWindow) / cpuSeconds : 0;
}

void PrintAdmission(const BenchReport& report, std::ostream& out) {
    out << std::setprecision(2) << report.admissionSeconds << std::setprecision(1)
        << " s from the first connect until every arrival was heard; bench CPU "
        << report.admissionBenchCpuPercent << "%";
    if (report.admissionServerCpuPercent) {
        out << ", server CPU " << *report.admissionServerCpuPercent << "%";
    }
    out << "\n";
}

}  // namespace

void PrintSummary(const BenchReport& report, std::ostream& out) {
    const auto row = [&out](const char* label) -> std::ostream& {
        return out << "  " << std::left << std::setw(16) << label << std::right;
    };
    const LatencyHistogram& latency = report.latency;
    out << std::fixed << std::setprecision(1);
    out << "Workload: " << Workload(report.options) << "\n";
    out << "  " << std::setw(16) << "" << std::setw(12) << "total" << std::setw(14)
        << "per second\n";
    row("sent") << std::setw(12) << report.sent << std::setw(13)
                << PerSecond(report.sent, report.seconds) << "\n";
    row("delivered") << std::setw(12) << report.delivered << std::setw(13)
                     << PerSecond(report.deliveredInWindow, report.seconds) << "\n";
    row("latency (us)") << "p50 " << latency.Percentile(0.50) << "  p90 "
                        << latency.Percentile(0.90) << "  p99 " << latency.Percentile(0.99)
                        << "  max " << latency.Max() << "\n";
    row("lost") << std::setw(12) << report.lost << "\n";
    row("out of order") << std::setw(12) << report.outOfOrder << "\n";
    row("clients dropped") << std::setw(12) << report.closedClients << "\n";
    row("bench CPU") << report.benchCpuPercent << "% of one core\n";
    if (report.serverCpuPercent) {
        row("server CPU") << *report.serverCpuPercent << "% of one core, " << std::setprecision(0)
                          << DeliveriesPerServerCpuSecond(report) << std::setprecision(1)
                          << " deliveries per CPU second\n";
    }
    if (const auto perClient = report.ServerRssPerClientKiB()) {
        row("server memory") << *report.serverRssKiB << " KiB resident, "
                             << *report.serverRssBeforeKiB << " KiB before the clients came, "
                             << std::setprecision(2) << *perClient << std::setprecision(1)
                             << " KiB per client\n";
    } else if (report.serverRssKiB) {
        row("server memory") << *report.serverRssKiB << " KiB resident\n";
    }
    if (report.options.clients > 0) {
        PrintAdmission(report, row("admission"));
    }
    out << std::defaultfloat << std::flush;
}

std::string JsonLine(const BenchReport& report) {
    const BenchOptions& options = report.options;
    const LatencyHistogram& latency = report.latency;
    std::ostringstream json;
    json << std::fixed << std::setprecision(1);
    json << "{\"path\":\"" << (options.web ? "websocket" : "tcp")
         << "\",\"clients\":" << options.clients << ",\"senders\":" << options.senders
         << ",\"text_bytes\":" << options.textBytes << ",\"mode\":\""
         << (options.senders == 0 ? "idle"
             : options.rate > 0   ? "rate"
                                  : "flat-out")
         << "\",\"window\":" << options.window << ",\"rate\":" << options.rate
         << ",\"threads\":" << options.threads << ",\"seconds\":" << report.seconds
         << ",\"sent\":" << report.sent
         << ",\"sent_per_s\":" << PerSecond(report.sent, report.seconds)
         << ",\"delivered\":" << report.delivered
         << ",\"delivered_per_s\":" << PerSecond(report.deliveredInWindow, report.seconds)
         << ",\"latency_us_p50\":" << latency.Percentile(0.50)
         << ",\"latency_us_p90\":" << latency.Percentile(0.90)
         << ",\"latency_us_p99\":" << latency.Percentile(0.99)
         << ",\"latency_us_max\":" << latency.Max() << ",\"lost\":" << report.lost
         << ",\"out_of_order\":" << report.outOfOrder
         << ",\"clients_dropped\":" << report.closedClients
         << ",\"bench_cpu_pct\":" << report.benchCpuPercent;
    JsonOptional(json, "server_cpu_pct", report.serverCpuPercent);
    JsonOptional(json, "deliveries_per_server_cpu_s",
                 report.serverCpuPercent
                     ? std::optional<double>(DeliveriesPerServerCpuSecond(report))
                     : std::nullopt);
    JsonOptional(json, "server_rss_kib", report.serverRssKiB);
    JsonOptional(json, "server_rss_before_kib", report.serverRssBeforeKiB);
    json << std::setprecision(2);
    JsonOptional(json, "server_rss_per_client_kib", report.ServerRssPerClientKiB());
    json << ",\"admission_s\":" << report.admissionSeconds << std::setprecision(1)
         << ",\"admission_bench_cpu_pct\":" << report.admissionBenchCpuPercent;
    JsonOptional(json, "admission_server_cpu_pct", report.admissionServerCpuPercent);
    json << "}";
    return json.str();
}
