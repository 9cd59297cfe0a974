#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <readline/history.h>
#include <readline/readline.h>
#include <termios.h>
#include <unistd.h>

#include "ChatConsole.h"

namespace {

constexpr const char* Prompt = "> ";
// Keys that arrived together, a paste for one, are taken in one call, up to this many.
constexpr int MostKeysAtOnce = 64 * 1024;

constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The terminal as it was before line editing, for the signal handler to put back.
termios originalTerminal{};
bool bracketedPaste = false;
volatile std::sig_atomic_t resized = 0;

void NoteResize(int) {
    resized = 1;
}

// Readline keeps the terminal in its own mode all the while a line is typed, but catches
// signals only inside its own calls: one that ends the program in between must not leave
// the terminal so.
void RestoreTerminalOnSignal(int signal) {
    tcsetattr(STDIN_FILENO, TCSANOW, &originalTerminal);
    if (bracketedPaste) {
        constexpr char EndBracketedPaste[] = "\033[?2004l";
        [[maybe_unused]] const auto written =
            write(STDOUT_FILENO, EndBracketedPaste, sizeof EndBracketedPaste - 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Line editing with GNU Readline's callback interface. The session's lines print above the
// prompt and the line being typed, which stay at the bottom. A typed line leaves the screen
// once taken, since the server's relayed copy takes its place.
class ReadlineConsole : public ChatConsole {
  public:
    ReadlineConsole(SOCKET input, std::ostream& out, std::ostream& err)
        : ChatConsole(out, err), input(input) {
        active = this;
        tcgetattr(input, &originalTerminal);
        rl_readline_name = "halvex-chat";
        rl_erase_empty_line = 1;
        rl_initialize();
        bracketedPaste = std::strcmp(rl_variable_value("enable-bracketed-paste"), "on") == 0;
        for (const Keymap keymap :
             {emacs_standard_keymap, vi_insertion_keymap, vi_movement_keymap}) {
            rl_bind_key_in_map('\r', TakeLine, keymap);
            rl_bind_key_in_map('\n', TakeLine, keymap);
        }
        for (const int signal : HandledSignals) {
            std::signal(signal, RestoreTerminalOnSignal);
        }
        std::signal(SIGWINCH, NoteResize);
        rl_callback_handler_install(Prompt, LineDone);
    }

    ~ReadlineConsole() override {
        StopEditing();
        active = nullptr;
    }

    SOCKET InputHandle() const override { return input; }

    bool ReadInput(const LineHandler& handler) override {
        FollowResize();
        onLine = &handler;
        wanted = true;
        for (int keys = 0;
             editing && wanted && keys < MostKeysAtOnce && (keys == 0 || KeyWaiting()); ++keys) {
            rl_callback_read_char();
        }
        onLine = nullptr;
        return editing;
    }

  protected:
    void Print(std::ostream& to, const std::string& text) override {
        // While a line is taken, the screen is already clear of it and readline shows the
        // prompt again afterwards.
        if (!editing || takingLine) {
            ChatConsole::Print(to, text);
            return;
        }
        FollowResize();
        rl_clear_visible_line();
        std::fflush(rl_outstream);
        ChatConsole::Print(to, text);
        rl_forced_update_display();
    }

  private:
    // Readline learns of a resized terminal by itself only inside its own calls.
    static void FollowResize() {
        if (resized != 0) {
            resized = 0;
            rl_resize_terminal();
        }
    }

    bool KeyWaiting() const {
        WSAPOLLFD wait{};
        wait.fd = input;
        wait.events = POLLRDNORM;
        return WSAPoll(&wait, 1, 0) > 0;
    }

    // Bound to Return: keeps the line and clears it from the screen, then takes it as an
    // empty one, after which readline writes no line feed (rl_erase_empty_line).
    static int TakeLine(int count, int key) {
        active->taken.assign(rl_line_buffer, static_cast<std::size_t>(rl_end));
        rl_clear_visible_line();
        rl_replace_line("", 1);
        return rl_newline(count, key);
    }

    // Readline's line handler: null at the end of input.
    static void LineDone(char* line) {
        if (line == nullptr) {
            active->StopEditing();
            return;
        }
        std::string text = std::exchange(active->taken, {});
        if (text.empty()) {
            text = line;
        }
        std::free(line);
        if (text.find_first_not_of(" \t\r\n") != std::string::npos) {
            add_history(text.c_str());
        }
        // A paste may hold several lines; each is one, as typed.
        active->takingLine = true;
        std::size_t start = 0;
        while (active->wanted && start <= text.size()) {
            const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
            active->wanted = (*active->onLine)(text.substr(start, end - start));
            start = end + 1;
        }
        active->takingLine = false;
    }

    void StopEditing() {
        if (!editing) {
            return;
        }
        editing = false;
        // The prompt goes, and what follows prints where it was.
        rl_clear_visible_line();
        rl_callback_handler_remove();
        std::fflush(rl_outstream);
        for (const int signal : HandledSignals) {
            std::signal(signal, SIG_DFL);
        }
        std::signal(SIGWINCH, SIG_DFL);
    }

    static ReadlineConsole* active;  // readline's callbacks carry no context

    SOCKET input;
    bool editing = true;
    bool wanted = true;
    bool takingLine = false;
    std::string taken;
    const LineHandler* onLine = nullptr;
};

ReadlineConsole* ReadlineConsole::active = nullptr;

}  // namespace

std::unique_ptr<ChatConsole> OpenConsole(SOCKET input, std::ostream& out, std::ostream& err) {
    if (isatty(input)) {
        return std::make_unique<ReadlineConsole>(input, out, err);
    }
    return std::make_unique<PlainConsole>(input, out, err);
}
