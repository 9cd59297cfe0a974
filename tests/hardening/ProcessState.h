#pragma once

#include <cstddef>
#include <vector>

namespace hardening {

// Descriptors this process holds open, as the kernel lists them.
int OpenDescriptorCount();
// The highest descriptor number this process holds open.
int HighestOpenDescriptor();
// The descriptors that the process's one kernel poll set watches, in ascending order, as
// the kernel lists them; empty when the process holds no such set.
std::vector<int> KernelPollInterest();
// Bytes of heap in use by live allocations, as the allocator in charge counts them;
// large blocks mapped on their own included. Under valgrind, whose allocator keeps no
// such count, it is always 0; valgrind's own leak check stands in there.
std::size_t HeapInUse();

}  // namespace hardening
