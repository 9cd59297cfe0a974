#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Endpoint.h"
#include "HttpAnswer.h"
#include "Platform.h"
#include "PollSet.h"
#include "Socket.h"
#include "WebFiles.h"

namespace hNet {

// The connections of the web port while their HTTP request is under way: each sends one
// request and gets one answer, the page's files or the upgrade to a WebSocket. Nobody
// here is in the chat. The requests have a poll set of their own, asked only while there
// are any, so that the chat's turns cost nothing more when nobody loads the page.
class WebRequests {
  public:
    // A request's head must have come within this of its connection, and its answer have
    // been taken within this of the head; otherwise the connection is closed.
    static constexpr std::int64_t DeadlineMs = 10 * 1000;
    // Requests under way at once, each holding at most MaxRequestHeadBytes; a connection
    // beyond that closes the request that came first.
    static constexpr std::size_t MaxUnderWay = 1024;

    // A connection whose upgrade was answered, for the chat to take over.
    struct Upgraded {
        Socket socket;
        // Where the browser is: the peer, or for a proxy on loopback the address it
        // forwarded.
        Endpoint endpoint;
    };

    WebRequests() = default;
    WebRequests(const WebRequests&) = delete;
    WebRequests& operator=(const WebRequests&) = delete;

    void Serve(const WebSite& site) { this->site = &site; }
    // A new connection on the web port.
    void Take(Socket socket, Endpoint endpoint, std::int64_t nowMs);
    // Reads, answers and closes whatever is ready, and closes whatever is late; appends the
    // upgraded connections to `upgraded`. Asks the system nothing when no request is under
    // way.
    void Turn(std::int64_t nowMs, std::vector<Upgraded>& upgraded);
    void CloseAll();
    std::size_t UnderWay() const { return requests.size(); }

  private:
    enum class Stage {
        Reading,    // the head is arriving
        Answering,  // the answer is being sent
        Lingering,  // answered and shut for sending: what still comes is read and dropped,
                    // so that closing cannot reset the connection before the answer is read
    };

    struct Request {
        Socket socket;
        Endpoint endpoint;
        Stage stage = Stage::Reading;
        std::int64_t deadlineMs = 0;
        std::string received;
        HttpAnswer answer;
        std::size_t answerSent = 0;
        Endpoint upgradedEndpoint;
    };

    // Each false when request k is to be closed; an upgraded one is handed over and gone.
    bool Read(std::size_t k, std::int64_t nowMs, std::vector<Upgraded>& upgraded);
    bool Answer(std::size_t k, HttpAnswer answer, std::int64_t nowMs,
                std::vector<Upgraded>& upgraded);
    bool Send(std::size_t k, std::int64_t nowMs, std::vector<Upgraded>& upgraded);
    bool Linger(Request& request);
    void SetInterest(std::size_t k, short events);
    void Remove(std::size_t k, bool close);

    const WebSite* site = nullptr;
    PollSet pollSet;
    std::vector<Request> requests;
    // Entry k for request k, and the copy a turn polls.
    std::vector<WSAPOLLFD> fds;
    std::vector<WSAPOLLFD> ready;
};

}  // namespace hNet
