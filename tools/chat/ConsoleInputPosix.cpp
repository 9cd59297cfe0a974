#include "ConsoleInput.h"

#include <unistd.h>

SOCKET StandardInputHandle() {
    return STDIN_FILENO;
}

bool StandardInputIsTerminal() {
    return isatty(STDIN_FILENO) != 0;
}

int ReadHandle(SOCKET handle, char* data, int size) {
    return static_cast<int>(read(handle, data, static_cast<std::size_t>(size)));
}
