// The keyreg tool: the README's quick start with the real server, and
// messages that must decode back or be refused.
#include "harness.h"

#include <nlohmann/json.hpp>
#include <sys/shm.h>
#include <sys/stat.h>

namespace {

struct ToolRun {
    int status = -1;
    std::string out, err;
    std::string said() const { return std::to_string(status) + ": " + out; }
};

ToolRun keyreg(std::vector<std::string> args) {
    ToolRun run;
    args.insert(args.begin(), KEYREG_TOOL_PATH);
    run.status = harness::runCommand(args, &run.out, &run.err);
    return run;
}

using Tool = harness::ServerTest;

// In a checkout-like folder: the server works in var/server with the keys
// that keygen made there.
TEST_F(Tool, ReadmeQuickStartWorksAsDescribed) {
    const std::string& id = harness::allowedIds()[0];
    ASSERT_EQ(mkdir("var", 0755), 0);
    ASSERT_EQ(keyreg({"keygen", "--dir", "var/server"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat("var/server/private.pem", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the private key is readable by others";
    ASSERT_EQ(stat("var/server/public.pem", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u) << "clients cannot read the public key";
    ASSERT_TRUE(server.start(dir + "/var/server"));
    ASSERT_TRUE(server.waitReady()) << server.log();

    const std::string pub = "var/server/public.pem";
    EXPECT_EQ(keyreg({"register", id, "s3cret", "--pubkey", pub}).said(), "0: ok\n");
    EXPECT_EQ(keyreg({"register", "mallory", "s3cret", "--pubkey", pub}).said(), "1: communicate failed\n");
    std::string masked = keyreg({"table"}).out;
    EXPECT_NE(masked.find(id), std::string::npos) << masked;
    EXPECT_NE(masked.find("******"), std::string::npos) << masked;
    EXPECT_EQ(masked.find("s3cret"), std::string::npos) << "a key shown without --show-keys";
    EXPECT_NE(keyreg({"table", "--show-keys"}).out.find("s3cret"), std::string::npos);
    for (bool show : {false, true}) {
        std::vector<std::string> args = {"table", "--json"};
        if (show) args.push_back("--show-keys");
        nlohmann::json table = nlohmann::json::parse(keyreg(args).out);
        nlohmann::json expected = {{"slot", 0}, {"id", 0},      {"useridLen", id.size()},
                                   {"userid", id}, {"keyLen", 6}, {"key", show ? "s3cret" : "******"}};
        EXPECT_EQ(table, nlohmann::json({{"slots", kTableSlots}, {"records", {expected}}})) << table.dump();
    }
    std::string message = keyreg({"encode", id, "s3cret", "hello"}).out;
    ASSERT_FALSE(message.empty());
    message.pop_back();  // as $(...) drops the newline
    EXPECT_EQ(keyreg({"decode", message}).out, "hello\n");
}

// Up to 5 bytes always fit; longer texts only when their ciphertext happens
// to be valid UTF-8 (RFC 3629: no overlong forms, which JSON readers refuse).
TEST_F(Tool, MessagesDecodeBackOrAreRefusedForTheirLength) {
    shareMemoryHandle table(kTableSlots, kTableIpcKey);
    const std::vector<std::string> texts = {"", "a", "hi", "abc", "four", "hello", "sixsix", "a message of 22 bytes"};
    int longerCarried = 0;
    for (int k = 0; k < 12; k++) {
        std::string key = "key-" + std::to_string(k * 7919), user = "user-" + std::to_string(k);
        shareMemoryItem item = harness::record(user, key);
        ASSERT_EQ(table.addItem(item), 0);
        for (const std::string& text : texts) {
            SCOPED_TRACE("key " + key + ", text \"" + text + "\"");
            ToolRun encoded = keyreg({"encode", user, key, text});
            if (encoded.status != 0) {
                EXPECT_EQ(encoded.status, 2);
                EXPECT_GT(text.size(), 5u) << encoded.err;
                EXPECT_NE(encoded.err.find("UTF-8"), std::string::npos) << encoded.err;
                continue;
            }
            if (text.size() > 5) longerCarried++;
            std::string line = encoded.out.substr(0, encoded.out.size() - 1);
            for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << line;
            EXPECT_EQ(keyreg({"decode", line}).out, text + "\n") << line;
        }
    }
    // Some longer texts must fit too, under some key: the filler makes them valid UTF-8.
    EXPECT_GT(longerCarried, 0) << "no text longer than 5 bytes was carried";
    shmdt(table.items);
}

}  // namespace
