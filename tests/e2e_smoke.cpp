#include "harness.h"

#include <gtest/gtest.h>

TEST(ServerSmoke, RegistersAnAllowedUser) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("smoke");
    harness::writeKeyPair(dir);
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir));
    ASSERT_TRUE(server.waitReady());
    EXPECT_EQ(harness::registerOnce(dir + "/public.pem", "dorvanek", "abc"), harness::okReply());
    shareMemoryItem item = harness::findRecord("dorvanek");
    EXPECT_EQ(item.id, 0);
    EXPECT_EQ(item.keyLen, 3);
    server.stop();
    harness::removeTree(dir);
}
