#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"
#include "support/TestServer.h"

namespace {

using Clock = std::chrono::steady_clock;
using testing::HasSubstr;
using testing::Not;

// Just enough of a terminal to tell what a person would see of readline's output: rows of
// a fixed width that the text wraps onto, carriage return, line feed, backspace, moving
// the cursor, erasing to the end of the row or of the screen, and the report of where the
// cursor is. Other escape sequences are skipped. A resize either rewraps the rows, as most
// terminals do, or cuts them off, as xterm does.
class Screen {
  public:
    explicit Screen(std::size_t width) : width(width) {}

    // Takes the program's output; returns what the terminal answers.
    std::string Feed(const std::string& bytes) {
        std::string answers;
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                std::size_t end = i + 2;
                while (end < bytes.size() && !(bytes[end] >= '@' && bytes[end] <= '~')) {
                    ++end;
                }
                answers += Control(bytes.substr(i + 2, end - i - 2),
                                   end < bytes.size() ? bytes[end] : ' ');
                i = end;
            } else if (c == '\x1b') {
                ++i;
            } else if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                ++row;
                Row();
            } else if (c == '\b') {
                column = std::min(column, width - 1);
                column = column > 0 ? column - 1 : 0;
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                if (column == width) {  // the wrap waits for the next character
                    Row().wrapped = true;
                    ++row;
                    column = 0;
                }
                std::string& text = Row().text;
                text.resize(std::max(text.size(), column + 1), ' ');
                text[column++] = c;
            }
        }
        return answers;
    }

    void Resize(std::size_t newWidth, bool rewrap) {
        if (!rewrap) {
            for (Line& line : rows) {
                line.text.resize(std::min(line.text.size(), newWidth));
            }
            width = newWidth;
            column = std::min(column, width - 1);
            return;
        }
        // Rows joined by wrapping form one line; each line is wrapped anew.
        std::vector<std::string> lines(1);
        std::size_t cursorLine = 0;
        std::size_t cursorOffset = 0;
        for (std::size_t r = 0; r < rows.size(); ++r) {
            if (r == row) {
                cursorLine = lines.size() - 1;
                cursorOffset = lines.back().size() + column;
            }
            std::string text = rows[r].text;
            if (rows[r].wrapped) {
                text.resize(width, ' ');
            }
            lines.back() += text;
            if (!rows[r].wrapped && r + 1 < rows.size()) {
                lines.emplace_back();
            }
        }
        width = newWidth;
        rows.clear();
        for (std::size_t l = 0; l < lines.size(); ++l) {
            std::size_t length = lines[l].size();
            if (l == cursorLine) {
                row = rows.size() + cursorOffset / width;
                column = cursorOffset % width;
                length = std::max(length, cursorOffset + 1);
            }
            for (std::size_t at = 0; at == 0 || at < length; at += width) {
                if (!rows.empty() && at > 0) {
                    rows.back().wrapped = true;
                }
                rows.push_back({lines[l].substr(std::min(at, lines[l].size()), width), false});
            }
        }
    }

    // Every row, trailing blanks and blank rows at the end dropped.
    std::vector<std::string> Rows() const {
        std::vector<std::string> shown;
        for (const Line& line : rows) {
            shown.push_back(line.text.substr(0, line.text.find_last_not_of(' ') + 1));
        }
        while (!shown.empty() && shown.back().empty()) {
            shown.pop_back();
        }
        return shown;
    }

  private:
    struct Line {
        std::string text;
        bool wrapped = false;  // goes on in the next row
    };

    Line& Row() {
        if (rows.size() <= row) {
            rows.resize(row + 1);
        }
        return rows[row];
    }
    std::string Control(const std::string& arguments, char command) {
        const std::size_t count =
            arguments.empty() || arguments[0] == '?' ? 1 : std::stoul(arguments);
        column = std::min(column, width - 1);
        if (command == 'K') {
            std::string& text = Row().text;
            text.resize(std::min(text.size(), column));
        } else if (command == 'J') {
            Control("", 'K');
            Row().wrapped = false;
            rows.resize(row + 1);
        } else if (command == 'A') {
            row = row >= count ? row - count : 0;
        } else if (command == 'B') {
            row += count;
            Row();
        } else if (command == 'C') {
            column = std::min(column + count, width - 1);
        } else if (command == 'D') {
            column = column >= count ? column - count : 0;
        } else if (command == 'P') {
            std::string& text = Row().text;
            text.erase(std::min(column, text.size()), count);
        } else if (command == '@') {
            std::string& text = Row().text;
            text.insert(std::min(column, text.size()), count, ' ');
            text.resize(std::min(text.size(), width));
        } else if (command == 'n' && arguments == "6") {
            return "\x1b[" + std::to_string(row + 1) + ";" + std::to_string(column + 1) + "R";
        }
        return "";
    }

    std::size_t width;
    std::vector<Line> rows;
    std::size_t row = 0;
    std::size_t column = 0;
};

// An in-process server, and halvex-chat on a pseudo-terminal as a person runs it.
class ChatTerminalTest : public testing::Test {
  protected:
    void SetUp() override {
        // A root without /dev/pts mounted (a bare chroot) has no pseudo-terminals.
        int master = -1;
        int slave = -1;
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
            GTEST_SKIP() << "no pseudo-terminal can be opened: " << std::strerror(errno);
        }
        close(master);
        close(slave);
        StartServer();
    }
    void TearDown() override {
        if (child > 0) {
            kill(child, SIGKILL);
            waitpid(child, nullptr, 0);
        }
        if (terminal >= 0) {
            close(terminal);
        }
    }

    // On the port of the first start when it starts again.
    void StartServer() {
        server = std::make_unique<support::TestServer<MyServer>>();
        port = server->Listen(port);
        ASSERT_NE(port, 0);
    }
    void StartClient(unsigned short columns = 200) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        screen = Screen(columns);
        child = forkpty(&terminal, nullptr, nullptr, &size);
        ASSERT_GE(child, 0);
        if (child == 0) {
            // The server's sockets stay with the test: a stopped server is gone.
            closefrom(3);
            setenv("TERM", "xterm", 1);
            setenv("INPUTRC", "/dev/null", 1);  // none of the person's own key bindings
            const std::string portText = std::to_string(port);
            execl(HALVEX_CHAT_PATH, "halvex-chat", "127.0.0.1", portText.c_str(), "--name", "ann",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
        ASSERT_TRUE(RunUntil([&] { return RowAbove() == ">"; })) << ScreenText();
    }
    // The terminal's new width, as a person drags its window: the screen changes first,
    // then the program is told.
    void Resize(unsigned short columns, bool rewrap) {
        screen.Resize(columns, rewrap);
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
    }

    // Runs the server and the terminal, typing `keys` as the program takes them, until
    // `done` holds or 10 seconds have passed.
    template <typename Condition>
    bool RunUntil(Condition done, std::string keys = "") {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!(keys.empty() && done()) && Clock::now() < deadline) {
            if (server) {
                server->Frame();
            }
            if (!keys.empty()) {
                const auto written = write(terminal, keys.data(), keys.size());
                keys.erase(0, written > 0 ? static_cast<std::size_t>(written) : 0);
            }
            pollfd wait{terminal, POLLIN, 0};
            if (poll(&wait, 1, 5) > 0) {
                char bytes[4096];
                const auto count = read(terminal, bytes, sizeof bytes);
                if (count > 0) {
                    const std::string answers =
                        screen.Feed(std::string(bytes, static_cast<std::size_t>(count)));
                    EXPECT_EQ(write(terminal, answers.data(), answers.size()),
                              static_cast<ssize_t>(answers.size()));
                }
            }
        }
        return done();
    }
    // The row `back` rows above the last one shown.
    std::string RowAbove(std::size_t back = 0) const {
        const auto rows = screen.Rows();
        return back < rows.size() ? rows[rows.size() - 1 - back] : "";
    }
    std::size_t RowsWith(const std::string& text) const {
        const auto rows = screen.Rows();
        return std::count_if(rows.begin(), rows.end(), [&](const std::string& row) {
            return row.find(text) != std::string::npos;
        });
    }
    std::string ScreenText() const {
        std::string text;
        for (const std::string& line : screen.Rows()) {
            text += line + "\n";
        }
        return text;
    }
    void Say(const std::string& text) {
        ASSERT_TRUE(bob.Send(hNet::MakeTextPacket(hNet::PacketType::ChatMessage, text)));
    }

    support::StreamCapture serverLog{std::cout};
    std::uint16_t port = 0;
    std::unique_ptr<support::TestServer<MyServer>> server;
    int terminal = -1;
    pid_t child = -1;
    Screen screen{200};
    hNet::FramedClient bob;
};

TEST_F(ChatTerminalTest, IncomingLinesLeaveTheTypedLineWhole) {
    StartClient();
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == "> I am typing"; }, "I am typing"))
        << ScreenText();

    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    Say("bob: interrupting you");
    ASSERT_TRUE(RunUntil([&] {
        return RowAbove(1) == "bob: interrupting you" && RowAbove() == "> I am typing";
    })) << ScreenText();

    // Taken whole, and shown once: the relayed line replaces the typed one.
    ASSERT_TRUE(
        RunUntil([&] { return RowAbove(1) == "ann: I am typing" && RowAbove() == ">"; }, "\r"))
        << ScreenText();
    EXPECT_THAT(ScreenText(), Not(HasSubstr("> I am typing")));
    EXPECT_THAT(serverLog.Text(), HasSubstr(" Message: ann: I am typing\n"));

    bob.Close();
}

TEST_F(ChatTerminalTest, ReconnectsKeepingTheTypedLineAndTheName) {
    StartClient();
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == "> half typed"; }, "half typed"))
        << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowsWith("Online: ann") == 1; })) << ScreenText();

    // The server stops: said once, the typed line stays, and Enter does not lose it.
    server.reset();
    ASSERT_TRUE(RunUntil([&] {
        return RowAbove(1) == "* disconnected: the server closed the connection; reconnecting" &&
               RowAbove() == "> half typed";
    })) << ScreenText();
    ASSERT_TRUE(RunUntil(
        [&] {
            return RowAbove(1) == "halvex-chat: not connected: the line was not sent." &&
                   RowAbove() == "> half typed";
        },
        "\r"))
        << ScreenText();

    // A server on the same port again: reconnected, named again, the line still there.
    StartServer();
    ASSERT_TRUE(RunUntil([&] {
        return RowsWith("* reconnected") == 1 && RowAbove(1) == "Online: ann" &&
               RowAbove() == "> half typed";
    })) << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "ann: half typed line"; }, " line\r"))
        << ScreenText();
    EXPECT_EQ(RowsWith("reconnecting"), 1u) << ScreenText();

    // Ctrl-C clears a typed line, and on an empty line leaves.
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == "> oops"; }, "oops")) << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == ">"; }, "\x03")) << ScreenText();
    int status = -1;
    bool exited = false;
    ASSERT_TRUE(RunUntil(
        [&] { return exited || (exited = waitpid(child, &status, WNOHANG) == child); }, "\x03"));
    child = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(serverLog.Text(), Not(HasSubstr("oops")));
}

// A name the server refuses is said on one line and not used; Tab completes the names of
// those online, and //x sends /x.
TEST_F(ChatTerminalTest, SendsOnlyWithTheNameTheServerTook) {
    // 125 names of 64 bytes leave the list room for ann and bob, but not for a longer ann.
    for (int n = 0; n < 125; ++n) {
        const std::string name = "filler " + std::to_string(n);
        server->AddConnection(hNet::Socket(), hNet::Endpoint("192.0.2.1", 40000 + n));
        server->ProcessPacket(hNet::MakeTextPacket(hNet::PacketType::SetUserName,
                                                   name + std::string(64 - name.size(), '.')),
                              server->connections.back());
    }
    for (hNet::Connection& filler : server->connections) {
        while (filler.outgoing.HasPending()) {
            filler.outgoing.Pop();
        }
    }
    StartClient();
    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    ASSERT_TRUE(bob.Send(hNet::MakeTextPacket(hNet::PacketType::SetUserName, "bob")));
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "* bob joined"; })) << ScreenText();

    ASSERT_TRUE(RunUntil([&] { return RowsWith("list is full") == 1 && RowAbove() == ">"; },
                         "/name " + std::string(60, 'x') + "\r"))
        << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "ann: hi bob"; }, "hi b\t\r")) << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "ann: /x"; }, "//x\r")) << ScreenText();
    EXPECT_THAT(serverLog.Text(), Not(HasSubstr("xxx:")));
    bob.Close();
}

// Bob's lines arrive while the terminal is narrowed and after it is widened again, with a
// typed line longer than the narrow width; on either kind of terminal every received line
// stays on the screen, and the typed line shows once, at the bottom, and goes out whole.
class ChatResizeTest : public ChatTerminalTest, public testing::WithParamInterface<bool> {};

TEST_P(ChatResizeTest, ReceivedLinesSurviveResizing) {
    const bool rewrap = GetParam();
    const std::string typed = "a half typed line that is longer than the narrow terminal is wide";
    // The typed line as drawn: on one row, its end in view.
    const auto drawn = [&](std::size_t width) {
        const std::string row = RowAbove();
        return row.size() < width && row.size() > 2 &&
               typed.compare(typed.size() - (row.size() - 2), row.size() - 2, row.substr(2)) == 0;
    };
    StartClient(80);
    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    // A line that comes in the very moment of a resize is drawn for the width before it:
    // the resizes here wait until all that is due has come.
    ASSERT_TRUE(RunUntil([&] { return RowsWith("Online: ann") + RowsWith("New user") == 2; }))
        << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return drawn(80); }, typed)) << ScreenText();

    Resize(40, rewrap);
    ASSERT_TRUE(RunUntil([&] { return drawn(40); })) << ScreenText();
    Say("bob: while narrow");
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "bob: while narrow" && drawn(40); }))
        << ScreenText();
    Resize(80, rewrap);
    ASSERT_TRUE(RunUntil([&] { return drawn(80); })) << ScreenText();
    Say("bob: after widening");
    ASSERT_TRUE(RunUntil([&] { return RowAbove(1) == "bob: after widening" && drawn(80); }))
        << ScreenText();

    EXPECT_EQ(RowsWith("bob: while narrow"), 1u) << ScreenText();
    EXPECT_EQ(RowsWith("longer"), 1u) << ScreenText();  // no stale piece of the typed line
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == ">"; }, "\r")) << ScreenText();
    support::Turns(*server, 50);
    EXPECT_THAT(serverLog.Text(), HasSubstr(" Message: ann: " + typed + "\n"));
}

INSTANTIATE_TEST_SUITE_P(Terminals, ChatResizeTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "Rewrapping" : "CuttingOff";
                         });

}  // namespace
