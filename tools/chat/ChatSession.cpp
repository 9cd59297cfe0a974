#include "ChatSession.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "ConsoleText.h"
#include "PacketException.h"

namespace {

using hNet::Packet;
using hNet::PacketType;

constexpr int FlushTimeoutMs = 2000;
constexpr auto LingerTime = std::chrono::seconds(2);

constexpr const char* UsageHead =
    "usage: halvex-chat [HOST [PORT]] [--name NAME]\n"
    "Talks to a Halvex chat server (default 127.0.0.1, port 6112).\n"
    "Every line you type is sent to everyone, as \"NAME: text\" once you have a name;\n"
    "blank lines are not sent. Standard input may be a file or a pipe.\n";
constexpr const char* UsageTail =
    "Exit status: 0 after /quit or the end of input, 1 when the server cannot be reached\n"
    "or closes the connection, 2 on a bad command line.\n";
constexpr const char* ChatCommands =
    "  /name NEW   set or change your name\n"
    "  /users      show the named users online, as last announced by the server\n"
    "  /quit       leave (so does the end of input, Ctrl-D at a terminal)\n"
    "  /help       show these commands";

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
    client.Queue(TextPacket(PacketType::SetUserName, newName));
    name = std::move(newName);
}

void ChatSession::Turn(int timeoutMs) {
    if (Finished()) {
        return;
    }
    std::array<WSAPOLLFD, 2> waits{};
    waits[0].fd = client.Handle();
    waits[0].events = client.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
    // New lines are read only once the server has taken the earlier ones.
    const bool wantInput = inputOpen && !client.HasUnsent();
    waits[1].fd = console.InputHandle();
    waits[1].events = POLLRDNORM;
    if (!inputOpen) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(lingerDeadline - Clock::now());
        timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, timeoutMs));
    }
    WSAPoll(waits.data(), wantInput ? 2 : 1, timeoutMs);

    if (waits[0].revents & POLLWRNORM) {
        client.Flush(0);
    }
    while (auto packet = client.Poll()) {
        ShowPacket(*packet);
    }
    if (!client.IsOpen()) {
        console.Warn("disconnected: " + client.CloseReason() + ".");
        Finish(1);
        return;
    }
    if (wantInput && waits[1].revents != 0 &&
        !console.ReadInput([this](std::string line) { return HandleLine(std::move(line)); })) {
        EndOfInput();
    }
    if (!inputOpen && (!awaitedEcho || Clock::now() >= lingerDeadline)) {
        Finish(0);
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
    try {
        switch (packet.GetPacketType()) {
            case PacketType::ChatMessage: {
                std::string text;
                packet >> text;
                if (awaitedEcho == text) {
                    awaitedEcho.reset();
                }
                departureAnnounced = departureAnnounced || EndsWith(text, DepartureNotice);
                console.Show(CaretNotation(text));
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
        console.Show("* " + CaretNotation(*event));
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
        shown += (shown.empty() ? "" : ", ") + CaretNotation(user);
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
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--help" || args[i] == "-h") {
            out << Usage();
            return 0;
        }
        if (args[i] == "--name" && i + 1 < args.size()) {
            name = args[++i];
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
    if (name) {
        session.SetName(*name);
    }
    while (!session.Finished()) {
        session.Turn(1000);
    }
    client.Close();
    return session.ExitStatus();
}
