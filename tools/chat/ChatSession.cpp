#include "ChatSession.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "ConsoleText.h"
#include "PacketException.h"
#include "VisibleText.h"

namespace {

using hNet::Packet;
using hNet::PacketType;

constexpr int FlushTimeoutMs = 2000;
constexpr auto LingerTime = std::chrono::seconds(2);
// Between tries to reconnect: the first wait, and the bound of its doubling. Each wait is
// drawn from 75% to 125% of that, so that clients do not all come back at once.
constexpr std::chrono::milliseconds FirstRetry(1000);
constexpr std::chrono::milliseconds LastRetry(8000);

constexpr const char* UsageHead =
    "usage: halvex-chat [HOST [PORT]] [--name NAME] [--no-reconnect]\n"
    "Talks to a Halvex chat server (default 127.0.0.1, port 6112).\n"
    "Every line you type is sent to everyone, as \"NAME: text\" once you have a name;\n"
    "blank lines are not sent. Standard input may be a file or a pipe.\n"
    "At a terminal a lost connection is made again by itself (every 1 to 8 s), unless\n"
    "--no-reconnect is given.\n";
constexpr const char* UsageTail =
    "Exit status: 0 after /quit or the end of input, 1 when the server cannot be reached\n"
    "or closes the connection, 2 on a bad command line.\n";
constexpr const char* ChatCommands =
    "  /name NEW   set or change your name\n"
    "  /users      show the named users online, as last announced by the server\n"
    "  /quit       leave (so do the end of input, Ctrl-D, and Ctrl-C on an empty line)\n"
    "  /help       show these commands";

constexpr const char* NotSent = "not connected: the line was not sent.";

std::string Usage() {
    return std::string(UsageHead) + ChatCommands + "\n" + UsageTail;
}

// The server's notice that someone left ends so, after its time stamp.
constexpr const char* DepartureNotice = "[SERVER]: A user disconnected.";

std::shared_ptr<Packet> TextPacket(PacketType type, const std::string& text) {
    auto packet = std::make_shared<Packet>(type);
    *packet << text;
    return packet;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool IsBlank(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

ChatSession::ChatSession(hNet::FramedClient& client, ChatConsole& console)
    : client(client), console(console) {}

void ChatSession::SetName(std::string newName) {
    if (newName.size() > hNet::MaxTextBytes) {
        console.Warn("that name is too long: at most " + std::to_string(hNet::MaxTextBytes) +
                     " bytes.");
        return;
    }
    // While disconnected the name waits for the next connection, which sends it.
    if (client.IsOpen()) {
        client.Queue(TextPacket(PacketType::SetUserName, newName));
    }
    name = std::move(newName);
}

void ChatSession::ReconnectTo(std::string host, std::uint16_t port) {
    reconnection = Reconnection{std::move(host), port, FirstRetry, {},
                                std::minstd_rand(std::random_device{}())};
}

void ChatSession::Turn(int timeoutMs) {
    if (Finished()) {
        return;
    }
    console.Refresh();
    const bool connected = client.IsOpen();
    if (!connected && !reconnection) {
        ConnectionLost();
        return;
    }
    std::array<WSAPOLLFD, 2> waits{};
    std::size_t count = 0;
    if (connected) {
        waits[count].fd = client.Handle();
        waits[count++].events = client.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
    }
    // New lines are read only once the server has taken the earlier ones.
    const bool wantInput = inputOpen && !client.HasUnsent();
    WSAPOLLFD& input = waits[count];
    if (wantInput) {
        input.fd = console.InputHandle();
        input.events = POLLRDNORM;
        ++count;
    }
    const auto wait = [&](Clock::time_point until) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, timeoutMs));
    };
    if (!inputOpen) {
        wait(lingerDeadline);
    }
    if (!connected) {
        wait(reconnection->nextTry);
    }
    if (wantInput && console.InputPending()) {
        timeoutMs = 0;
    }
    WSAPoll(waits.data(), static_cast<unsigned long>(count), timeoutMs);

    if (connected) {
        if (waits[0].revents & POLLWRNORM) {
            client.Flush(0);
        }
        while (auto packet = client.Poll()) {
            ShowPacket(*packet);
        }
        if (!client.IsOpen()) {
            ConnectionLost();
        }
    } else if (Clock::now() >= reconnection->nextTry) {
        TryReconnect();
    }
    if (Finished()) {
        return;
    }
    if (wantInput && (input.revents != 0 || console.InputPending()) &&
        !console.ReadInput([this](std::string line) { return HandleLine(std::move(line)); })) {
        EndOfInput();
    }
    if (!inputOpen && (!awaitedEcho || !client.IsOpen() || Clock::now() >= lingerDeadline)) {
        Finish(0);
    }
}

// Ends the session, or with reconnection wanted, says so on one line and tries again.
void ChatSession::ConnectionLost() {
    if (!reconnection || !inputOpen) {
        console.Warn("disconnected: " + client.CloseReason() + ".");
        Finish(1);
        return;
    }
    console.Show("* disconnected: " + client.CloseReason() + "; reconnecting");
    awaitedEcho.reset();
    ScheduleRetry();
}

void ChatSession::ScheduleRetry() {
    Reconnection& again = *reconnection;
    std::uniform_real_distribution<double> share(0.75, 1.25);
    again.nextTry = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                       again.delay * share(again.jitter));
    again.delay = std::min<Clock::duration>(again.delay * 2, LastRetry);
}

// A try that fails waits for the next, silently: the one line already said it.
void ChatSession::TryReconnect() {
    std::string reason;
    if (!client.Connect(reconnection->host, reconnection->port, reason)) {
        ScheduleRetry();
        return;
    }
    console.Show("* reconnected");
    // The new connection's first list names everyone afresh.
    userList.reset();
    departureAnnounced = false;
    if (!name.empty()) {
        client.Queue(TextPacket(PacketType::SetUserName, name));
    }
}

void ChatSession::EndOfInput() {
    if (Finished()) {
        return;
    }
    inputOpen = false;
    lingerDeadline = Clock::now() + LingerTime;
    client.Flush(FlushTimeoutMs);
}

// False once the session has finished and wants no more lines.
bool ChatSession::HandleLine(std::string line) {
    if (Finished()) {
        return false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line == "/quit") {
        client.Flush(FlushTimeoutMs);
        Finish(0);
    } else if (line == "/users") {
        ShowUsers();
    } else if (line == "/help") {
        console.Show(ChatCommands);
    } else if (StartsWith(line, "/name ") && line.size() > 6) {
        SetName(line.substr(6));
    } else if (line == "/name" || line == "/name ") {
        console.Warn("usage: /name NEW");
    } else if (StartsWith(line, "/")) {
        console.Warn("unknown command " + CaretNotation(line) + "; /help lists the commands.");
    } else if (!IsBlank(line)) {
        SendChat(line);
    }
    return !Finished();
}

void ChatSession::SendChat(const std::string& line) {
    if (!client.IsOpen()) {
        console.Warn(NotSent);
        console.Retype(line);
        return;
    }
    const std::string text = name.empty() ? line : name + ": " + line;
    if (text.size() > hNet::MaxTextBytes) {
        console.Warn("line too long: at most " + std::to_string(hNet::MaxTextBytes) +
                     " bytes fit one message, name included; not sent.");
        return;
    }
    client.Queue(TextPacket(PacketType::ChatMessage, text));
    awaitedEcho = text;
}

void ChatSession::ShowPacket(Packet& packet) {
    if (reconnection) {
        reconnection->delay = FirstRetry;  // the server answers: this connection holds
    }
    try {
        switch (packet.GetPacketType()) {
            case PacketType::ChatMessage: {
                std::string text;
                packet >> text;
                if (awaitedEcho == text) {
                    awaitedEcho.reset();
                }
                departureAnnounced = departureAnnounced || EndsWith(text, DepartureNotice);
                console.Show(VisibleText(text));
                return;
            }
            case PacketType::UserList: {
                std::string names;
                packet >> names;
                TakeUserList(names);
                return;
            }
            case PacketType::UserConnected:
                // The server's notice just before it says as much, and names nobody either.
                return;
            default:
                console.Warn("ignored a message of unknown type " +
                             std::to_string(static_cast<unsigned>(packet.GetPacketType())) +
                             " from the server.");
        }
    } catch (const hNet::PacketException&) {
        console.Warn("ignored a malformed message from the server.");
    }
}

// A change that the lists show to be one person's is told as an event; anything else as
// the whole list.
void ChatSession::TakeUserList(const std::string& body) {
    UserNames names = ParseUserList(body);
    const auto event =
        userList ? DescribeUserListChange(*userList, names, departureAnnounced) : std::nullopt;
    userList = std::move(names);
    departureAnnounced = false;
    if (event) {
        console.Show("* " + VisibleText(*event));
    } else {
        ShowUsers();
    }
}

void ChatSession::ShowUsers() {
    if (!userList) {
        console.Show("No user list yet: the server sends it when someone sets a name.");
        return;
    }
    std::string shown;
    for (const std::string& user : *userList) {
        shown += (shown.empty() ? "" : ", ") + VisibleText(user);
    }
    console.Show("Online: " + (userList->empty() ? "nobody has a name" : shown));
}

void ChatSession::Finish(int status) {
    exitStatus = status;
}

int RunChatClient(const std::vector<std::string>& args, SOCKET input, std::ostream& out,
                  std::ostream& err) {
    std::vector<std::string> positional;
    std::optional<std::string> name;
    bool reconnect = true;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            out << Usage();
            return 0;
        }
        if (args[i] == "--name" && i + 1 < args.size()) {
            name = args[++i];
        } else if (args[i] == "--no-reconnect") {
            reconnect = false;
        } else if (StartsWith(args[i], "-") || positional.size() == 2) {
            err << "halvex-chat: unexpected argument " << args[i] << "\n" << Usage();
            return 2;
        } else {
            positional.push_back(args[i]);
        }
    }
    const std::string host = positional.empty() ? "127.0.0.1" : positional[0];
    unsigned port = 6112;
    if (positional.size() == 2) {
        const std::string& text = positional[1];
        const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), port);
        if (error != std::errc() || end != text.data() + text.size() || port == 0 || port > 65535) {
            err << "halvex-chat: bad port " << text << "\n" << Usage();
            return 2;
        }
    }

    hNet::FramedClient client;
    std::string reason;
    if (!client.Connect(host, static_cast<std::uint16_t>(port), reason)) {
        err << "halvex-chat: cannot connect to " << host << ":" << port << ": " << reason
            << std::endl;
        return 1;
    }
    err << "Connected to " << host << ":" << port << "; /help lists the commands." << std::endl;
    const auto console = OpenConsole(input, out, err);
    ChatSession session(client, *console);
    if (reconnect && console->IsTerminal()) {
        session.ReconnectTo(host, static_cast<std::uint16_t>(port));
    }
    if (name) {
        session.SetName(*name);
    }
    while (!session.Finished()) {
        session.Turn(1000);
    }
    client.Close();
    return session.ExitStatus();
}
