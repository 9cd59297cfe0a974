#pragma once

#include <memory>

#include "Platform.h"

namespace hNet {

// The server's poll step. Poll answers exactly as WSAPoll would for the same array, but
// the set learns of each handle once, when it is watched, and of every change of its
// requested events, so that on systems with a lasting kernel interest set a turn costs
// what is ready rather than everything that is watched. Where the system has none, Watch
// and Forget do nothing and Poll is WSAPoll. One source per kernel mechanism.
class PollSet {
  public:
    PollSet();
    ~PollSet();
    PollSet(const PollSet&) = delete;
    PollSet& operator=(const PollSet&) = delete;

    // Starts watching the handle, or changes the events it is watched for. An invalid
    // handle is left alone, as WSAPoll leaves a negative one.
    void Watch(SOCKET handle, short events);
    // Must come before the handle is closed: the system keys its interest on the open
    // socket, not on the number, which the next accept may hand out again.
    void Forget(SOCKET handle);
    // Every entry's handle must be watched for the entry's events, and its revents must
    // be 0, as in a fresh copy of master entries: only the ready entries are written.
    int Poll(WSAPOLLFD* fds, unsigned long count, int timeoutMs);

  private:
    struct State;
    std::unique_ptr<State> state;
};

}  // namespace hNet
