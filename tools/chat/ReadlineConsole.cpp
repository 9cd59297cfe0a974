#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <termios.h>
#include <unistd.h>

#include "ChatConsole.h"
#include "ConsoleInput.h"
#include "VisibleText.h"

extern "C" {
// Readline's record of the screen column where it left the cursor (its private
// rlprivate.h, stable since readline 4). The typed line is kept to one row, so this column
// is all there is to know of where it stands.
extern int _rl_last_c_pos;
}

namespace {

constexpr const char* Prompt = "> ";
// Keys that arrived together, a paste for one, are taken in one call, up to this many.
constexpr int MostKeysAtOnce = 64 * 1024;

constexpr int HandledSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr int CtrlC = 3;
// How long the terminal may take to say where its cursor is.
constexpr int CursorReportTimeoutMs = 300;

// The terminal as it was before line editing, for the signal handler to put back.
termios originalTerminal{};
bool bracketedPaste = false;
volatile std::sig_atomic_t resized = 0;

void NoteResize(int) {
    resized = 1;
}

// Readline's terminal mode, except that Ctrl-C arrives as a key rather than as SIGINT, so
// that it can clear the line being typed.
void PrepareTerminal(int meta) {
    rl_prep_terminal(meta);
    termios settings{};
    const int terminal = fileno(rl_instream != nullptr ? rl_instream : stdin);
    if (tcgetattr(terminal, &settings) == 0) {
        settings.c_cc[VINTR] = _POSIX_VDISABLE;
        tcsetattr(terminal, TCSADRAIN, &settings);
    }
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
        rl_catch_sigwinch = 0;  // resizing is followed here, not inside readline's calls
        rl_change_environment = 0;
        rl_prep_term_function = PrepareTerminal;
        rl_getc_function = NextKey;
        rl_attempted_completion_function = CompleteName;
        rl_initialize();
        // One screen row for the typed line, scrolled sideways when it is longer, so that a
        // resize cannot leave it spread over rows that are no longer where readline thinks.
        rl_variable_bind("horizontal-scroll-mode", "on");
        bracketedPaste = std::strcmp(rl_variable_value("enable-bracketed-paste"), "on") == 0;
        for (const Keymap keymap :
             {emacs_standard_keymap, vi_insertion_keymap, vi_movement_keymap}) {
            rl_bind_key_in_map('\r', TakeLine, keymap);
            rl_bind_key_in_map('\n', TakeLine, keymap);
            rl_bind_key_in_map(CtrlC, Interrupt, keymap);
        }
        int rows = 0;
        rl_get_screen_size(&rows, &width);
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
    bool InputPending() const override { return !earlyKeys.empty(); }
    bool IsTerminal() const override { return true; }
    void Refresh() override { FollowResize(); }

    bool ReadInput(const LineHandler& handler) override {
        FollowResize();
        onLine = &handler;
        wanted = true;
        for (int keys = 0; editing && wanted && keys < MostKeysAtOnce &&
                           (keys == 0 || !earlyKeys.empty() || KeyWaiting());
             ++keys) {
            rl_callback_read_char();
        }
        onLine = nullptr;
        // A line that could not be sent comes back to be edited; several, from a paste,
        // come back as one with their line breaks, and go out as several again.
        if (editing && !retyped.empty()) {
            rl_replace_line(retyped.c_str(), 0);
            rl_point = rl_end;
            retyped.clear();
            rl_redisplay();
        }
        return editing;
    }

    void Retype(const std::string& line) override {
        retyped += (retyped.empty() ? "" : "\n") + line;
    }

    // A name that shows otherwise than it is (a control character, a bidirectional
    // control) is not offered: completing it would put those characters into the line.
    void OfferNames(const std::vector<std::string>& names) override {
        offered.clear();
        for (const std::string& name : names) {
            if (!name.empty() && VisibleText(name) == name) {
                offered.push_back(name);
            }
        }
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
    // After a resize the typed line is drawn again where it stands. Its row is found first:
    // a terminal narrowed below the cursor's column either cut the row off, leaving the
    // cursor on it, or (as most terminals do) rewrapped it, leaving the cursor rows below
    // its start. The terminal's report of the cursor's column tells which. Nothing above
    // the typed line is erased, so no received line can be lost; when the report does not
    // tell, a stale piece of the typed line may stay above rather than a line be lost.
    void FollowResize() {
        if (resized == 0) {
            return;
        }
        resized = 0;
        const int oldWidth = width;
        rl_reset_screen_size();
        int rows = 0;
        rl_get_screen_size(&rows, &width);
        if (!editing || takingLine || width <= 0) {
            return;
        }
        const int column = _rl_last_c_pos;
        int up = 0;
        if (width < oldWidth && column >= width) {
            const int reported = CursorColumn();
            const int rewrapped = column % width + 1;
            if (reported == rewrapped && reported != width) {
                up = column / width;
            }
        }
        std::string erase = "\r";
        if (up > 0) {
            erase += "\033[" + std::to_string(up) + "A";
        }
        erase += "\033[J";
        std::fputs(erase.c_str(), rl_outstream);
        rl_forced_update_display();
    }

    // Asks the terminal where its cursor is: the column, counted from 1, or 0 when it does
    // not answer in time. Keys typed meanwhile are kept for readline, in order.
    int CursorColumn() {
        std::fputs("\033[6n", rl_outstream);
        std::fflush(rl_outstream);
        std::string heard;
        for (int waited = 0; waited < CursorReportTimeoutMs; waited += 10) {
            pollfd wait{input, POLLIN, 0};
            char byte = 0;
            if (poll(&wait, 1, 10) <= 0) {
                continue;
            }
            if (ReadHandle(input, &byte, 1) != 1) {
                break;
            }
            heard += byte;
            // The answer: ESC [ row ; column R.
            const std::size_t start = heard.rfind("\033[");
            if (byte == 'R' && start != std::string::npos) {
                const std::size_t separator = heard.find(';', start);
                if (separator != std::string::npos) {
                    const int reported = std::atoi(heard.c_str() + separator + 1);
                    earlyKeys += heard.substr(0, start);
                    return reported;
                }
            }
        }
        earlyKeys += heard;
        return 0;
    }

    // Readline's source of keys: those read while waiting for the terminal, then the input.
    static int NextKey(FILE* stream) {
        std::string& early = active->earlyKeys;
        if (!early.empty()) {
            const auto key = static_cast<unsigned char>(early.front());
            early.erase(0, 1);
            return key;
        }
        return rl_getc(stream);
    }

    bool KeyWaiting() const {
        WSAPOLLFD wait{};
        wait.fd = input;
        wait.events = POLLRDNORM;
        return WSAPoll(&wait, 1, 0) > 0;
    }

    // Tab completes the names of those online, never file names.
    static char** CompleteName(const char* text, int /*start*/, int /*end*/) {
        rl_attempted_completion_over = 1;
        return rl_completion_matches(text, NextNameMatch);
    }

    // Readline's generator: each offered name that begins with the text, one per call.
    static char* NextNameMatch(const char* text, int state) {
        static std::size_t next = 0;
        if (state == 0) {
            next = 0;
        }
        const std::vector<std::string>& names = active->offered;
        while (next < names.size()) {
            const std::string& name = names[next++];
            if (name.rfind(text, 0) == 0) {
                return strdup(name.c_str());
            }
        }
        return nullptr;
    }

    // Bound to Return: keeps the line and clears it from the screen, then takes it as an
    // empty one, after which readline writes no line feed (rl_erase_empty_line).
    static int TakeLine(int count, int key) {
        active->taken.assign(rl_line_buffer, static_cast<std::size_t>(rl_end));
        rl_clear_visible_line();
        rl_replace_line("", 1);
        return rl_newline(count, key);
    }

    // Bound to Ctrl-C: clears the typed line; on an empty one, leaves as Ctrl-D does.
    static int Interrupt(int count, int key) {
        if (rl_end > 0) {
            rl_replace_line("", 0);
            rl_point = 0;
            return 0;
        }
        active->leaving = true;
        return rl_newline(count, key);
    }

    // Readline's line handler: null at the end of input.
    static void LineDone(char* line) {
        if (line == nullptr || std::exchange(active->leaving, false)) {
            std::free(line);
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
    bool leaving = false;
    int width = 80;
    std::string taken;
    std::string retyped;    // lines not sent, to put back once readline is done with keys
    std::string earlyKeys;  // read while waiting for the terminal's report
    std::vector<std::string> offered;  // names for Tab to complete
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
