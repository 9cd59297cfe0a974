#include "PollSet.h"

namespace hNet {

// Windows Sockets keeps no interest set between calls: every turn asks afresh.
struct PollSet::State {};

PollSet::PollSet() : state(std::make_unique<State>()) {}
PollSet::~PollSet() = default;
void PollSet::Watch(SOCKET, short) {}
void PollSet::Forget(SOCKET) {}

int PollSet::Poll(WSAPOLLFD* fds, unsigned long count, int timeoutMs) {
    return WSAPoll(fds, count, timeoutMs);
}

}  // namespace hNet
