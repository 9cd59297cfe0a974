#pragma once
// The seam between the networking layer and the operating system. Everything above
// this header speaks the Windows Sockets vocabulary; on POSIX the few names it uses
// are provided here, so no other file needs to know which system it runs on.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

namespace hNet {

// NetworkRuntime::Initialize is this with WSAStartup; tests hand in a stand-in for it.
bool StartWindowsSockets(int(WSAAPI* startup)(WORD version, LPWSADATA data));

// One piece of a gathered send, laid out as WSABUF (size first), so that an array of them
// goes to WSASend as it is. The bytes stay where they are until the call returns.
struct IoSlice {
    ULONG size;
    const char* data;
};

}  // namespace hNet
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

using SOCKET = int;
using BOOL = int;
using WSAPOLLFD = pollfd;

inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int SD_SEND = SHUT_WR;

int closesocket(SOCKET handle);
int ioctlsocket(SOCKET handle, unsigned long command, unsigned long* argument);
int WSAPoll(WSAPOLLFD* fds, unsigned long count, int timeoutMs);
// The error of the last failed socket call. Would-block and interrupted calls both
// come back as WSAEWOULDBLOCK: neither moved any data, and both are retried later.
int WSAGetLastError();

namespace hNet {

// One piece of a gathered send, laid out as iovec, so that an array of them goes to
// sendmsg as it is. The bytes stay where they are until the call returns.
struct IoSlice {
    const char* data;
    std::size_t size;
};

}  // namespace hNet
#endif

namespace hNet {

// The most slices one gathered send takes; slices past it are not sent.
inline constexpr std::size_t MaxIoSlices = 64;

// A slice of the bytes, whatever order the platform keeps its two fields in.
inline IoSlice SliceOf(const char* data, std::size_t size) {
    IoSlice slice{};
    slice.data = data;
    slice.size = static_cast<decltype(slice.size)>(size);
    return slice;
}

// Sends the slices, in order, as one stretch of the stream with one system call. The
// number of bytes the socket took, which may end inside any slice, or SOCKET_ERROR.
long SendGather(SOCKET handle, const IoSlice* slices, std::size_t count);

// How long a peer whose network vanished (no FIN, no RST) may go unnoticed: probes start
// after `idleSeconds` of silence and repeat every `intervalSeconds`, and the connection
// breaks after `probes` unanswered ones, or once sent data has waited
// `unacknowledgedSeconds` for an acknowledgement.
struct PeerTimeouts {
    int idleSeconds;
    int intervalSeconds;
    int probes;
    int unacknowledgedSeconds;
};

// Sets the timeouts on a listening socket, whose accepted sockets take them over. Those the
// system refuses are left at its own, longer, ones.
void SetPeerTimeouts(SOCKET handle, const PeerTimeouts& timeouts);

// Lets a listening socket bind its port while connections of an earlier run of the
// server still linger in TIME_WAIT, without letting two servers share one port.
bool AllowPortReuse(SOCKET handle);

// Text of the last failed socket call's error, for people to read.
std::string LastSocketErrorText();

// True when the last failed socket call ran out of descriptors, the process's or the
// system's.
bool LastErrorIsDescriptorExhaustion();

// Raises the process's open-file limit to its hard limit, where the platform has one;
// on failure the limit stays as it was.
void RaiseOpenFileLimit();

// Milliseconds of a clock that never goes back, from an arbitrary start.
std::int64_t MonotonicMilliseconds();

// Broken-down local time of the given calendar time; false when it cannot be converted.
bool ToLocalTime(std::time_t time, std::tm& result);

// From here on a request to stop (SIGINT and SIGTERM; Ctrl+C, Ctrl+Break and closing the
// console window on Windows) only sets a flag, so that the program can finish its
// business before it ends.
void CatchStopRequests();
bool StopRequested();
// Ends the process as the caught request would have ended it.
[[noreturn]] void EndAsStopRequested();

}  // namespace hNet
