// The README's quick start, line by line, with the real keyreg tool and the
// real server; then the tool's answers when things are missing or wrong.
#include "harness.h"

#include "Util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// keyreg run in dir; its exit status checked when wantStatus is given.
ToolRun keyreg(const std::vector<std::string>& args, const std::string& dir = "", int wantStatus = -1) {
    std::vector<std::string> argv = {KEYREG_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = harness::runCommand(argv, &run.out, &run.err, dir);
    EXPECT_TRUE(wantStatus < 0 || run.status == wantStatus) << "keyreg " << args.at(0) << ": " << run.status << ", "
                                                            << run.err;
    return run;
}

// What $(...) makes of the output: the trailing newline dropped.
std::string captured(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool tableExists() { return shmget(291, 0, 0) >= 0; }

// Only ever called inside the private IPC namespace.
void removeTable() {
    int id = shmget(291, 0, 0);
    ASSERT_TRUE(id < 0 || shmctl(id, IPC_RMID, nullptr) == 0);
}

// Through a handle of its own, detached again, so that a later removeTable in
// the same process leaves no stale attachment behind.
void storeKey(const std::string& userid, const std::string& key) {
    shareMemoryItem item = harness::record(userid, key);
    shareMemoryHandle table(kTableSlots, kTableIpcKey);
    EXPECT_EQ(table.addItem(item), 0);
    EXPECT_EQ(shmdt(table.items), 0);
}

}  // namespace

// In a checkout-like folder: the server works in var/server with a key made
// by keygen, as scripts/run-server does on its first run.
TEST(QuickStart, ReadmeLinesWorkAsDescribed) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    std::string root = harness::makeTempDir("quickstart");
    harness::ServerProcess server;
    ASSERT_EQ(mkdir((root + "/var").c_str(), 0755), 0);
    ASSERT_EQ(keyreg({"keygen", "--dir", "var/server"}, root, 0).status, 0);
    struct stat st;
    ASSERT_EQ(stat((root + "/var/server/private.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_TRUE(server.start(root + "/var/server"));
    ASSERT_TRUE(server.waitReady()) << server.stderrText();

    const std::string pub = "var/server/public.pem";
    EXPECT_EQ(keyreg({"register", "dorvanek", "s3cret", "--pubkey", pub}, root, 0).out, "ok\n");
    EXPECT_EQ(keyreg({"register", "mallory", "s3cret", "--pubkey", pub}, root, 1).out, "communicate failed\n");

    std::vector<shareMemoryItem> before = harness::readTable();
    std::string table = keyreg({"table"}, root, 0).out;
    for (const char* shown : {"dorvanek", "******"}) EXPECT_NE(table.find(shown), std::string::npos) << table;
    for (const char* hidden : {"s3cret", "mallory"}) EXPECT_EQ(table.find(hidden), std::string::npos) << table;
    EXPECT_NE(keyreg({"table", "--show-keys"}, root, 0).out.find("s3cret"), std::string::npos);
    std::vector<shareMemoryItem> after = harness::readTable();
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ(memcmp(before.data(), after.data(), before.size() * sizeof(shareMemoryItem)), 0) << "table changed it";

    std::string msg = captured(keyreg({"encode", "dorvanek", "s3cret", "hello"}, root, 0).out);
    EXPECT_EQ(keyreg({"decode", msg}, root, 0).out, "hello\n");
    server.stop();
    if (!testing::Test::HasFailure()) harness::removeTree(root);
}

// Each run: its exit status, nothing on standard output unless wanted, and
// the words that explain it. Status 2 means the tool could not do its job.
TEST(KeyregTool, ErrorsExitWithStatusAndReason) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    std::string dir = harness::makeTempDir("tool");
    harness::writeKeyPair(dir);  // 1024 bits cannot carry a 99-byte key
    const std::string pub = dir + "/public.pem";
    const std::string keysDir = dir + "/keys", emptyDir = dir + "/empty";
    ASSERT_EQ(mkdir(emptyDir.c_str(), 0755), 0);
    // A peer that accepts and never answers.
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8811);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    struct Case {
        std::vector<std::string> args;
        int status;
        std::string inErr;  // in standard output for status 0
    };
    std::vector<Case> withoutTable = {
        {{}, 2, "usage"},
        {{"--help"}, 0, "register"},
        {{"frobnicate"}, 2, ""},
        {{"register", "dorvanek"}, 2, ""},
        {{"table", "--bogus"}, 2, ""},
        {{"register", "dorvanek", "k", "--port", "0"}, 2, ""},
        {{"keygen", "--dir", dir, "--bits", "1024"}, 2, "--force"},
        {{"register", "dorvanek", "s3cret", "--pubkey", pub}, 2, "127.0.0.1:8800"},
        {{"register", "dorvanek", std::string(99, 'k'), "--pubkey", pub}, 2, "127.0.0.1:8800"},
        {{"register", "dorvanek", std::string(100, 'k'), "--pubkey", pub}, 2, "99"},
        {{"register", "dorvanek", "s3cret"}, 2, "public.pem"},
        {{"register", "dorvanek", "s3cret", "--pubkey", "/dev/null"}, 2, "/dev/null"},
        {{"register", "dorvanek", "s3cret", "--pubkey", pub, "--port", "8811", "--timeout", "1"}, 2, "no complete reply"},
        {{"encode", "dorvanek", std::string(100, 'k'), "hi"}, 2, "99"},
        {{"encode", "dorvanek", "key-0", "eight..8"}, 2, "bytes 0 to 7 is not valid UTF-8"},
        {{"table"}, 2, "no key table"},
        {{"decode", "{\"id\":\"dorvanek\",\"mes\":\"\"}"}, 2, "no key table"},
    };
    std::vector<Case> withTable = {
        {{"decode", "{\"id\":\"talumesko\",\"mes\":\"\"}"}, 1, "no key is registered for user id \"talumesko\""},
        {{"decode", "{\"id\":\"dorvanek\",\"mes\":\"\"}"}, 0, "\n"},
    };
    for (const char* command : {"keygen", "register", "table", "encode", "decode"})
        withoutTable.push_back({{command, "--help"}, 0, std::string("keyreg ") + command});
    for (const char* bits : {"512", "1023", "8193", "2048x", ""})
        withoutTable.push_back({{"keygen", "--dir", keysDir, "--bits", bits}, 2, ""});
    for (const char* bad : {"not json", "{\"id\":\"dorvanek\"}", "{\"id\":5,\"mes\":\"\"}", "[1]", "{} x"})
        withTable.push_back({{"decode", bad}, 2, ""});
    std::string privateBefore = fileText(dir + "/private.pem");
    auto check = [&](const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            std::string line;
            for (const std::string& arg : c.args) line += " " + arg.substr(0, 30);
            SCOPED_TRACE("keyreg" + line);
            auto start = std::chrono::steady_clock::now();
            ToolRun run = keyreg(c.args, emptyDir, c.status);
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
            EXPECT_NE((c.status ? run.err : run.out).find(c.inErr), std::string::npos) << run.out << run.err;
            EXPECT_TRUE(c.status == 0 || !run.err.empty());
            EXPECT_TRUE(c.status != 2 || run.out.empty()) << run.out;
        }
    };
    check(withoutTable);
    EXPECT_FALSE(tableExists()) << "a table was made where none was";
    storeKey("dorvanek", "s3cret");
    check(withTable);
    close(listener);
    EXPECT_EQ(fileText(dir + "/private.pem"), privateBefore) << "keygen replaced a key without --force";
    EXPECT_NE(access((keysDir + "/private.pem").c_str(), F_OK), 0);
    ASSERT_EQ(keyreg({"keygen", "--dir", dir, "--bits", "1024", "--force"}).status, 0);
    EXPECT_NE(fileText(dir + "/private.pem"), privateBefore);
    if (!testing::Test::HasFailure()) harness::removeTree(dir);
}

// Up to 5 bytes always fit; longer texts only when the ciphertext is valid
// UTF-8. Either way: one ASCII JSON line that decodes back, or a clear refusal.
TEST(KeyregTool, EncodedMessagesDecodeBackOrAreRefused) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::vector<std::string> texts = {"", "a", "hi", "abc", "four", "hello", "sixsix", "seven!7",
                                            "eight..8", "a longer message of some thirty bytes"};
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int k = 0; k < 8; k++) {
        for (const std::string& text : texts) pairs.emplace_back("key-" + std::to_string(k * 7919), text);
    }
    // The ciphertext of "hello wo" under key-8 ends in the first two bytes of
    // a three-byte UTF-8 sequence that only the final block completes.
    pairs.emplace_back("key-8", "hello wo");
    for (const auto& pair : pairs) {
        SCOPED_TRACE("key " + pair.first + ", text \"" + pair.second + "\"");
        std::string userid = "user-" + pair.first;
        storeKey(userid, pair.first);
        ToolRun encoded = keyreg({"encode", userid, pair.first, pair.second});
        if (encoded.status != 0) {
            EXPECT_EQ(encoded.status, 2);
            EXPECT_EQ(encoded.out, "");
            EXPECT_NE(encoded.err.find("UTF-8"), std::string::npos) << encoded.err;
            EXPECT_GT(pair.second.size(), 5u);
            EXPECT_NE(pair.first, "key-8");
            continue;
        }
        std::string line = captured(encoded.out);
        EXPECT_EQ(line.rfind("{\"id\":\"" + userid + "\",\"mes\":\"", 0), 0u) << line;
        for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << line;
        EXPECT_EQ(keyreg({"decode", line}, "", 0).out, pair.second + "\n") << line;
    }
}
