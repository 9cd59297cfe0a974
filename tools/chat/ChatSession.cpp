#include "ChatSession.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>

#include "CaretNotation.h"
#include "HalvexVersion.h"
#include "NoticeForm.h"
#include "PacketException.h"
#include "VisibleText.h"
#include "WireFormat.h"

namespace {

using hNet::Packet;
using hNet::PacketType;

constexpr int FlushTimeoutMs = 2000;
constexpr auto LingerTime = std::chrono::seconds(2);
// Between tries to reconnect: the first wait, and the bound of its doubling. Each wait is
// drawn from 75% to 125% of that, so that clients do not all come back at once.
constexpr std::chrono::milliseconds FirstRetry(1000);
constexpr std::chrono::milliseconds LastRetry(8000);

constexpr const char* ChatCommands =
    "  /name NEW   set or change your name\n"
    "  /users      show the named users online, as last announced by the server\n"
    "  /quit       leave (so do the end of input, Ctrl-D, and Ctrl-C on an empty line)\n"
    "  /help       show these commands\n"
    "  //TEXT      send /TEXT, a line that starts with /";

constexpr const char* NotSent = "not connected: the line was not sent.";

// What the server's notices say, after the time stamp and "[SERVER]: ".
constexpr std::string_view ArrivalNotice = "New user connected!";
constexpr std::string_view DepartureNotice = "A user disconnected.";
constexpr std::string_view NameRefusal = "User name refused: ";
// How long an arrival or departure notice waits for the list that names who it was: a
// client that names itself on connecting does so within a round trip.
constexpr auto NoticeHoldTime = std::chrono::milliseconds(500);

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// What a server notice says, or nothing when the line is not one. The server refuses to
// relay a line of this form, so it can be trusted.
std::optional<std::string_view> NoticeText(std::string_view line) {
    constexpr std::string_view Server = "[SERVER]: ";
    if (!BeginsWithTimestamp(line)) {
        return std::nullopt;
    }
    line.remove_prefix(TimestampBytes);
    if (StartsWith(line, " ")) {  // the departure notice has no blank
        line.remove_prefix(1);
    }
    if (!StartsWith(line, Server)) {
        return std::nullopt;
    }
    return line.substr(Server.size());
}

bool IsBlank(const std::string& line) {
    return line.find_first_not_of(" \t") == std::string::npos;
}

}  // namespace

ChatSession::ChatSession(hNet::FramedClient& client, ChatConsole& console)
    : client(client), console(console) {}

void ChatSession::SetName(std::string newName) {
    // In the server's words, so that a name it would refuse is never sent.
    if (newName.size() > hNet::MaxNameBytes) {
        console.Warn(hNet::NameTooLongRefusal);
        return;
    }
    // One name at a time is with the server, so that its answer is known to be for it.
    if (client.IsOpen() && !askedName) {
        AskName(std::move(newName));
    } else {
        nextName = std::move(newName);
    }
}

void ChatSession::AskName(std::string wanted) {
    client.Queue(hNet::MakeTextPacket(PacketType::SetUserName, wanted));
    askedName = std::move(wanted);
}

void ChatSession::NameAnswered() {
    askedName.reset();
    AskNextName();
}

void ChatSession::AskNextName() {
    if (nextName) {
        std::string next = std::move(*nextName);
        nextName.reset();
        AskName(std::move(next));
    }
}

void ChatSession::ReconnectTo(std::string host, std::uint16_t port) {
    reconnection = Reconnection{
        std::move(host), port, FirstRetry, {}, std::minstd_rand(std::random_device{}())};
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
    // New lines are read only once the server has taken the earlier ones, and has answered
    // the name asked for, so that they go with the name it took.
    const bool wantInput = inputOpen && !client.HasUnsent() && !askedName;
    const Readiness ready = Wait(connected, wantInput, timeoutMs);
    if (connected) {
        if (ready.writable) {
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
    if (heldNotice && Clock::now() >= heldNotice->until) {
        ShowHeldNotice();
    }
    if (Finished()) {
        return;
    }
    if (wantInput && (ready.input || console.InputPending()) &&
        !console.ReadInput([this](std::string line) { return HandleLine(std::move(line)); })) {
        EndOfInput();
    }
    if (!inputOpen && (!awaitedEcho || !client.IsOpen() || Clock::now() >= lingerDeadline)) {
        Finish(0);
    }
}

ChatSession::Readiness ChatSession::Wait(bool connected, bool wantInput, int timeoutMs) {
    std::array<WSAPOLLFD, 2> waits{};
    std::size_t count = 0;
    if (connected) {
        waits[count].fd = client.Handle();
        waits[count++].events = client.HasUnsent() ? POLLRDNORM | POLLWRNORM : POLLRDNORM;
    }
    WSAPOLLFD& input = waits[count];
    if (wantInput) {
        input.fd = console.InputHandle();
        input.events = POLLRDNORM;
        ++count;
    }
    const auto atMostUntil = [&](Clock::time_point until) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        timeoutMs = static_cast<int>(std::clamp<long long>(left.count(), 0, timeoutMs));
    };
    if (!inputOpen) {
        atMostUntil(lingerDeadline);
    }
    if (!connected) {
        atMostUntil(reconnection->nextTry);
    }
    if (heldNotice) {
        atMostUntil(heldNotice->until);
    }
    if (wantInput && console.InputPending()) {
        timeoutMs = 0;
    }
    WSAPoll(waits.data(), static_cast<unsigned long>(count), timeoutMs);
    return {connected && (waits[0].revents & POLLWRNORM) != 0, input.revents != 0};
}

// Ends the session, or with reconnection wanted, says so on one line and tries again.
void ChatSession::ConnectionLost() {
    ShowHeldNotice();
    askedName.reset();  // its answer is lost with the connection
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
    again.nextTry = Clock::now() +
                    std::chrono::duration_cast<Clock::duration>(again.delay * share(again.jitter));
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
    listShown = false;
    departureAnnounced = false;
    // Only a name the server took goes again; one asked for meanwhile follows it.
    if (!name.empty()) {
        AskName(name);
    } else {
        AskNextName();
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
    } else if (StartsWith(line, "//")) {
        SendChat(line.substr(1));
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
    client.Queue(hNet::MakeTextPacket(PacketType::ChatMessage, text));
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
                TakeChatMessage(text);
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

// An arrival or departure notice waits for the list that may name who it was; everything
// else shows as it comes, after any notice that waited.
void ChatSession::TakeChatMessage(const std::string& text) {
    ShowHeldNotice();
    const auto notice = NoticeText(text);
    if (notice == ArrivalNotice || notice == DepartureNotice) {
        const bool departure = notice == DepartureNotice;
        departureAnnounced = departureAnnounced || departure;
        heldNotice = HeldNotice{text, departure, Clock::now() + NoticeHoldTime};
    } else if (notice && askedName && StartsWith(*notice, NameRefusal)) {
        NameRefused(notice->substr(NameRefusal.size()));
    } else {
        console.Show(VisibleText(text));
    }
}

// The server kept the name it had, which the person is told on one line.
void ChatSession::NameRefused(std::string_view reason) {
    ShowFirstList();
    if (!reason.empty() && reason.back() == '.') {
        reason.remove_suffix(1);
    }
    console.Show("* name refused: " + VisibleText(reason) + "; " +
                 (name.empty() ? "you still have no name" : "you are still " + VisibleText(name)));
    NameAnswered();
}

void ChatSession::ShowHeldNotice() {
    if (heldNotice) {
        console.Show(VisibleText(heldNotice->text));
        heldNotice.reset();
    }
}

// A change that the lists show to be one person's is told as an event, in place of the
// arrival or departure notice it names; anything else as the whole list. The first list of
// a connection comes before any name could be taken; a later one that ends with the name
// asked for is the server taking it.
void ChatSession::TakeUserList(const std::string& body) {
    UserNames names = ParseUserList(body);
    console.OfferNames(names);
    const bool nameTaken = userList && askedName && !names.empty() && names.back() == *askedName;
    std::optional<std::string> event;
    if (listShown) {
        event = DescribeUserListChange(*userList, names, departureAnnounced);
        const bool grew = names.size() > userList->size();
        const bool shrank = names.size() < userList->size();
        if (event && heldNotice && (heldNotice->departure ? shrank : grew)) {
            heldNotice.reset();
        }
    }
    ShowHeldNotice();
    userList = std::move(names);
    departureAnnounced = false;
    if (nameTaken) {
        name = *askedName;
        NameAnswered();
    }
    if (event) {
        console.Show("* " + VisibleText(*event));
    } else if (listShown) {
        ShowUsers();
    } else if (!askedName) {
        ShowFirstList();
    }
}

void ChatSession::ShowFirstList() {
    if (!listShown && userList) {
        listShown = true;
        ShowUsers();
    }
}

void ChatSession::ShowUsers() {
    if (!userList) {
        console.Show("No user list yet.");
        return;
    }
    std::string shown;
    for (const std::string& user : *userList) {
        shown += (shown.empty() ? "" : ", ") + VisibleText(user);
    }
    console.Show("Online: " + (userList->empty() ? "nobody has a name" : shown));
}

void ChatSession::Finish(int status) {
    ShowHeldNotice();
    exitStatus = status;
}

namespace {

// The command line, as read.
struct ChatOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = hNet::ChatPort;
    std::optional<std::string> name;
    bool reconnect = true;
};

constexpr const char* About =
    "Talks to a Halvex chat server. Every line you type is sent to everyone, as\n"
    "\"NAME: text\" once you have a name; blank lines are not sent. Standard input may be a\n"
    "file or a pipe. At a terminal a lost connection is made again by itself (every 1 to\n"
    "8 s), unless --no-reconnect is given.\n";
constexpr const char* ExitStatus =
    "Exit status: 0 after /quit or the end of input, 1 when the server cannot be reached\n"
    "or closes the connection, 2 on a bad command line.";

void Describe(CLI::App& app, ChatOptions& options) {
    app.footer(std::string(About) + "Commands:\n" + ChatCommands + "\n" + ExitStatus);
    app.get_formatter()->column_width(20);
    app.get_formatter()->label("Usage", "usage");
    app.get_formatter()->label("OPTIONS", "options");
    app.get_formatter()->label("Positionals", "Arguments");
    app.set_help_flag("-h,--help", "show the command line and the commands, and exit");
    app.set_version_flag("--version", "halvex-chat " HALVEX_VERSION, "print the version and exit");
    app.add_option("HOST", options.host, "the server (default 127.0.0.1)")->type_name("");
    app.add_option("PORT", options.port,
                   "its port (default " + std::to_string(hNet::ChatPort) + ")")
        ->type_name("")
        ->check(CLI::Range(1, 65535).description(""));
    app.add_option_function<std::string>(
           "--name", [&options](const std::string& name) { options.name = name; },
           "send the name right after connecting")
        ->option_text("NAME");
    app.add_flag_callback(
        "--no-reconnect", [&options] { options.reconnect = false; },
        "at a terminal, end when the connection drops\ninstead of connecting again");
}

// Connects and chats until the session ends; the exit status.
int Chat(const ChatOptions& options, SOCKET input, std::ostream& out, std::ostream& err) {
    hNet::FramedClient client;
    std::string reason;
    if (!client.Connect(options.host, options.port, reason)) {
        err << "halvex-chat: cannot connect to " << options.host << ":" << options.port << ": "
            << reason << std::endl;
        return 1;
    }
    err << "Connected to " << options.host << ":" << options.port << "; /help lists the commands."
        << std::endl;
    const auto console = OpenConsole(input, out, err);
    ChatSession session(client, *console);
    if (options.reconnect && console->IsTerminal()) {
        session.ReconnectTo(options.host, options.port);
    }
    if (options.name) {
        session.SetName(*options.name);
    }
    while (!session.Finished()) {
        session.Turn(1000);
    }
    client.Close();
    return session.ExitStatus();
}

}  // namespace

int RunChatClient(const std::vector<std::string>& args, SOCKET input, std::ostream& out,
                  std::ostream& err) {
    CLI::App app("", "halvex-chat");
    ChatOptions options;
    Describe(app, options);
    try {
        // The parser takes the words last first.
        app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
    } catch (const CLI::CallForHelp&) {
        out << app.help();
        return 0;
    } catch (const CLI::CallForVersion& version) {
        out << version.what() << std::endl;
        return 0;
    } catch (const CLI::ParseError& error) {
        err << "halvex-chat: " << error.what() << "\n" << app.help();
        return 2;
    }
    return Chat(options, input, out, err);
}
