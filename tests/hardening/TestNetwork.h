#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <string>

// Two network namespaces of the test's own, joined by a veth pair: 10.77.0.1 in the
// server's, 10.77.0.2 in the far client's. Nothing leaves them.
class TestNetwork {
  public:
    TestNetwork();
    ~TestNetwork();
    TestNetwork(const TestNetwork&) = delete;
    TestNetwork& operator=(const TestNetwork&) = delete;

    // Why the network could not be made, for the test's skip; empty once it is made.
    const std::string& Missing() const { return missing; }

    // Runs `step` with this thread in the namespace `name`, so that the sockets it makes
    // are there for good.
    template <typename Step>
    void Inside(const std::string& name, Step step) {
        const int home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int there = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_EQ(setns(there, CLONE_NEWNET), 0);
        step();
        ASSERT_EQ(setns(home, CLONE_NEWNET), 0);
        close(there);
        close(home);
    }

    // The far client's link goes down: whatever the server sends it is lost from now on.
    void CutFar();

    const std::string server = "halvex-" + std::to_string(getpid()) + "-server";
    const std::string far = "halvex-" + std::to_string(getpid()) + "-far";

  private:
    std::string missing;
};
