#include "Descriptors.h"

#include <dirent.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

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

}  // namespace hardening
