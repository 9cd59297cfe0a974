#include <charconv>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <type_traits>

#include "Bench.h"
#include "FramedClient.h"
#include "Probe.h"

const char* const BenchUsage =
    "usage: halvex-bench --duration SECONDS [options]\n"
    "Loads a Halvex chat server with chat lines and checks that every client receives every\n"
    "line, in order per sender. Every client reads everything; senders send as well.\n"
    "  --duration SECONDS  how long to measure (required)\n"
    "  --host HOST         server to connect to (default 127.0.0.1)\n"
    "  --port PORT         (default 6112)\n"
    "  --clients N         connected clients (default 10)\n"
    "  --senders S         how many of them send (default: all)\n"
    "  --size BYTES        text size, 45 to 8186 (default 64)\n"
    "  --window W          flat out: at most W lines of a sender not yet back (default 8)\n"
    "  --rate R            a fixed total rate of R lines per second instead of flat out,\n"
    "                      spread evenly over the senders and staggered among them;\n"
    "                      the window still caps each sender\n"
    "  --room N            N clients, each sending one line a second: the same as\n"
    "                      --clients N --senders N --rate N, which it excludes\n"
    "  --threads T         threads that run the clients (default 1)\n"
    "  --drain SECONDS     wait for lines on their way after the measurement (default 2)\n"
    "  --server-pid PID    report the CPU share and memory of this server process (Linux)\n"
    "  --version           print the version and exit\n"
    "Connecting and announcing N clients may take up to 30 s + 20 us * N^2 (1,000: 50 s;\n"
    "10,000: 2,030 s); the time it took is reported as the admission time.\n"
    "Progress goes to standard error; a summary table and one JSON line to standard output.\n"
    "Exit status: 0 when every line arrived in order, 1 when any was lost or out of order\n"
    "or a client was dropped, 2 when the run could not be made.\n";

namespace {

constexpr int MaxClients = 10000;
constexpr long long MaxRecords = 10'000'000;
static_assert(MaxClients <= MaxProbeSender + 1);

template <typename Number>
bool ParseNumber(const std::string& text, Number& value) {
    if constexpr (std::is_floating_point_v<Number>) {
        char* end = nullptr;
        value = static_cast<Number>(std::strtod(text.c_str(), &end));
        return !text.empty() && *end == '\0';
    } else {
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        return error == std::errc() && end == text.data() + text.size();
    }
}

std::string Check(const BenchOptions& options) {
    if (!(options.durationSeconds > 0 && options.durationSeconds <= 3600)) {
        return "a time bound is required: --duration SECONDS, above 0 and at most 3600";
    }
    if (options.clients < 1 || options.clients > MaxClients || options.senders < 0 ||
        options.senders > options.clients) {
        return "need 1 to " + std::to_string(MaxClients) +
               " clients and between 0 and that many senders";
    }
    // Every client keeps a sequence record per sender.
    if (static_cast<long long>(options.clients) * options.senders > MaxRecords) {
        return "clients times senders may be at most " + std::to_string(MaxRecords);
    }
    if (options.textBytes < ProbeBytes || options.textBytes > hNet::MaxTextBytes) {
        return "--size must be between " + std::to_string(ProbeBytes) + " and " +
               std::to_string(hNet::MaxTextBytes);
    }
    if (options.window < 1 || options.rate < 0 || options.threads < 1 ||
        options.threads > options.clients || !(options.drainSeconds >= 0) ||
        options.drainSeconds > 600 || options.port == 0 || options.serverPid < 0) {
        return "--window, --rate, --threads, --drain, --port or --server-pid out of range";
    }
    return {};
}

}  // namespace

bool ParseBenchOptions(const std::vector<std::string>& args, BenchOptions& options,
                       std::string& problem) {
    const auto number = [](auto& field) {
        return [&field](const std::string& value) { return ParseNumber(value, field); };
    };
    bool sendersGiven = false;
    int room = 0;
    bool roomExcluded = false;  // by --clients, --senders or --rate
    const auto excluding = [&roomExcluded](auto setter) {
        return [&roomExcluded, setter](const std::string& value) {
            roomExcluded = true;
            return setter(value);
        };
    };
    const std::map<std::string, std::function<bool(const std::string&)>> setters = {
        {"--host",
         [&options](const std::string& value) { return !(options.host = value).empty(); }},
        {"--port", number(options.port)},
        {"--clients", excluding(number(options.clients))},
        {"--senders", excluding([&](const std::string& value) {
             return sendersGiven = ParseNumber(value, options.senders);
         })},
        {"--room",
         [&room](const std::string& value) { return ParseNumber(value, room) && room > 0; }},
        {"--size", number(options.textBytes)},
        {"--duration", number(options.durationSeconds)},
        {"--window", number(options.window)},
        {"--rate", excluding(number(options.rate))},
        {"--threads", number(options.threads)},
        {"--drain", number(options.drainSeconds)},
        {"--server-pid", number(options.serverPid)},
    };
    // Every option but --help and --version takes the value that follows it.
    for (std::size_t i = 0; i < args.size(); i += 2) {
        if (args[i] == "--help" || args[i] == "-h") {
            options.help = true;
            return true;
        }
        if (args[i] == "--version") {
            options.version = true;
            return true;
        }
        const auto setter = setters.find(args[i]);
        if (setter == setters.end() || i + 1 == args.size()) {
            problem = "unknown option or missing value: " + args[i];
            return false;
        }
        if (!setter->second(args[i + 1])) {
            problem = "bad value for " + args[i] + ": " + args[i + 1];
            return false;
        }
    }
    if (room > 0) {
        if (roomExcluded) {
            problem =
                "--room sets the clients, the senders and the rate: give none of those with it";
            return false;
        }
        options.clients = options.senders = room;
        options.rate = room;
    } else if (!sendersGiven) {
        options.senders = options.clients;
    }
    problem = Check(options);
    return problem.empty();
}
