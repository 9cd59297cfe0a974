#include "ChatConsole.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

bool StandardInputIsTerminal() {
#ifdef _WIN32
    return _isatty(0) != 0;
#else
    return isatty(STDIN_FILENO) != 0;
#endif
}

}  // namespace

// Built where no line-editing library is: every input is read plainly. Standard input at
// a terminal still counts as a person typing.
std::unique_ptr<ChatConsole> OpenConsole(SOCKET input, std::ostream& out, std::ostream& err) {
    return std::make_unique<PlainConsole>(input, out, err, StandardInputIsTerminal());
}
