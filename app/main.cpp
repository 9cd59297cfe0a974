#include <chrono>
#include <iostream>

#include "ChatPage.h"
#include "ConsoleWriter.h"
#include "Endpoint.h"
#include "MyServer.h"
#include "NetworkRuntime.h"
#include "Platform.h"
#include "WireFormat.h"

int main() {
    ConsoleWriter console;
    MyServer server;
    std::cout << "=============== Halvex Chat Server =============== " << std::endl;
    if (hNet::NetworkRuntime::Initialize()) {
        // Every client costs a descriptor; the default soft limit would cap the clients far
        // below what one server can serve.
        hNet::RaiseOpenFileLimit();
        const hNet::Endpoint endpoint("0.0.0.0", hNet::ChatPort);
        server.ServeWeb(hNet::Endpoint("0.0.0.0", hNet::WebPort), ChatPage());
        if (server.Initialize(endpoint)) {
            hNet::CatchStopRequests();
            while (!hNet::StopRequested()) {
                server.Frame();
            }
            // The last lines reach a console that still reads; one that does not may not
            // hold up the end for long.
            console.Drain(std::chrono::seconds(1));
            hNet::EndAsStopRequested();
        }
    }
    hNet::NetworkRuntime::Shutdown();
    console.Drain();
    // Keeps the console window readable after a failed start.
    std::cin.get();
    return 0;
}
