#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "ChatConsole.h"
#include "FramedClient.h"
#include "Platform.h"
#include "UserListChange.h"

// One person's side of the chat: lines typed on the console become chat messages and
// commands; packets from the server become lines on it.
class ChatSession {
  public:
    ChatSession(hNet::FramedClient& client, ChatConsole& console);

    // Sends the name to the server and prefixes every later line with it.
    void SetName(std::string newName);
    // From now on a lost connection is made again to host:port, after 1 s and then up to
    // 8 s between tries, instead of ending the session; the name is sent again.
    void ReconnectTo(std::string host, std::uint16_t port);
    // Waits at most timeoutMs for input or for the server, then handles all that came.
    void Turn(int timeoutMs);
    bool Finished() const { return exitStatus.has_value(); }
    // 0 after /quit or the end of input, 1 when the connection was lost (and not made again).
    int ExitStatus() const { return exitStatus.value_or(0); }

  private:
    using Clock = std::chrono::steady_clock;

    // What a turn's wait found ready.
    struct Readiness {
        bool writable = false;
        bool input = false;
    };

    // Waits for the server and the console, at most timeoutMs and no longer than the
    // next thing due.
    Readiness Wait(bool connected, bool wantInput, int timeoutMs);

    void EndOfInput();
    void ConnectionLost();
    void ScheduleRetry();
    void TryReconnect();
    bool HandleLine(std::string line);
    void SendChat(const std::string& line);
    void ShowPacket(hNet::Packet& packet);
    void TakeUserList(const std::string& body);
    void ShowUsers();
    void Finish(int status);

    hNet::FramedClient& client;
    ChatConsole& console;

    std::string name;
    std::optional<UserNames> userList;  // as last received
    // Whether the server announced a departure since that list came.
    bool departureAnnounced = false;
    bool inputOpen = true;
    // After the end of input the session stays until the server has relayed the last
    // line back, so that piped sessions show what they said.
    std::optional<std::string> awaitedEcho;
    Clock::time_point lingerDeadline;
    std::optional<int> exitStatus;

    struct Reconnection {
        std::string host;
        std::uint16_t port = 0;
        Clock::duration delay;  // before the next try but one, doubling up to its bound
        Clock::time_point nextTry;
        std::minstd_rand jitter;
    };
    std::optional<Reconnection> reconnection;  // set while reconnecting is wanted
};

// The command line of the console client, without the program name. At a terminal a
// lost connection is made again unless --no-reconnect says otherwise.
int RunChatClient(const std::vector<std::string>& args, SOCKET input, std::ostream& out,
                  std::ostream& err);
