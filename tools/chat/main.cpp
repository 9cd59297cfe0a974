#include <iostream>
#include <string>
#include <vector>

#include "ChatSession.h"
#include "ConsoleInput.h"
#include "NetworkRuntime.h"

int main(int argc, char** argv) {
    if (!hNet::NetworkRuntime::Initialize()) {
        return 1;
    }
    const int status =
        RunChatClient({argv + 1, argv + argc}, StandardInputHandle(), std::cout, std::cerr);
    hNet::NetworkRuntime::Shutdown();
    return status;
}
