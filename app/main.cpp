#include <iostream>

#include "Endpoint.h"
#include "MyServer.h"
#include "NetworkRuntime.h"

int main() {
    MyServer server;
    std::cout << "=============== Halvex Chat Server =============== " << std::endl;
    if (hNet::NetworkRuntime::Initialize()) {
        const hNet::Endpoint endpoint("0.0.0.0", 6112);
        if (server.Initialize(endpoint)) {
            for (;;) {
                server.Frame();
            }
        }
    }
    hNet::NetworkRuntime::Shutdown();
    // Keeps the console window readable after a failed start.
    std::cin.get();
    return 0;
}
