#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include <vector>

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>

#include "NetworkRuntime.h"
#include "Platform.h"

int closesocket(SOCKET handle) {
    return close(handle);
}

int ioctlsocket(SOCKET handle, unsigned long command, unsigned long* argument) {
    int value = static_cast<int>(*argument);
    return ioctl(handle, command, &value);
}

int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeoutMs) {
    return poll(fds, static_cast<nfds_t>(count), timeoutMs);
}

int WSAGetLastError() {
    const int error = errno;
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return WSAEWOULDBLOCK;
    }
    return error;
}

namespace hNet {

bool NetworkRuntime::Initialize() {
    // A send to a peer that has gone away must fail with an error, not end the process.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void NetworkRuntime::Shutdown() {}

bool AllowPortReuse(SOCKET handle) {
    const int on = 1;
    return setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) == 0;
}

// Linux passes keepalive and the user timeout on from a listening socket to the sockets
// it accepts. TCP_USER_TIMEOUT also ends keepalive probing once that long has passed
// without an answer.
void SetPeerTimeouts(SOCKET handle, const PeerTimeouts& timeouts) {
    const int on = 1;
    const int unacknowledgedMs = timeouts.unacknowledgedSeconds * 1000;
    const auto set = [handle](int level, int name, const int& value) {
        setsockopt(handle, level, name, &value, sizeof(value));
    };
    set(SOL_SOCKET, SO_KEEPALIVE, on);
    set(IPPROTO_TCP, TCP_KEEPIDLE, timeouts.idleSeconds);
    set(IPPROTO_TCP, TCP_KEEPINTVL, timeouts.intervalSeconds);
    set(IPPROTO_TCP, TCP_KEEPCNT, timeouts.probes);
    set(IPPROTO_TCP, TCP_USER_TIMEOUT, unacknowledgedMs);
}

long SendGather(SOCKET handle, const IoSlice* slices, std::size_t count) {
    iovec vectors[MaxIoSlices];
    count = std::min(count, MaxIoSlices);
    for (std::size_t i = 0; i < count; ++i) {
        vectors[i].iov_base = const_cast<char*>(slices[i].data);
        vectors[i].iov_len = slices[i].size;
    }
    msghdr message{};
    message.msg_iov = vectors;
    message.msg_iovlen = count;
    // SIGPIPE is already ignored process-wide; this keeps a peer that vanished from
    // ending a program that never started the runtime.
    return static_cast<long>(sendmsg(handle, &message, MSG_NOSIGNAL));
}

// The kernel keeps each handle's read interest between turns, so a turn with nothing
// ready is one epoll_wait whatever the number of handles. Write interest changes with
// every notice to everyone; telling the kernel each time would cost two calls per
// recipient, so a handle that starts to want writing is first asked with one poll()
// over just such handles, and is handed to the kernel only if its socket was full.
struct PollSet::State {
    struct Watched {
        bool known = false;
        bool inKernel = false;
        bool unwatchable = false;  // the kernel refused it: poll() answers for it
        short wanted = 0;
        short registered = 0;
        int probeSlot = -1;          // its place in `probes`, or -1
        unsigned long position = 0;  // where it stood in the array last time
    };

    int kernelSet = -1;
    std::size_t kernelCount = 0;
    std::vector<Watched> byHandle;
    std::vector<SOCKET> probes;
    std::vector<pollfd> probeFds;
    std::vector<epoll_event> ready;

    bool NeedsProbe(const Watched& watched) const {
        return watched.known && (watched.unwatchable || ((watched.wanted & POLLWRNORM) != 0 &&
                                                         (watched.registered & POLLWRNORM) == 0));
    }

    void UpdateProbe(SOCKET handle) {
        Watched& watched = byHandle[static_cast<std::size_t>(handle)];
        const bool needed = NeedsProbe(watched);
        if (needed && watched.probeSlot < 0) {
            watched.probeSlot = static_cast<int>(probes.size());
            probes.push_back(handle);
        } else if (!needed && watched.probeSlot >= 0) {
            const SOCKET moved = probes.back();
            probes[static_cast<std::size_t>(watched.probeSlot)] = moved;
            byHandle[static_cast<std::size_t>(moved)].probeSlot = watched.probeSlot;
            probes.pop_back();
            watched.probeSlot = -1;
        }
    }

    // Read interest goes to the kernel at once; write interest only once a probe found
    // the socket full, and it leaves as soon as it is no longer wanted.
    void Register(SOCKET handle, short events) {
        Watched& watched = byHandle[static_cast<std::size_t>(handle)];
        if (watched.unwatchable) {
            return;
        }
        epoll_event change{};
        change.events = static_cast<std::uint32_t>(events);
        change.data.fd = handle;
        if (!watched.inKernel) {
            if (kernelSet < 0 || epoll_ctl(kernelSet, EPOLL_CTL_ADD, handle, &change) != 0) {
                watched.unwatchable = true;
                return;
            }
            watched.inKernel = true;
            if (++kernelCount > ready.size()) {
                ready.resize(2 * kernelCount);
            }
        } else if (events != watched.registered &&
                   epoll_ctl(kernelSet, EPOLL_CTL_MOD, handle, &change) != 0) {
            watched.unwatchable = true;
            return;
        }
        watched.registered = events;
    }

    // Where the handle stands in the array; the positions are learnt again after closes
    // have moved entries down. -1 when it is not there.
    long Find(const WSAPOLLFD* fds, unsigned long count, SOCKET handle, bool& relearnt) {
        Watched& watched = byHandle[static_cast<std::size_t>(handle)];
        if (watched.position >= count || fds[watched.position].fd != handle) {
            if (relearnt) {
                return -1;
            }
            for (unsigned long i = 0; i < count; ++i) {
                const SOCKET each = fds[i].fd;
                if (each >= 0 && static_cast<std::size_t>(each) < byHandle.size()) {
                    byHandle[static_cast<std::size_t>(each)].position = i;
                }
            }
            relearnt = true;
            if (watched.position >= count || fds[watched.position].fd != handle) {
                return -1;
            }
        }
        return static_cast<long>(watched.position);
    }
};

PollSet::PollSet() : state(std::make_unique<State>()) {}

PollSet::~PollSet() {
    if (state->kernelSet >= 0) {
        close(state->kernelSet);
    }
}

void PollSet::Watch(SOCKET handle, short events) {
    if (handle < 0) {
        return;
    }
    State& set = *state;
    if (set.kernelSet < 0) {
        set.kernelSet = epoll_create1(EPOLL_CLOEXEC);
    }
    if (static_cast<std::size_t>(handle) >= set.byHandle.size()) {
        set.byHandle.resize(static_cast<std::size_t>(handle) + 1);
    }
    State::Watched& watched = set.byHandle[static_cast<std::size_t>(handle)];
    watched.known = true;
    watched.wanted = events;
    const bool writeRegistered = (watched.registered & POLLWRNORM) != 0;
    set.Register(handle, static_cast<short>((events & ~POLLWRNORM) |
                                            (writeRegistered ? events & POLLWRNORM : 0)));
    set.UpdateProbe(handle);
}

void PollSet::Forget(SOCKET handle) {
    State& set = *state;
    if (handle < 0 || static_cast<std::size_t>(handle) >= set.byHandle.size() ||
        !set.byHandle[static_cast<std::size_t>(handle)].known) {
        return;
    }
    State::Watched& watched = set.byHandle[static_cast<std::size_t>(handle)];
    if (watched.inKernel) {
        epoll_ctl(set.kernelSet, EPOLL_CTL_DEL, handle, nullptr);
        --set.kernelCount;
    }
    watched.known = false;
    set.UpdateProbe(handle);
    watched = State::Watched{};
}

int PollSet::Poll(WSAPOLLFD* fds, unsigned long count, int timeoutMs) {
    State& set = *state;
    // When at least half the handles are to be asked about writing anyway, as in a turn
    // that relays to everyone, one poll() over the whole array costs less than a poll()
    // over those and an epoll_wait for the rest.
    if (2 * set.probes.size() >= count) {
        return poll(fds, static_cast<nfds_t>(count), timeoutMs);
    }
    int reported = 0;
    bool relearnt = false;
    const auto report = [&](SOCKET handle, short revents) {
        const long position = set.Find(fds, count, handle, relearnt);
        if (position < 0 || revents == 0) {
            return;
        }
        reported += fds[position].revents == 0 ? 1 : 0;
        fds[position].revents = static_cast<short>(fds[position].revents | revents);
    };

    // Without a kernel set to wait in, the probes' poll() is the turn's wait.
    const bool kernelWaits = set.kernelCount > 0;
    if (!set.probes.empty() || !kernelWaits) {
        set.probeFds.resize(set.probes.size());
        for (std::size_t i = 0; i < set.probes.size(); ++i) {
            const SOCKET handle = set.probes[i];
            set.probeFds[i] =
                pollfd{handle, set.byHandle[static_cast<std::size_t>(handle)].wanted, 0};
        }
        if (poll(set.probeFds.data(), set.probeFds.size(), kernelWaits ? 0 : timeoutMs) > 0) {
            for (const pollfd& probe : set.probeFds) {
                report(probe.fd, probe.revents);
            }
        }
        // A socket too full to write is left to the kernel until it drains.
        for (const pollfd& probe : set.probeFds) {
            State::Watched& watched = set.byHandle[static_cast<std::size_t>(probe.fd)];
            if (!watched.unwatchable && (probe.revents & POLLWRNORM) == 0) {
                set.Register(probe.fd, watched.wanted);
                set.UpdateProbe(probe.fd);
            }
        }
    }
    if (!kernelWaits) {
        return reported;
    }
    const int events = epoll_wait(set.kernelSet, set.ready.data(),
                                  static_cast<int>(set.ready.size()), reported > 0 ? 0 : timeoutMs);
    for (int i = 0; i < events; ++i) {
        const SOCKET handle = set.ready[static_cast<std::size_t>(i)].data.fd;
        const State::Watched& watched = set.byHandle[static_cast<std::size_t>(handle)];
        report(handle,
               static_cast<short>(set.ready[static_cast<std::size_t>(i)].events &
                                  static_cast<std::uint32_t>(watched.wanted | POLLERR | POLLHUP)));
    }
    return events < 0 && reported == 0 ? -1 : reported;
}

std::string LastSocketErrorText() {
    return std::strerror(errno);
}

bool LastErrorIsDescriptorExhaustion() {
    return errno == EMFILE || errno == ENFILE;
}

void RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::int64_t MonotonicMilliseconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool ToLocalTime(std::time_t time, std::tm& result) {
    return localtime_r(&time, &result) != nullptr;
}

namespace {

std::atomic<int> stopSignal{0};

void OnStopSignal(int signal) {
    stopSignal.store(signal, std::memory_order_relaxed);
}

}  // namespace

// SA_RESTART: the console writer's thread may take the signal in the middle of a write.
void CatchStopRequests() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested() {
    return stopSignal.load(std::memory_order_relaxed) != 0;
}

void EndAsStopRequested() {
    const int signal = StopRequested() ? stopSignal.load() : SIGTERM;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    _exit(128 + signal);
}

SOCKET StandardInputHandle() {
    return STDIN_FILENO;
}

int ReadHandle(SOCKET handle, char* data, int size) {
    return static_cast<int>(read(handle, data, static_cast<std::size_t>(size)));
}

}  // namespace hNet
