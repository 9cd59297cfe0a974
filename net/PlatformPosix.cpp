#include <algorithm>
#include <cerrno>
#include <csignal>
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

bool ToLocalTime(std::time_t time, std::tm& result) {
    return localtime_r(&time, &result) != nullptr;
}

SOCKET StandardInputHandle() {
    return STDIN_FILENO;
}

int ReadHandle(SOCKET handle, char* data, int size) {
    return static_cast<int>(read(handle, data, static_cast<std::size_t>(size)));
}

}  // namespace hNet
