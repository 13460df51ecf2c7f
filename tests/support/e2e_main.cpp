// Entry point of every end-to-end test program. Each test runs in a process
// of its own (CTest starts one per test), which moves into new network and
// IPC namespaces before anything else: port 8800 and segment 291 are then
// its alone, and tests run in parallel without touching the host's server.
#include "harness.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Listing the tests needs no private world.
    if (!testing::GTEST_FLAG(list_tests)) {
        std::string why;
        if (!harness::enterPrivateWorld(why)) fprintf(stderr, "end-to-end tests skipped: %s\n", why.c_str());
    }
    signal(SIGPIPE, SIG_IGN);
    return RUN_ALL_TESTS();
}
