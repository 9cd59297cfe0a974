#include "BenchOptions.h"

#include <CLI/CLI.hpp>
#include <limits>

#include "Probe.h"
#include "WireFormat.h"

namespace {

constexpr int MaxClients = 10000;
constexpr long long MaxRecords = 10'000'000;
constexpr int MaxInt = std::numeric_limits<int>::max();
static_assert(MaxClients <= MaxProbeSender + 1);

constexpr const char* About =
    "Loads a Halvex chat server with chat lines and checks that every client receives every\n"
    "line, in order per sender. Every client reads everything; senders send as well.\n"
    "Connecting and announcing N clients may take up to 30 s + 20 us * N^2 (1,000: 50 s;\n"
    "10,000: 2,030 s); the time it took is reported as the admission time.\n"
    "Progress goes to standard error; a summary table and one JSON line to standard output.\n"
    "Exit status: 0 when every line arrived in order, 1 when any was lost or out of order\n"
    "or a client was dropped, 2 when the run could not be made or the command line is bad.";

// What the command line says beyond the options themselves.
struct Given {
    int room = 0;
    CLI::Option* senders = nullptr;
    CLI::Option* port = nullptr;
};

// The options that say who sends what, and how fast.
void DescribeWorkload(CLI::App& app, BenchOptions& options, Given& given) {
    const auto clients =
        app.add_option("--clients", options.clients,
                       "connected clients, up to 10000 (default 10); 0 measures the\n"
                       "server alone, the floor under every idle figure (needs --server-pid)")
            ->option_text("N")
            ->check(CLI::Range(0, MaxClients));
    given.senders =
        app.add_option("--senders", options.senders, "how many of them send (default: all)")
            ->option_text("S");
    app.add_option("--size", options.textBytes,
                   "text size, " + std::to_string(ProbeBytes) + " to " +
                       std::to_string(hNet::MaxTextBytes) + " (default 64)")
        ->option_text("BYTES")
        ->check(CLI::Range(ProbeBytes, std::size_t{hNet::MaxTextBytes}));
    app.add_option("--window", options.window,
                   "flat out: at most W lines of a sender not yet back (default 8)")
        ->option_text("W")
        ->check(CLI::Range(1, MaxInt));
    const auto rate = app.add_option("--rate", options.rate,
                                     "a fixed total rate of R lines per second instead of flat "
                                     "out,\nspread evenly over the senders and staggered among "
                                     "them;\nthe window still caps each sender")
                          ->option_text("R");
    app.add_option("--room", given.room,
                   "N clients, each sending one line a second: the same as\n"
                   "--clients N --senders N --rate N, which it excludes")
        ->option_text("N")
        ->check(CLI::Range(1, MaxClients))
        ->excludes(clients)
        ->excludes(given.senders)
        ->excludes(rate);
}

// Each option with its value's name and what it does. The ranges are checked as the
// values are read, but for the numbers with a fraction; the rest by Check.
void Describe(CLI::App& app, BenchOptions& options, Given& given) {
    app.footer(About);
    app.get_formatter()->column_width(22);
    app.get_formatter()->label("Usage", "usage");
    app.get_formatter()->label("OPTIONS", "options");
    app.set_help_flag("-h,--help", "show the options and exit");
    app.set_version_flag("--version", std::string(), "print the version and exit");
    app.add_option("--duration", options.durationSeconds,
                   "how long to measure, above 0 and at most 3600 (required)")
        ->option_text("SECONDS")
        ->required();
    app.add_option("--host", options.host,
                   "server to connect to (default 127.0.0.1); on 127.x.y.z,\n"
                   "client i connects from 127.0.(1 + i / 250).(1 + i % 250)")
        ->option_text("HOST");
    given.port = app.add_option("--port", options.port,
                                "its port (default " + std::to_string(hNet::ChatPort) + ", " +
                                    std::to_string(hNet::WebPort) + " with --web)")
                     ->option_text("PORT")
                     ->check(CLI::Range(1, 65535));
    app.add_flag("--web", options.web,
                 "connect through the web port as browsers do: every\n"
                 "packet inside a WebSocket message");
    DescribeWorkload(app, options, given);
    app.add_option("--threads", options.threads, "threads that run the clients (default 1)")
        ->option_text("T")
        ->check(CLI::Range(1, MaxClients));
    app.add_option("--drain", options.drainSeconds,
                   "wait for lines on their way after the measurement, at most 600\n"
                   "(default 2)")
        ->option_text("SECONDS");
    app.add_option("--server-pid", options.serverPid,
                   "report the CPU share and memory of this server process (Linux)")
        ->option_text("PID")
        ->check(CLI::Range(1, MaxInt));
}

// What one option alone cannot tell, and the bounds of the numbers with a fraction,
// compared so that NaN fails.
std::string Check(const BenchOptions& options) {
    if (!(options.durationSeconds > 0 && options.durationSeconds <= 3600)) {
        return "a time bound is required: --duration SECONDS, above 0 and at most 3600";
    }
    if (!(options.drainSeconds >= 0 && options.drainSeconds <= 600) || !(options.rate >= 0)) {
        return "--drain must be from 0 to 600 seconds and --rate not below 0";
    }
    if (options.host.empty()) {
        return "--host must name a server";
    }
    if (options.senders < 0 || options.senders > options.clients) {
        return "need between 0 and " + std::to_string(options.clients) + " senders";
    }
    // Every client keeps a sequence record per sender.
    if (static_cast<long long>(options.clients) * options.senders > MaxRecords) {
        return "clients times senders may be at most " + std::to_string(MaxRecords);
    }
    if (options.clients == 0 && options.serverPid == 0) {
        return "without clients there is only the server to measure: give --server-pid";
    }
    if (options.threads > std::max(options.clients, 1)) {
        return "--threads may be at most the number of clients";
    }
    return {};
}

}  // namespace

bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions& options,
                       std::string& problem) {
    CLI::App app("", "halvex-bench");
    Given given;
    Describe(app, options, given);
    try {
        // The parser takes the words last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        options.help = true;
        return true;
    } catch (const CLI::CallForVersion&) {
        options.version = true;
        return true;
    } catch (const CLI::ParseError& error) {
        problem = error.what();
        return false;
    }
    if (options.web && given.port->count() == 0) {
        options.port = hNet::WebPort;
    }
    if (given.room > 0) {
        options.clients = options.senders = given.room;
        options.rate = given.room;
    } else if (given.senders->count() == 0) {
        options.senders = options.clients;
    }
    problem = Check(options);
    return problem.empty();
}

std::string BenchUsage() {
    CLI::App app("", "halvex-bench");
    BenchOptions options;
    Given given;
    Describe(app, options, given);
    return app.help();
}
