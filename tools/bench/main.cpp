#include <iostream>
#include <string>
#include <vector>

#include "Bench.h"
#include "HalvexVersion.h"
#include "NetworkRuntime.h"
#include "Platform.h"

int main(int argc, char** argv) {
    BenchOptions options;
    std::string problem;
    if (!ParseBenchOptions(std::vector<std::string>(argv + 1, argv + argc), options, problem)) {
        std::cerr << "halvex-bench: " << problem << "\n" << BenchUsage();
        return 2;
    }
    if (options.help) {
        std::cout << BenchUsage();
        return 0;
    }
    if (options.version) {
        std::cout << "halvex-bench " << HALVEX_VERSION << std::endl;
        return 0;
    }
    if (!hNet::NetworkRuntime::Initialize()) {
        return 2;
    }
    // Every client costs a descriptor; RunBench says so when the limit is still too low.
    hNet::RaiseOpenFileLimit();
    const BenchReport report = RunBench(options, std::cerr);
    hNet::NetworkRuntime::Shutdown();
    if (!report.error.empty()) {
        std::cerr << "halvex-bench: " << report.error << std::endl;
        return 2;
    }
    PrintSummary(report, std::cout);
    std::cout << JsonLine(report) << std::endl;
    return report.Clean() ? 0 : 1;
}
