#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

#include "ChatSession.h"
#include "ConsoleInput.h"
#include "HalvexVersion.h"
#include "NetworkRuntime.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (std::find(args.begin(), args.end(), "--version") != args.end()) {
        std::cout << "halvex-chat " << HALVEX_VERSION << std::endl;
        return 0;
    }
    if (!hNet::NetworkRuntime::Initialize()) {
        return 1;
    }
    const int status = RunChatClient(args, StandardInputHandle(), std::cout, std::cerr);
    hNet::NetworkRuntime::Shutdown();
    return status;
}
