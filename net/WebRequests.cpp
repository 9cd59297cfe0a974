#include "WebRequests.h"

#include <iostream>
#include <optional>

#include "HttpRequest.h"

namespace hNet {

namespace {

// Where the blank line that ends a head could be, now that `received` grew from `before`
// bytes: a head is looked at only once its end has come, however slowly it drips in.
bool MayHoldEndOfHead(const std::string& received, std::size_t before) {
    const std::size_t from = before < 3 ? 0 : before - 3;
    const std::string_view fresh = std::string_view(received).substr(from);
    return fresh.find("\n\n") != std::string_view::npos ||
           fresh.find("\n\r\n") != std::string_view::npos;
}

// A proxy on this machine that terminates TLS says in X-Forwarded-For whom it serves;
// from anywhere else the header could say anything.
Endpoint ShownEndpoint(const Endpoint& peer, const HttpRequest& request) {
    if (IsLoopback(peer)) {
        if (const std::optional<std::string> forwarded = ForwardedAddress(request)) {
            const Endpoint shown(forwarded->c_str(), peer.GetPort());
            if (shown.GetIpVersion() != IpVersion::Unknown) {
                return shown;
            }
        }
    }
    return peer;
}

}  // namespace

void WebRequests::Take(Socket socket, Endpoint endpoint, std::int64_t nowMs) {
    // Requests stay in the order they came.
    if (requests.size() >= MaxUnderWay) {
        Remove(0, true);
    }
    Request request;
    request.socket = socket;
    request.endpoint = std::move(endpoint);
    request.deadlineMs = nowMs + DeadlineMs;
    requests.push_back(std::move(request));
    WSAPOLLFD entry{};
    entry.fd = socket.GetHandle();
    entry.events = POLLRDNORM;
    fds.push_back(entry);
    pollSet.Watch(entry.fd, entry.events);
}

void WebRequests::Turn(std::int64_t nowMs, std::vector<Upgraded>& upgraded) {
    if (requests.empty()) {
        return;
    }
    ready = fds;
    if (pollSet.Poll(ready.data(), static_cast<unsigned long>(ready.size()), 0) > 0) {
        for (std::size_t k = ready.size(); k-- > 0;) {
            const short revents = ready[k].revents;
            bool open = true;
            // Readable first: a client that sent its request and then ended its stream is
            // a hang-up to Windows, and still gets its answer.
            if (revents & POLLRDNORM) {
                open = requests[k].stage == Stage::Lingering ? Linger(requests[k])
                                                             : Read(k, nowMs, upgraded);
            } else if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
                open = false;
            } else if (revents & POLLWRNORM) {
                open = Send(k, nowMs, upgraded);
            }
            if (!open && k < requests.size() && requests[k].socket.GetHandle() == ready[k].fd) {
                Remove(k, true);
            }
        }
    }
    for (std::size_t k = requests.size(); k-- > 0;) {
        if (requests[k].deadlineMs <= nowMs) {
            Remove(k, true);
        }
    }
}

bool WebRequests::Read(std::size_t k, std::int64_t nowMs, std::vector<Upgraded>& upgraded) {
    Request& request = requests[k];
    const std::size_t before = request.received.size();
    request.received.resize(MaxRequestHeadBytes);
    const auto result = recv(request.socket.GetHandle(), request.received.data() + before,
                             static_cast<int>(MaxRequestHeadBytes - before), 0);
    request.received.resize(before + (result > 0 ? static_cast<std::size_t>(result) : 0));
    if (result == 0) {
        return false;
    }
    if (result < 0) {
        return WSAGetLastError() == WSAEWOULDBLOCK;
    }
    if (!MayHoldEndOfHead(request.received, before)) {
        if (request.received.size() < MaxRequestHeadBytes) {
            return true;
        }
        return Answer(k, AnswerHeadTooLarge(), nowMs, upgraded);
    }
    HttpRequest head;
    std::size_t headBytes = 0;
    switch (ParseRequestHead(request.received, head, headBytes)) {
        case HeadParse::Incomplete:
            return true;
        case HeadParse::TooLarge:
            return Answer(k, AnswerHeadTooLarge(), nowMs, upgraded);
        case HeadParse::Malformed:
            return Answer(k, AnswerMalformedHead(), nowMs, upgraded);
        case HeadParse::Complete:
            break;
    }
    HttpAnswer answer = AnswerRequest(head, *site);
    if (answer.upgrade) {
        // A client waits for the upgrade's answer before it sends a frame.
        if (request.received.size() > headBytes) {
            answer = AnswerMalformedHead();
            answer.refusal = "data came before the upgrade was answered";
        } else {
            request.upgradedEndpoint = ShownEndpoint(request.endpoint, head);
        }
    }
    if (!answer.refusal.empty()) {
        std::cout << Describe(request.endpoint)
                  << " - WebSocket upgrade refused: " << answer.refusal << "." << std::endl;
    }
    return Answer(k, std::move(answer), nowMs, upgraded);
}

bool WebRequests::Answer(std::size_t k, HttpAnswer answer, std::int64_t nowMs,
                         std::vector<Upgraded>& upgraded) {
    Request& request = requests[k];
    request.answer = std::move(answer);
    request.received = std::string();
    request.stage = Stage::Answering;
    request.deadlineMs = nowMs + DeadlineMs;
    SetInterest(k, POLLWRNORM);
    return Send(k, nowMs, upgraded);
}

bool WebRequests::Send(std::size_t k, std::int64_t nowMs, std::vector<Upgraded>& upgraded) {
    Request& request = requests[k];
    const std::string& head = request.answer.head;
    const std::string_view body = request.answer.body;
    IoSlice slices[2];
    std::size_t count = 0;
    if (request.answerSent < head.size()) {
        slices[count++] =
            SliceOf(head.data() + request.answerSent, head.size() - request.answerSent);
        slices[count++] = SliceOf(body.data(), body.size());
    } else {
        const std::size_t at = request.answerSent - head.size();
        slices[count++] = SliceOf(body.data() + at, body.size() - at);
    }
    const long sent = SendGather(request.socket.GetHandle(), slices, count);
    if (sent < 0) {
        return WSAGetLastError() == WSAEWOULDBLOCK;
    }
    request.answerSent += static_cast<std::size_t>(sent);
    // A socket that took less than all of it is full: the rest waits for it to drain.
    if (request.answerSent < head.size() + body.size()) {
        return true;
    }
    if (request.answer.upgrade) {
        upgraded.push_back({request.socket, request.upgradedEndpoint});
        Remove(k, false);
        return true;
    }
    shutdown(request.socket.GetHandle(), SD_SEND);
    request.stage = Stage::Lingering;
    request.deadlineMs = nowMs + DeadlineMs;
    SetInterest(k, POLLRDNORM);
    return true;
}

bool WebRequests::Linger(Request& request) {
    char dropped[4096];
    const auto result = recv(request.socket.GetHandle(), dropped, sizeof(dropped), 0);
    return result > 0 || (result < 0 && WSAGetLastError() == WSAEWOULDBLOCK);
}

void WebRequests::SetInterest(std::size_t k, short events) {
    fds[k].events = events;
    pollSet.Watch(fds[k].fd, events);
}

void WebRequests::Remove(std::size_t k, bool close) {
    pollSet.Forget(fds[k].fd);
    if (close) {
        requests[k].socket.Close();
    }
    requests.erase(requests.begin() + static_cast<std::ptrdiff_t>(k));
    fds.erase(fds.begin() + static_cast<std::ptrdiff_t>(k));
}

void WebRequests::CloseAll() {
    while (!requests.empty()) {
        Remove(requests.size() - 1, true);
    }
}

}  // namespace hNet
