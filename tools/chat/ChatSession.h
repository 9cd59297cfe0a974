#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <string_view>
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

    // Asks the server for the name. Lines go with the last name the server took, and are
    // read only once it has answered; a name asked for while disconnected, or while the
    // server has yet to answer an earlier one, is asked for next.
    void SetName(std::string newName);
    // From now on a lost connection is made again to host:port, after 1 s and then up to
    // 8 s between tries, instead of ending the session; the name the server took is sent
    // again.
    void ReconnectTo(std::string host, std::uint16_t port);
    // Waits at most timeoutMs for input or for the server, then handles all that came.
    void Turn(int timeoutMs);
    bool Finished() const { return exitStatus.has_value(); }
    // 0 after /quit or the end of input, 1 when the connection was lost (and not made again).
    int ExitStatus() const { return exitStatus.value_or(0); }

  private:
    using Clock = std::chrono::steady_clock;

    // An arrival or departure notice, kept back a moment in case the list that follows
    // tells who it was.
    struct HeldNotice {
        std::string text;
        bool departure = false;
        Clock::time_point until;
    };

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
    void AskName(std::string wanted);
    void NameAnswered();
    void AskNextName();
    void ShowPacket(hNet::Packet& packet);
    void TakeChatMessage(const std::string& text);
    void NameRefused(std::string_view reason);
    void ShowHeldNotice();
    void TakeUserList(const std::string& body);
    void ShowFirstList();
    void ShowUsers();
    void Finish(int status);

    hNet::FramedClient& client;
    ChatConsole& console;

    std::string name;                      // as the server last took it
    std::optional<std::string> askedName;  // sent, and not answered yet
    std::optional<std::string> nextName;   // to ask for once the server can answer it
    std::optional<UserNames> userList;     // as last received on this connection
    // The connection's first list waits while a name is asked for, to show with it.
    bool listShown = false;
    // Whether the server announced a departure since that list came.
    bool departureAnnounced = false;
    std::optional<HeldNotice> heldNotice;
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
