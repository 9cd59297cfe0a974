#pragma once

#include <optional>

struct ProcessStats {
    double cpuSeconds = 0;  // user and system time so far
    long rssKiB = 0;        // resident memory now
};

// Read from /proc, so only on Linux; empty where that cannot be read.
std::optional<ProcessStats> ReadProcessStats(int pid);

// This process's soft limit on open descriptors; empty where it cannot be read or has
// no bound.
std::optional<long> OpenFileLimit();
