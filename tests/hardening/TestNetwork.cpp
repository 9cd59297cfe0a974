#include "TestNetwork.h"

#include <cstdlib>

namespace {

bool Shell(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TestNetwork::TestNetwork() {
    if (geteuid() != 0 || !Shell("ip -V")) {
        missing = "making network namespaces needs root and iproute2's ip";
        return;
    }
    const std::string device = " link set veth0 ";
    const bool made =
        Shell("ip netns add " + server) && Shell("ip netns add " + far) &&
        Shell("ip link add veth0 netns " + server + " type veth peer name veth0 netns " + far) &&
        Shell("ip -n " + server + " addr add 10.77.0.1/24 dev veth0") &&
        Shell("ip -n " + far + " addr add 10.77.0.2/24 dev veth0") &&
        Shell("ip -n " + server + device + "up") && Shell("ip -n " + far + device + "up") &&
        Shell("ip -n " + server + " link set lo up");
    if (!made) {
        missing = "this machine does not let the test make network namespaces";
    }
}

TestNetwork::~TestNetwork() {
    Shell("ip netns delete " + server);
    Shell("ip netns delete " + far);
}

void TestNetwork::CutFar() {
    ASSERT_TRUE(Shell("ip -n " + far + " link set veth0 down"));
}
