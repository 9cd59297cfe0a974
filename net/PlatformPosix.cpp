#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>

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

static_assert(sizeof(IoSlice) == sizeof(iovec) &&
              offsetof(IoSlice, data) == offsetof(iovec, iov_base) &&
              offsetof(IoSlice, size) == offsetof(iovec, iov_len));

long SendGather(SOCKET handle, const IoSlice* slices, std::size_t count) {
    msghdr message{};
    // sendmsg only reads the array.
    message.msg_iov = const_cast<iovec*>(reinterpret_cast<const iovec*>(slices));
    message.msg_iovlen = std::min(count, MaxIoSlices);
    // SIGPIPE is already ignored process-wide; this keeps a peer that vanished from
    // ending a program that never started the runtime.
    return static_cast<long>(sendmsg(handle, &message, MSG_NOSIGNAL));
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

}  // namespace hNet
