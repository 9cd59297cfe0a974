#include <gtest/gtest.h>

#include "NetworkRuntime.h"

// Every test may use sockets, so the socket library is started once for the whole run.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!hNet::NetworkRuntime::Initialize()) {
        return 1;
    }
    const int result = RUN_ALL_TESTS();
    hNet::NetworkRuntime::Shutdown();
    return result;
}
