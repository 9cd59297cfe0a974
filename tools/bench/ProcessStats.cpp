#include "ProcessStats.h"

#include <fstream>
#include <sstream>
#include <string>

namespace {

// /proc counts CPU time in USER_HZ ticks, 100 per second on the architectures we run on.
constexpr double TicksPerSecond = 100;

std::optional<double> CpuSeconds(const std::string& directory) {
    std::ifstream file(directory + "/stat");
    std::string line;
    if (!std::getline(file, line)) {
        return std::nullopt;
    }
    // The command name in parentheses may hold blanks; the fields behind it do not.
    std::istringstream fields(line.substr(line.rfind(')') + 1));
    std::string skipped;
    for (int field = 3; field < 14; ++field) {
        fields >> skipped;
    }
    double userTicks = 0;
    double systemTicks = 0;
    if (!(fields >> userTicks >> systemTicks)) {
        return std::nullopt;
    }
    return (userTicks + systemTicks) / TicksPerSecond;
}

std::optional<long> ResidentKiB(const std::string& directory) {
    std::ifstream file(directory + "/status");
    for (std::string line; std::getline(file, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return std::nullopt;
}

}  // namespace

std::optional<long> OpenFileLimit() {
    std::ifstream file("/proc/self/limits");
    for (std::string line; std::getline(file, line);) {
        // "Max open files            1024                 4096                 files"
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream fields(line.substr(14));
            long soft = 0;
            if (fields >> soft) {
                return soft;
            }
        }
    }
    return std::nullopt;
}

std::optional<ProcessStats> ReadProcessStats(int pid) {
    const std::string directory = "/proc/" + std::to_string(pid);
    const auto cpu = CpuSeconds(directory);
    const auto rss = ResidentKiB(directory);
    if (!cpu || !rss) {
        return std::nullopt;
    }
    return ProcessStats{*cpu, *rss};
}
