#include <gtest/gtest.h>

#include "Platform.h"

namespace {

WORD requestedVersion = 0;
WORD grantedVersion = 0;

int WSAAPI GrantingStartup(WORD version, LPWSADATA data) {
    requestedVersion = version;
    data->wVersion = grantedVersion;
    return 0;
}

int WSAAPI RefusingStartup(WORD, LPWSADATA) {
    return WSASYSNOTREADY;
}

// What starting with the given stand-in writes to standard error, and its result.
std::pair<bool, std::string> StartWith(int(WSAAPI* startup)(WORD, LPWSADATA)) {
    testing::internal::CaptureStderr();
    const bool started = hNet::StartWindowsSockets(startup);
    return {started, testing::internal::GetCapturedStderr()};
}

TEST(WindowsSocketsStartup, AsksForVersionTwoTwoAndAcceptsIt) {
    grantedVersion = MAKEWORD(2, 2);
    EXPECT_EQ(StartWith(GrantingStartup), std::make_pair(true, std::string()));
    EXPECT_EQ(requestedVersion, 0x0202);
}

TEST(WindowsSocketsStartup, RefusesAnyOtherGrantedVersion) {
    for (const WORD version : {MAKEWORD(2, 1), MAKEWORD(1, 2), MAKEWORD(1, 1)}) {
        grantedVersion = version;
        EXPECT_EQ(StartWith(GrantingStartup),
                  std::make_pair(false, std::string("Failed to load WinSock API. Version is not "
                                                    "equal to 2-2.\n")))
            << "granted " << std::hex << version;
    }
}

TEST(WindowsSocketsStartup, ReportsALibraryThatWillNotStart) {
    EXPECT_EQ(StartWith(RefusingStartup),
              std::make_pair(false, std::string("Failed to load WinSock API.\n")));
}

}  // namespace
