#pragma once

namespace hardening {

// Descriptors this process holds open, as the kernel lists them.
int OpenDescriptorCount();
// The highest descriptor number this process holds open.
int HighestOpenDescriptor();

}  // namespace hardening
