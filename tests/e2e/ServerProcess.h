#pragma once

#include <string>
#include <vector>

#include <sys/types.h>

// A machine-wide lock on the server's fixed ports, so that runs from several checkouts
// on one machine take turns with it.
class PortLock {
  public:
    PortLock();
    ~PortLock();
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

  private:
    int fd;
};

// The real server binary run as a child process with its three standard streams piped.
class ServerProcess {
  public:
    explicit ServerProcess(const std::vector<std::string>& arguments = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Reads standard output until it contains `text` or timeoutMs pass; true if it does.
    bool WaitForOutput(const std::string& text, int timeoutMs);
    // Closes standard input, so a read from it meets end of file.
    void CloseInput();
    // Asks the process to stop, as a service manager or kill(1) does (SIGTERM).
    void Terminate();
    // Waits for the process to end on its own; its exit status, or -1 on time-out.
    int WaitForExit(int timeoutMs);

    const std::string& Output() const { return output; }
    const std::string& Errors() const { return errors; }

  private:
    // False when nothing came within timeoutMs.
    bool Drain(int timeoutMs);

    pid_t pid = -1;
    int input = -1;
    int outputFd = -1;
    int errorFd = -1;
    std::string output;
    std::string errors;
};
