#include "ProcessState.h"

#include <dirent.h>
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
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

std::size_t HeapInUse() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) {
        return __sanitizer_get_current_allocated_bytes();
    }
    const auto counts = mallinfo2();
    return counts.uordblks + counts.hblkhd;
}

}  // namespace hardening
