#include <cstdint>
#include <vector>

#include <sys/epoll.h>
#include <unistd.h>

#include "PollSet.h"

namespace hNet {

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

    // The caller's array as one Poll fills it in.
    struct Answer {
        WSAPOLLFD* fds;
        unsigned long count;
        int reported = 0;
        bool relearnt = false;  // positions are learnt again at most once a call
    };

    int kernelSet = -1;
    std::size_t kernelCount = 0;
    std::vector<Watched> byHandle;
    std::vector<SOCKET> probes;
    std::vector<pollfd> probeFds;
    std::vector<epoll_event> ready;

    Watched& Of(SOCKET handle) { return byHandle[static_cast<std::size_t>(handle)]; }

    bool NeedsProbe(const Watched& watched) const {
        return watched.known && (watched.unwatchable || ((watched.wanted & POLLWRNORM) != 0 &&
                                                         (watched.registered & POLLWRNORM) == 0));
    }

    void UpdateProbe(SOCKET handle) {
        Watched& watched = Of(handle);
        const bool needed = NeedsProbe(watched);
        if (needed && watched.probeSlot < 0) {
            watched.probeSlot = static_cast<int>(probes.size());
            probes.push_back(handle);
        } else if (!needed && watched.probeSlot >= 0) {
            const SOCKET moved = probes.back();
            probes[static_cast<std::size_t>(watched.probeSlot)] = moved;
            Of(moved).probeSlot = watched.probeSlot;
            probes.pop_back();
            watched.probeSlot = -1;
        }
    }

    // Read interest goes to the kernel at once; write interest only once a probe found
    // the socket full, and it leaves as soon as it is no longer wanted.
    void Register(SOCKET handle, short events) {
        Watched& watched = Of(handle);
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

    // When at least half the handles are to be asked about writing anyway, as in a turn
    // that relays to everyone, one poll() over the whole array costs less than a poll()
    // over those and an epoll_wait for the rest.
    bool WholeArrayIsCheaper(unsigned long count) const { return 2 * probes.size() >= count; }

    // Where the handle stands in the array; the positions are learnt again after closes
    // have moved entries down. -1 when it is not there.
    long Find(Answer& answer, SOCKET handle) {
        const Watched& watched = Of(handle);
        const auto standsThere = [&] {
            return watched.position < answer.count && answer.fds[watched.position].fd == handle;
        };
        if (standsThere()) {
            return static_cast<long>(watched.position);
        }
        if (answer.relearnt) {
            return -1;
        }
        for (unsigned long i = 0; i < answer.count; ++i) {
            const SOCKET each = answer.fds[i].fd;
            if (each >= 0 && static_cast<std::size_t>(each) < byHandle.size()) {
                Of(each).position = i;
            }
        }
        answer.relearnt = true;
        return standsThere() ? static_cast<long>(watched.position) : -1;
    }

    void Report(Answer& answer, SOCKET handle, short revents) {
        const long position = Find(answer, handle);
        if (position < 0 || revents == 0) {
            return;
        }
        short& entry = answer.fds[position].revents;
        answer.reported += entry == 0 ? 1 : 0;
        entry = static_cast<short>(entry | revents);
    }

    // One poll() over the handles the kernel does not answer for.
    void PollProbes(Answer& answer, int timeoutMs) {
        probeFds.resize(probes.size());
        for (std::size_t i = 0; i < probes.size(); ++i) {
            probeFds[i] = pollfd{probes[i], Of(probes[i]).wanted, 0};
        }
        if (poll(probeFds.data(), probeFds.size(), timeoutMs) > 0) {
            for (const pollfd& probe : probeFds) {
                Report(answer, probe.fd, probe.revents);
            }
        }
    }

    // A socket too full to write is left to the kernel until it drains.
    void HandFullSocketsToKernel() {
        for (const pollfd& probe : probeFds) {
            const Watched& watched = Of(probe.fd);
            if (!watched.unwatchable && (probe.revents & POLLWRNORM) == 0) {
                Register(probe.fd, watched.wanted);
                UpdateProbe(probe.fd);
            }
        }
    }

    // The epoll_wait result: the number of ready handles, or -1.
    int WaitInKernel(Answer& answer, int timeoutMs) {
        const int events =
            epoll_wait(kernelSet, ready.data(), static_cast<int>(ready.size()), timeoutMs);
        for (int i = 0; i < events; ++i) {
            const epoll_event& event = ready[static_cast<std::size_t>(i)];
            const auto wanted = static_cast<std::uint32_t>(Of(event.data.fd).wanted);
            Report(answer, event.data.fd,
                   static_cast<short>(event.events & (wanted | POLLERR | POLLHUP)));
        }
        return events;
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
    State::Watched& watched = set.Of(handle);
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
        !set.Of(handle).known) {
        return;
    }
    State::Watched& watched = set.Of(handle);
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
    if (set.WholeArrayIsCheaper(count)) {
        return poll(fds, static_cast<nfds_t>(count), timeoutMs);
    }
    State::Answer answer{fds, count};
    // Without a kernel set to wait in, the probes' poll() is the turn's wait.
    const bool kernelWaits = set.kernelCount > 0;
    if (!set.probes.empty() || !kernelWaits) {
        set.PollProbes(answer, kernelWaits ? 0 : timeoutMs);
        set.HandFullSocketsToKernel();
    }
    if (!kernelWaits) {
        return answer.reported;
    }
    const int events = set.WaitInKernel(answer, answer.reported > 0 ? 0 : timeoutMs);
    return events < 0 && answer.reported == 0 ? -1 : answer.reported;
}

}  // namespace hNet
