#pragma once

#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "Platform.h"

// The person's end of a chat session: where typed lines come from, and where the lines
// for them go.
class ChatConsole {
  public:
    // Takes one line; false when no more lines are wanted.
    using LineHandler = std::function<bool(std::string line)>;

    ChatConsole(std::ostream& out, std::ostream& err) : out(out), err(err) {}
    virtual ~ChatConsole() = default;
    ChatConsole(const ChatConsole&) = delete;
    ChatConsole& operator=(const ChatConsole&) = delete;

    // What to wait on for typed input.
    virtual SOCKET InputHandle() const = 0;
    // Takes what has been typed and hands each finished line to onLine; false once the
    // input has ended.
    virtual bool ReadInput(const LineHandler& onLine) = 0;
    // Keys already taken from the input handle and not yet handed to ReadInput.
    virtual bool InputPending() const { return false; }
    // Whether a person types at it; only then does the session reconnect by itself.
    virtual bool IsTerminal() const { return false; }
    // Called every turn: catches up with what happened to the terminal meanwhile.
    virtual void Refresh() {}
    // Gives back a line that was not sent, to be edited and sent again.
    virtual void Retype(const std::string& /*line*/) {}
    // The names of those online, for completing what is typed.
    virtual void OfferNames(const std::vector<std::string>& /*names*/) {}

    // Text for the person to read: one line, or several separated by line feeds.
    void Show(const std::string& text) { Print(out, text); }
    // A problem, named as the program's own.
    void Warn(const std::string& text) { Print(err, "halvex-chat: " + text); }

  protected:
    virtual void Print(std::ostream& to, const std::string& text) { to << text << std::endl; }

  private:
    std::ostream& out;
    std::ostream& err;
};

// Reads lines as they come, in chunks: from a pipe, a file, a socket, or a terminal left to
// its own line editing.
class PlainConsole : public ChatConsole {
  public:
    PlainConsole(SOCKET input, std::ostream& out, std::ostream& err, bool terminal = false)
        : ChatConsole(out, err), input(input), terminal(terminal) {}

    SOCKET InputHandle() const override { return input; }
    bool ReadInput(const LineHandler& onLine) override;
    bool IsTerminal() const override { return terminal; }

  private:
    SOCKET input;
    bool terminal;
    std::string partialLine;
    bool skippingLongLine = false;
};

// The console for `input`: with line editing where the build has it and the input is a
// terminal, plain otherwise.
std::unique_ptr<ChatConsole> OpenConsole(SOCKET input, std::ostream& out, std::ostream& err);
