#include "ChatConsole.h"

// Built where no line-editing library is: every input is read plainly.
std::unique_ptr<ChatConsole> OpenConsole(SOCKET input, std::ostream& out, std::ostream& err) {
    return std::make_unique<PlainConsole>(input, out, err);
}
