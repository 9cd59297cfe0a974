#pragma once

namespace harness {

// Sends the console lines of the server to nowhere, so that runs are not bound by I/O.
void SilenceConsole();

// Ends the process, as a crash the fuzzer or test runner reports, when `holds` is false.
void Require(bool holds, const char* what);

}  // namespace harness
