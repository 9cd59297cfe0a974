// Runs a fuzz target's entry point over saved inputs, without the fuzzer: every file
// named, and every file in every folder named, in name order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

void Replay(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        const fs::path named(argv[i]);
        if (fs::is_directory(named)) {
            for (const auto& entry : fs::directory_iterator(named)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
        } else if (fs::exists(named)) {
            files.push_back(named);
        } else {
            std::cerr << "no such input: " << named << "\n";
            return 1;
        }
    }
    std::sort(files.begin(), files.end());
    for (const fs::path& file : files) {
        Replay(file);
    }
    std::cerr << "replayed " << files.size() << " inputs\n";
    return files.empty() ? 1 : 0;
}
