#include "ConsoleInput.h"

#include <io.h>

namespace {

// Copies standard input into one end of a loopback connection until input ends.
DWORD WINAPI PumpStandardInput(LPVOID writerHandle) {
    const auto writer = reinterpret_cast<SOCKET>(writerHandle);
    char buffer[4096];
    DWORD count = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof(buffer), &count, nullptr) &&
           count > 0) {
        for (DWORD sent = 0; sent < count;) {
            const int taken = send(writer, buffer + sent, static_cast<int>(count - sent), 0);
            if (taken <= 0) {
                closesocket(writer);
                return 0;
            }
            sent += static_cast<DWORD>(taken);
        }
    }
    shutdown(writer, SD_SEND);
    closesocket(writer);
    return 0;
}

// Both ends of a fresh loopback connection; INVALID_SOCKET in both on failure.
void LoopbackPair(SOCKET& reader, SOCKET& writer) {
    reader = writer = INVALID_SOCKET;
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(address);
    if (listener != INVALID_SOCKET &&
        bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0 &&
        listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        writer = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (connect(writer, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            reader = accept(listener, nullptr, nullptr);
        }
    }
    closesocket(listener);
}

}  // namespace

// WSAPoll waits on sockets only, so a thread feeds standard input into a loopback
// connection whose other end is polled like any socket.
SOCKET StandardInputHandle() {
    static const SOCKET reader = [] {
        SOCKET readEnd = INVALID_SOCKET;
        SOCKET writeEnd = INVALID_SOCKET;
        LoopbackPair(readEnd, writeEnd);
        const HANDLE pump = readEnd == INVALID_SOCKET
                                ? nullptr
                                : CreateThread(nullptr, 0, PumpStandardInput,
                                               reinterpret_cast<LPVOID>(writeEnd), 0, nullptr);
        if (pump == nullptr) {
            closesocket(writeEnd);
        } else {
            CloseHandle(pump);
        }
        return readEnd;
    }();
    return reader;
}

bool StandardInputIsTerminal() {
    return _isatty(0) != 0;
}

int ReadHandle(SOCKET handle, char* data, int size) {
    return recv(handle, data, size, 0);
}
