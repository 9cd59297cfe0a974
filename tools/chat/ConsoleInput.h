#pragma once

// Standard input as the chat client reads it, side by side with its connection. One
// source per system: the rest of the client does not know which it runs on.

#include "Platform.h"

// Standard input as a handle that WSAPoll can wait on together with sockets.
SOCKET StandardInputHandle();
// Whether a person types at standard input.
bool StandardInputIsTerminal();
// Reads what the handle has now: the byte count, 0 at the end of input, negative on failure.
int ReadHandle(SOCKET handle, char* data, int size);
