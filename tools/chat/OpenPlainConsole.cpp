#include "ChatConsole.h"
#include "ConsoleInput.h"

// Built where no line-editing library is: every input is read plainly. Standard input at
// a terminal still counts as a person typing.
std::unique_ptr<ChatConsole> OpenConsole(SOCKET input, std::ostream& out, std::ostream& err) {
    return std::make_unique<PlainConsole>(input, out, err, StandardInputIsTerminal());
}
