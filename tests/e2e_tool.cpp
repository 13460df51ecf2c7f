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

// prefix runs it under another program.
ToolRun keyreg(std::vector<std::string> args, std::vector<std::string> prefix = {}) {
    ToolRun run;
    args.insert(args.begin(), KEYREG_TOOL_PATH);
    args.insert(args.begin(), prefix.begin(), prefix.end());
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
    ASSERT_EQ(stat("var/server", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "the key folder is open to others";
    const std::string first = harness::readFile("var/server/private.pem");
    ASSERT_EQ(keyreg({"keygen", "--dir", "var/server", "--force", "--bits", "1024"}).status, 0);
    EXPECT_NE(harness::readFile("var/server/private.pem"), first) << "--force kept the old pair";
    EXPECT_EQ(harness::runCommand({"sh", "-c", "test \"$(ls -A var/server)\" = \"$(printf 'private.pem\\npublic.pem')\""}), 0)
        << "keygen left other names behind";
    ASSERT_EQ(keyreg({"keygen", "--dir", "var/server", "--force"}).status, 0);
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

// What the help texts and the README promise of each command's exit status,
// message and option ranges, row by row; with no table first, then with one.
TEST_F(Tool, ExitStatusesMessagesAndRangesAreAsDocumented) {
    ASSERT_EQ(keyreg({"keygen", "--dir", "keys"}).status, 0);
    const std::string pub = "keys/public.pem", id = harness::allowedIds()[0];
    struct Row {
        std::vector<std::string> args;
        int status;
        const char* says;  // in standard output or error
    };
    const Row withoutTable[] = {
        {{}, 2, "give a command"},
        {{"--bogus"}, 2, "usage:"},
        {{"keygen", "--dir", "keys"}, 2, "already exists"},
        {{"keygen", "--bits", "1023", "--dir", "k2"}, 2, "1024 to 8192"},
        {{"keygen", "--bits", "8193", "--dir", "k2"}, 2, "1024 to 8192"},
        {{"register", id, "k", "--pubkey", pub, "--port", "0"}, 2, "1 to 65535"},
        {{"register", id, "k", "--pubkey", pub, "--timeout", "3601"}, 2, "1 to 3600"},
        {{"register", id, "k", "--pubkey", "missing.pem"}, 2, "cannot open public key file"},
        {{"register", id, "k", "--pubkey", pub, "--port", "1"}, 2, "cannot connect"},
        {{"register", id, std::string(kMaxKeyBytes + 1, 'k'), "--pubkey", pub}, 2, "longer than 99 bytes"},
        {{"table"}, 2, "no key table"},
        {{"decode", R"({"id":"x","mes":""})"}, 2, "no key table"},
        {{"encode", id, "k", "--", "-x"}, 0, "\"mes\""},
        {{"encode", id, "k", "1234567"}, 2, "no filler makes the ciphertext of the last 7 message bytes"},
        {{"encode", id, "k", "12345678abcdefg"}, 2, "the ciphertext of message bytes 0 to 7 is not valid UTF-8"},
    };
    const Row withTable[] = {
        {{"decode", R"({"id":"nobody","mes":""})"}, 1, "no key is registered"},
        {{"decode", "not json"}, 2, "not a JSON text"},
        {{"decode", R"({"id":7,"mes":""})"}, 2, "\"id\" and \"mes\""},
        {{"register", "mallory", "k", "--pubkey", "public.pem"}, 1, "communicate failed"},
    };
    auto check = [](const Row& row) {
        ToolRun run = keyreg(row.args);
        std::string what;
        for (const std::string& a : row.args) what += " " + a.substr(0, 20);
        EXPECT_EQ(run.status, row.status) << "keyreg" << what << ": " << run.err;
        EXPECT_NE((run.out + run.err).find(row.says), std::string::npos) << "keyreg" << what << ": " << run.out << run.err;
    };
    for (const Row& row : withoutTable) check(row);
    // A key file that cannot be flushed or put in place: a failure, and nothing left behind.
    for (const char* fault : {"fsync:error=EIO:when=1", "link:error=EPERM"}) {
        STRACE_OR_SKIP(strace, fault);
        strace.insert(strace.end(), {"env", "ASAN_OPTIONS=detect_leaks=0"});  // LeakSanitizer cannot run traced
        EXPECT_EQ(keyreg({"keygen", "--dir", "k3"}, strace).said(), "2: ") << fault;
        EXPECT_EQ(harness::runCommand({"rmdir", "k3"}), 0) << fault << " left files in k3";
    }
    // A segment that nobody has written yet holds no record.
    int fresh = shmget(kTableIpcKey, kTableBytes, IPC_CREAT | kTableMode);
    ASSERT_GE(fresh, 0);
    check({{"table"}, 0, "0 of 100 slots in use"});
    ASSERT_EQ(shmctl(fresh, IPC_RMID, nullptr), 0);
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(id, "k"), harness::kOk);
    for (const Row& row : withTable) check(row);
}

// The server's own options: a bad one ends it with status 2 before it
// listens; --version and --help answer and end it with 0.
TEST(ServerOptions, RangesAndAnswersAreAsDocumented) {
    const struct {
        std::vector<std::string> args;
        int status;
        const char* says;
    } rows[] = {
        {{"--workers", "0"}, 2, "--workers"},
        {{"--workers", "257"}, 2, "--workers"},
        {{"--workers", "some"}, 2, "--workers"},
        {{"--bogus"}, 2, "bogus"},
        {{"--state", ""}, 2, "--state"},
        {{"--metrics", "127.0.0.1:99999"}, 2, "--metrics"},
        {{"--version"}, 0, "keyreg-server " KEYREG_VERSION},
        {{"--help"}, 0, "--state FILE"},
    };
    for (const auto& row : rows) {
        std::vector<std::string> argv = {KEYREG_SERVER_PATH};
        argv.insert(argv.end(), row.args.begin(), row.args.end());
        std::string out, err;
        EXPECT_EQ(harness::runCommand(argv, &out, &err), row.status) << row.args[0] << " " << err;
        EXPECT_NE((out + err).find(row.says), std::string::npos) << row.args[0] << ": " << out << err;
    }
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
