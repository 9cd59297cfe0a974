#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <iostream>

#include "NetworkRuntime.h"
#include "Platform.h"

// After the Windows Sockets headers, which it builds on.
#include <mstcpip.h>

namespace hNet {

namespace {

constexpr BYTE RequiredMajorVersion = 2;
constexpr BYTE RequiredMinorVersion = 2;
// IPPROTO_TCP options of Windows 10 and Vista that MinGW's headers do not name.
constexpr int TcpKeepCount = 16;
constexpr int TcpMaxRetransmitSeconds = 5;

}  // namespace

bool StartWindowsSockets(int(WSAAPI* startup)(WORD version, LPWSADATA data)) {
    WSADATA data{};
    if (startup(MAKEWORD(RequiredMajorVersion, RequiredMinorVersion), &data) != 0) {
        std::cerr << "Failed to load WinSock API." << std::endl;
        return false;
    }
    // The library stays started here; the caller's Shutdown balances it.
    if (LOBYTE(data.wVersion) != RequiredMajorVersion ||
        HIBYTE(data.wVersion) != RequiredMinorVersion) {
        std::cerr << "Failed to load WinSock API. Version is not equal to 2-2." << std::endl;
        return false;
    }
    return true;
}

bool NetworkRuntime::Initialize() {
    return StartWindowsSockets(WSAStartup);
}

void NetworkRuntime::Shutdown() {
    WSACleanup();
}

static_assert(sizeof(IoSlice) == sizeof(WSABUF) &&
              offsetof(IoSlice, size) == offsetof(WSABUF, len) &&
              offsetof(IoSlice, data) == offsetof(WSABUF, buf));

long SendGather(SOCKET handle, const IoSlice* slices, std::size_t count) {
    // WSASend only reads the array.
    const auto buffers = const_cast<WSABUF*>(reinterpret_cast<const WSABUF*>(slices));
    DWORD sent = 0;
    if (WSASend(handle, buffers, static_cast<DWORD>(std::min(count, MaxIoSlices)), &sent, 0,
                nullptr, nullptr) == SOCKET_ERROR) {
        return SOCKET_ERROR;
    }
    return static_cast<long>(sent);
}

// Windows without the probe count (before 10) sends 10 probes; Wine 8 knows neither the
// count nor the retransmission limit.
void SetPeerTimeouts(SOCKET handle, const PeerTimeouts& timeouts) {
    const auto set = [handle](int level, int name, DWORD value) {
        setsockopt(handle, level, name, reinterpret_cast<const char*>(&value), sizeof(value));
    };
    set(SOL_SOCKET, SO_KEEPALIVE, TRUE);
    tcp_keepalive values{1, static_cast<u_long>(timeouts.idleSeconds) * 1000,
                         static_cast<u_long>(timeouts.intervalSeconds) * 1000};
    DWORD returned = 0;
    WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned, nullptr,
             nullptr);
    set(IPPROTO_TCP, TcpKeepCount, static_cast<DWORD>(timeouts.probes));
    set(IPPROTO_TCP, TcpMaxRetransmitSeconds, static_cast<DWORD>(timeouts.unacknowledgedSeconds));
}

// Windows already lets a port be bound while earlier connections sit in TIME_WAIT.
// SO_REUSEADDR would go further and let a second server take over a port in use, so
// the port is claimed exclusively instead.
bool AllowPortReuse(SOCKET handle) {
    const BOOL on = TRUE;
    return setsockopt(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                      sizeof(on)) == 0;
}

std::string LastSocketErrorText() {
    const int error = WSAGetLastError();
    char text[512];
    DWORD length =
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                       static_cast<DWORD>(error), 0, text, sizeof(text), nullptr);
    // System messages end in a full stop and a line break; the text goes inside a line.
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    if (length == 0) {
        return "socket error " + std::to_string(error);
    }
    return std::string(text, length);
}

// Windows reports a process out of socket resources as out of buffer space at least as
// often as with too many open sockets.
bool LastErrorIsDescriptorExhaustion() {
    const int error = WSAGetLastError();
    return error == WSAEMFILE || error == WSAENOBUFS;
}

// Windows sets no per-process limit on sockets that a program could raise.
void RaiseOpenFileLimit() {}

std::int64_t MonotonicMilliseconds() {
    return static_cast<std::int64_t>(GetTickCount64());
}

bool ToLocalTime(std::time_t time, std::tm& result) {
    return localtime_s(&result, &time) == 0;
}

namespace {

std::atomic<bool> stopRequested{false};

// Runs on a thread of the system's. Returning would let the system end the process at
// once (for a closed window), so it waits for the main thread to end the process.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    stopRequested = true;
    Sleep(5000);
    return TRUE;
}

}  // namespace

void CatchStopRequests() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool StopRequested() {
    return stopRequested;
}

// Not ExitProcess: its clean-up would wait for the console's lock, which a writer stuck on
// a console in selection mode may hold.
void EndAsStopRequested() {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    std::abort();
}

}  // namespace hNet
