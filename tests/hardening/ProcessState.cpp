#include "ProcessState.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Present only when a sanitizer's allocator replaces the C library's.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace hardening {

namespace {

// The listing's own descriptor is left out.
std::vector<int> OpenDescriptors() {
    std::vector<int> descriptors;
    DIR* directory = opendir("/proc/self/fd");
    if (directory == nullptr) {
        return descriptors;
    }
    const int own = dirfd(directory);
    while (const dirent* entry = readdir(directory)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        const int descriptor = std::atoi(entry->d_name);
        if (descriptor != own) {
            descriptors.push_back(descriptor);
        }
    }
    closedir(directory);
    return descriptors;
}

}  // namespace

int OpenDescriptorCount() {
    return static_cast<int>(OpenDescriptors().size());
}

int HighestOpenDescriptor() {
    const std::vector<int> descriptors = OpenDescriptors();
    return descriptors.empty() ? -1 : *std::max_element(descriptors.begin(), descriptors.end());
}

std::vector<int> KernelPollInterest() {
    std::vector<int> watched;
    for (const int descriptor : OpenDescriptors()) {
        const std::string link = "/proc/self/fd/" + std::to_string(descriptor);
        char target[64] = {};
        if (readlink(link.c_str(), target, sizeof(target) - 1) <= 0 ||
            std::string(target) != "anon_inode:[eventpoll]") {
            continue;
        }
        std::ifstream info("/proc/self/fdinfo/" + std::to_string(descriptor));
        for (std::string word; info >> word;) {
            if (word == "tfd:" && info >> word) {
                watched.push_back(std::atoi(word.c_str()));
            }
        }
    }
    std::sort(watched.begin(), watched.end());
    return watched;
}

std::size_t HeapInUse() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return __sanitizer_get_current_allocated_bytes();
    }
    const auto counts = mallinfo2();
    return counts.uordblks + counts.hblkhd;
}

}  // namespace hardening
