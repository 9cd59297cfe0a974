#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include "FramedClient.h"
#include "MyServer.h"
#include "support/Loopback.h"

namespace {

using Clock = std::chrono::steady_clock;

// Just enough of a terminal to tell what a person would see of readline's output on one
// wide screen: printable characters, carriage return, line feed, backspace, erasing to the
// end of the line and moving up. Other escape sequences are skipped.
class Screen {
  public:
    void Feed(const std::string& bytes) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const char c = bytes[i];
            if (c == '\x1b' && i + 1 < bytes.size() && bytes[i + 1] == '[') {
                std::size_t end = i + 2;
                while (end < bytes.size() && !(bytes[end] >= '@' && bytes[end] <= '~')) {
                    ++end;
                }
                Control(bytes.substr(i + 2, end - i - 2), end < bytes.size() ? bytes[end] : ' ');
                i = end;
            } else if (c == '\x1b') {
                ++i;
            } else if (c == '\r') {
                column = 0;
            } else if (c == '\n') {
                ++row;
            } else if (c == '\b') {
                column = column > 0 ? column - 1 : 0;
            } else if (static_cast<unsigned char>(c) >= 0x20) {
                std::string& line = Row();
                line.resize(std::max(line.size(), column + 1), ' ');
                line[column++] = c;
            }
        }
    }
    // The rows up to the cursor's, trailing blanks dropped.
    std::vector<std::string> Rows() const {
        std::vector<std::string> shown(rows.begin(), rows.begin() + std::min(rows.size(), row + 1));
        for (std::string& line : shown) {
            line.erase(line.find_last_not_of(' ') + 1);
        }
        return shown;
    }

  private:
    std::string& Row() {
        if (rows.size() <= row) {
            rows.resize(row + 1);
        }
        return rows[row];
    }
    void Control(const std::string& arguments, char command) {
        const std::size_t count =
            arguments.empty() || arguments[0] == '?' ? 1 : std::stoul(arguments);
        if (command == 'K') {
            std::string& line = Row();
            line.resize(std::min(line.size(), column));
        } else if (command == 'A') {
            row = row >= count ? row - count : 0;
        }
    }

    std::vector<std::string> rows;
    std::size_t row = 0;
    std::size_t column = 0;
};

// An in-process server, and halvex-chat on a pseudo-terminal as a person runs it.
class ChatTerminalTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server.Initialize(hNet::Endpoint("127.0.0.1", port)));
        winsize size{};
        size.ws_row = 24;
        size.ws_col = 200;
        child = forkpty(&terminal, nullptr, nullptr, &size);
        ASSERT_GE(child, 0);
        if (child == 0) {
            setenv("TERM", "xterm", 1);
            setenv("INPUTRC", "/dev/null", 1);  // none of the person's own key bindings
            const std::string portText = std::to_string(port);
            execl(HALVEX_CHAT_PATH, "halvex-chat", "127.0.0.1", portText.c_str(), "--name", "ann",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        fcntl(terminal, F_SETFL, fcntl(terminal, F_GETFL) | O_NONBLOCK);
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

    // Runs the server and the terminal, typing `keys` as the program takes them, until
    // `done` holds or 10 seconds have passed.
    template <typename Condition>
    bool RunUntil(Condition done, std::string keys = "") {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!(keys.empty() && done()) && Clock::now() < deadline) {
            server.Frame();
            if (!keys.empty()) {
                const auto written = write(terminal, keys.data(), keys.size());
                keys.erase(0, written > 0 ? static_cast<std::size_t>(written) : 0);
            }
            pollfd wait{terminal, POLLIN, 0};
            if (poll(&wait, 1, 5) > 0) {
                char bytes[4096];
                const auto count = read(terminal, bytes, sizeof bytes);
                if (count > 0) {
                    screen.Feed(std::string(bytes, static_cast<std::size_t>(count)));
                }
            }
        }
        return done();
    }
    // The row `back` rows above the cursor's.
    std::string RowAbove(std::size_t back = 0) const {
        const auto rows = screen.Rows();
        return back < rows.size() ? rows[rows.size() - 1 - back] : "";
    }
    std::string ScreenText() const {
        std::string text;
        for (const std::string& line : screen.Rows()) {
            text += line + "\n";
        }
        return text;
    }

    support::StreamCapture serverLog{std::cout};
    std::uint16_t port = support::FreePort();
    MyServer server;
    int terminal = -1;
    pid_t child = -1;
    Screen screen;
};

TEST_F(ChatTerminalTest, IncomingLinesLeaveTheTypedLineWhole) {
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == ">"; })) << ScreenText();
    ASSERT_TRUE(RunUntil([&] { return RowAbove() == "> I am typing"; }, "I am typing"))
        << ScreenText();

    hNet::FramedClient bob;
    std::string error;
    ASSERT_TRUE(bob.Connect("127.0.0.1", port, error)) << error;
    auto line = std::make_shared<hNet::Packet>(hNet::PacketType::ChatMessage);
    *line << std::string("bob: interrupting you");
    ASSERT_TRUE(bob.Send(line));
    ASSERT_TRUE(RunUntil([&] {
        return RowAbove(1) == "bob: interrupting you" && RowAbove() == "> I am typing";
    })) << ScreenText();

    // Taken whole, and shown once: the relayed line replaces the typed one.
    ASSERT_TRUE(
        RunUntil([&] { return RowAbove(1) == "ann: I am typing" && RowAbove() == ">"; }, "\r"))
        << ScreenText();
    EXPECT_EQ(ScreenText().find("> I am typing"), std::string::npos) << ScreenText();
    EXPECT_NE(serverLog.Text().find(" Message: ann: I am typing\n"), std::string::npos);

    bob.Close();
}

}  // namespace
