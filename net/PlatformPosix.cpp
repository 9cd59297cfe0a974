#include <cerrno>
#include <csignal>
#include <cstring>

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

std::string LastSocketErrorText() {
    return std::strerror(errno);
}

bool ToLocalTime(std::time_t time, std::tm& result) {
    return localtime_r(&time, &result) != nullptr;
}

}  // namespace hNet
