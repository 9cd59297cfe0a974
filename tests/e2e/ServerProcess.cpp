#include "ServerProcess.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <iterator>
#include <sstream>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// HALVEX_SERVER_COMMAND, when set, runs another build of the server, for instance the
// Windows one under Wine: its words, separated by blanks, come before the arguments.
std::vector<std::string> ServerCommand() {
    const char* command = std::getenv("HALVEX_SERVER_COMMAND");
    if (command == nullptr || *command == '\0') {
        return {HALVEX_SERVER_PATH};
    }
    std::istringstream text(command);
    return {std::istream_iterator<std::string>(text), std::istream_iterator<std::string>()};
}

// A Windows console program ends its lines with CR LF; the tests compare plain line feeds.
void AppendOutput(std::string& to, const char* data, std::size_t count) {
    const std::size_t from = to.empty() ? 0 : to.size() - 1;
    to.append(data, count);
    for (std::size_t at = to.find("\r\n", from); at != std::string::npos;
         at = to.find("\r\n", at)) {
        to.erase(at, 1);
    }
}

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

PortLock::PortLock() : fd(open("/tmp/halvex-port6112.lock", O_CREAT | O_RDWR | O_CLOEXEC, 0666)) {
    if (fd >= 0) {
        flock(fd, LOCK_EX);
    }
}

PortLock::~PortLock() {
    if (fd >= 0) {
        close(fd);
    }
}

ServerProcess::ServerProcess(const std::vector<std::string>& arguments) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        std::abort();
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> words = ServerCommand();
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& word : words) {
        argv.push_back(word.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    input = in[1];
    outputFd = out[0];
    errorFd = err[0];
}

ServerProcess::~ServerProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int fd : {input, outputFd, errorFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

bool ServerProcess::Drain(int timeoutMs) {
    pollfd fds[2] = {{outputFd, POLLIN, 0}, {errorFd, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) <= 0) {
        return false;
    }
    char buffer[4096];
    bool read = false;
    for (auto& [fd, events, revents] : fds) {
        if (revents != 0) {
            const ssize_t count = ::read(fd, buffer, sizeof(buffer));
            if (count > 0) {
                AppendOutput(fd == outputFd ? output : errors, buffer,
                             static_cast<std::size_t>(count));
                read = true;
            }
        }
    }
    return read;
}

bool ServerProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (output.find(text) == std::string::npos && Clock::now() < deadline) {
        Drain(MillisecondsUntil(deadline));
    }
    return output.find(text) != std::string::npos;
}

void ServerProcess::CloseInput() {
    close(input);
    input = -1;
}

void ServerProcess::Terminate() {
    kill(pid, SIGTERM);
}

int ServerProcess::WaitForExit(int timeoutMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int status = 0;
    while (Clock::now() < deadline) {
        Drain(10);
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            // The pipes may still hold much of what the process wrote before it ended.
            for (int chunk = 0; chunk < 100000 && Drain(0); ++chunk) {
            }
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    return -1;
}
