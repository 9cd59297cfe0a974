#include "ChatSession.h"

#include <algorithm>
#include <array>
#include <charconv>

#include "PacketException.h"

namespace {

using hNet::Packet;
using hNet::PacketType;

constexpr int FlushTimeoutMs = 2000;
constexpr auto LingerTime = std::chrono::seconds(2);
constexpr std::size_t InputChunkBytes = 4096;

constexpr const char* Usage =
    "usage: halvex-chat [HOST [PORT]] [--name NAME]\n"
    "Talks to a Halvex chat server (default 127.0.0.1, port 6112).\n"
    "Every line you type is sent to everyone, as \"NAME: text\" once you have a name;\n"
    "empty lines are not sent. Standard input may be a file or a pipe.\n"
    "  /name NEW   set or change your name\n"
    "  /users      show the named users online, as last announced by the server\n"
    "  /quit       leave (so does the end of input)\n"
    "  /help       show this\n"
    "Exit status: 0 after /quit or the end of input, 1 when the server cannot be reached\n"
    "or closes the connection, 2 on a bad command line.\n";

// Control characters as ^X, so that no text from others can steer the terminal.
std::string Visible(const std::string& text) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            shown += '^';
            shown += static_cast<char>(byte ^ 0x40);
        } else {
            shown += c;
        }
    }
    return shown;
}

std::shared_ptr<Packet> TextPacket(PacketType type, const std::string& text) {
    auto packet = std::make_shared<Packet>(type);
    *packet << text;
    return packet;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

ChatSession::ChatSession(hNet::FramedClient& client, SOCKET input, std::ostream& out,
                         std::ostream& err)
    : client(client), input(input), out(out), err(err) {}

void ChatSession::SetName(std::string newName) {
    if (newName.size() > hNet::MaxTextBytes) {
        err << "That name is too long: at most " << hNet::MaxTextBytes << " bytes." << std::endl;
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
    waits[1].fd = input;
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
        err << "Disconnected: " << client.CloseReason() << "." << std::endl;
        Finish(1);
        return;
    }
    if (wantInput && waits[1].revents != 0) {
        ReadInput();
    }
    if (!inputOpen && (!awaitedEcho || Clock::now() >= lingerDeadline)) {
        Finish(0);
    }
}

void ChatSession::ReadInput() {
    std::array<char, InputChunkBytes> chunk{};
    const int count = hNet::ReadHandle(input, chunk.data(), static_cast<int>(chunk.size()));
    if (count <= 0) {
        EndOfInput();
        return;
    }
    for (int i = 0; i < count && !Finished(); ++i) {
        const char c = chunk[static_cast<std::size_t>(i)];
        if (c == '\n') {
            if (!skippingLongLine) {
                HandleLine(std::move(partialLine));
            }
            partialLine.clear();
            skippingLongLine = false;
        } else if (!skippingLongLine) {
            partialLine += c;
            // Bounds the line buffer: no line this long can be sent anyway.
            if (partialLine.size() > hNet::MaxTextBytes + 1) {
                err << "Line too long: at most " << hNet::MaxTextBytes
                    << " bytes fit one message; not sent." << std::endl;
                partialLine.clear();
                skippingLongLine = true;
            }
        }
    }
}

void ChatSession::EndOfInput() {
    if (!partialLine.empty() && !skippingLongLine) {
        HandleLine(std::move(partialLine));
    }
    partialLine.clear();
    if (Finished()) {
        return;
    }
    inputOpen = false;
    lingerDeadline = Clock::now() + LingerTime;
    client.Flush(FlushTimeoutMs);
}

void ChatSession::HandleLine(std::string line) {
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line == "/quit") {
        client.Flush(FlushTimeoutMs);
        Finish(0);
    } else if (line == "/users") {
        ShowUsers();
    } else if (line == "/help") {
        out << Usage;
    } else if (StartsWith(line, "/name ") && line.size() > 6) {
        SetName(line.substr(6));
    } else if (line == "/name" || line == "/name ") {
        err << "Usage: /name NEW" << std::endl;
    } else if (StartsWith(line, "/")) {
        err << "Unknown command " << Visible(line) << "; /help lists the commands." << std::endl;
    } else if (!line.empty()) {
        SendChat(line);
    }
}

void ChatSession::SendChat(const std::string& line) {
    const std::string text = name.empty() ? line : name + ": " + line;
    if (text.size() > hNet::MaxTextBytes) {
        err << "Line too long: at most " << hNet::MaxTextBytes
            << " bytes fit one message, name included; not sent." << std::endl;
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
                out << Visible(text) << std::endl;
                return;
            }
            case PacketType::UserList: {
                std::string names;
                packet >> names;
                userList = std::move(names);
                ShowUsers();
                return;
            }
            case PacketType::UserConnected:
                out << "* A user joined." << std::endl;
                return;
            default:
                err << "Ignored a message of unknown type "
                    << static_cast<unsigned>(packet.GetPacketType()) << " from the server."
                    << std::endl;
        }
    } catch (const hNet::PacketException&) {
        err << "Ignored a malformed message from the server." << std::endl;
    }
}

void ChatSession::ShowUsers() {
    if (!userList) {
        out << "No user list yet: the server sends it when someone sets a name." << std::endl;
        return;
    }
    std::string shown;
    std::size_t start = 0;
    for (auto end = userList->find('\n'); end != std::string::npos;
         end = userList->find('\n', start)) {
        shown += (start == 0 ? "" : ", ") + Visible(userList->substr(start, end - start));
        start = end + 1;
    }
    out << "Online: " << (userList->empty() ? "nobody has a name" : shown) << std::endl;
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
            out << Usage;
            return 0;
        }
        if (args[i] == "--name" && i + 1 < args.size()) {
            name = args[++i];
        } else if (StartsWith(args[i], "-") || positional.size() == 2) {
            err << "halvex-chat: unexpected argument " << args[i] << "\n" << Usage;
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
            err << "halvex-chat: bad port " << text << "\n" << Usage;
            return 2;
        }
    }

    hNet::FramedClient client;
    std::string reason;
    if (!client.Connect(host, static_cast<std::uint16_t>(port), reason)) {
        err << "cannot connect to " << host << ":" << port << ": " << reason << std::endl;
        return 1;
    }
    err << "Connected to " << host << ":" << port << "; /help lists the commands." << std::endl;
    ChatSession session(client, input, out, err);
    if (name) {
        session.SetName(*name);
    }
    while (!session.Finished()) {
        session.Turn(1000);
    }
    client.Close();
    return session.ExitStatus();
}
