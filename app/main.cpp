#include <iostream>

#include "Endpoint.h"
#include "MyServer.h"
#include "NetworkRuntime.h"
#include "Platform.h"

int main() {
    MyServer server;
    std::cout << "=============== Halvex Chat Server =============== " << std::endl;
    if (hNet::NetworkRuntime::Initialize()) {
        // Every client costs a descriptor; the default soft limit would cap the clients far
        // below what one server can serve.
        hNet::RaiseOpenFileLimit();
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
