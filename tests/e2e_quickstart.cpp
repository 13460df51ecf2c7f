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

// keyreg with these arguments, run in dir; like the shell, $(...) drops the
// trailing newline of what it captures, so callers compare whole lines.
ToolRun keyreg(const std::vector<std::string>& args, const std::string& dir = "", int timeoutMs = 30000) {
    std::vector<std::string> argv = {KEYREG_TOOL_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    ToolRun run;
    run.status = harness::runCommand(argv, &run.out, &run.err, dir, timeoutMs);
    return run;
}

std::string withoutTrailingNewline(std::string text) {
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
    if (id >= 0) {
        ASSERT_EQ(shmctl(id, IPC_RMID, nullptr), 0);
    }
}

// Through a handle of its own, detached again, so that a later removeTable in
// the same process leaves no stale attachment behind.
void storeKey(const std::string& userid, const std::string& key) {
    shareMemoryItem item(-1);
    item.id = 0;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    shareMemoryHandle table(kTableSlots, kTableIpcKey);
    EXPECT_EQ(table.addItem(item), 0);
    EXPECT_EQ(shmdt(table.items), 0);
}

// A checkout-like folder: the server works in var/server, as with
// scripts/run-server, and the tool runs from the top.
struct QuickStartWorld {
    std::string root = harness::makeTempDir("quickstart");
    std::string serverDir = root + "/var/server";
    harness::ServerProcess server;

    ~QuickStartWorld() {
        server.stop();
        if (!testing::Test::HasFailure()) harness::removeTree(root);
    }
};

}  // namespace

TEST(QuickStart, ReadmeLinesWorkAsDescribed) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    QuickStartWorld world;
    ASSERT_EQ(mkdir((world.root + "/var").c_str(), 0755), 0);
    // What scripts/run-server does on its first run.
    ToolRun keygen = keyreg({"keygen", "--dir", "var/server"}, world.root);
    ASSERT_EQ(keygen.status, 0) << keygen.err;
    ASSERT_TRUE(world.server.start(world.serverDir));
    ASSERT_TRUE(world.server.waitReady()) << world.server.stderrText();

    ToolRun ok = keyreg({"register", "dorvanek", "s3cret", "--pubkey", "var/server/public.pem"}, world.root);
    EXPECT_EQ(ok.status, 0) << ok.err;
    EXPECT_EQ(ok.out, "ok\n");

    ToolRun refused = keyreg({"register", "mallory", "s3cret", "--pubkey", "var/server/public.pem"}, world.root);
    EXPECT_EQ(refused.status, 1) << refused.err;
    EXPECT_EQ(refused.out, "communicate failed\n");

    ToolRun table = keyreg({"table"}, world.root);
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_NE(table.out.find("dorvanek"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("******"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("s3cret"), std::string::npos) << table.out;
    EXPECT_EQ(table.out.find("mallory"), std::string::npos) << table.out;

    ToolRun shown = keyreg({"table", "--show-keys"}, world.root);
    EXPECT_EQ(shown.status, 0) << shown.err;
    EXPECT_NE(shown.out.find("s3cret"), std::string::npos) << shown.out;

    ToolRun encoded = keyreg({"encode", "dorvanek", "s3cret", "hello"}, world.root);
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    std::string msg = withoutTrailingNewline(encoded.out);
    ToolRun decoded = keyreg({"decode", msg}, world.root);
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, "hello\n");
}

// ---------------------------------------------------------------------------
// Usage.

TEST(KeyregTool, UsageAndHelp) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ToolRun bare = keyreg({});
    EXPECT_EQ(bare.status, 2);
    EXPECT_NE(bare.err.find("usage"), std::string::npos);

    ToolRun help = keyreg({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* command : {"keygen", "register", "table", "encode", "decode"}) {
        EXPECT_NE(help.out.find(command), std::string::npos) << command;
        ToolRun commandHelp = keyreg({command, "--help"});
        EXPECT_EQ(commandHelp.status, 0) << command;
        EXPECT_NE(commandHelp.out.find(std::string("keyreg ") + command), std::string::npos) << command;
    }
    EXPECT_EQ(keyreg({"frobnicate"}).status, 2);
    EXPECT_EQ(keyreg({"register", "dorvanek"}).status, 2);
    EXPECT_EQ(keyreg({"table", "--bogus"}).status, 2);
    EXPECT_EQ(keyreg({"register", "dorvanek", "k", "--port", "0"}).status, 2);
}

// ---------------------------------------------------------------------------
// keygen.

TEST(KeyregTool, KeygenRefusesToOverwriteUnlessForced) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("keygen");
    ASSERT_EQ(keyreg({"keygen", "--dir", dir, "--bits", "1024"}).status, 0);
    struct stat st;
    ASSERT_EQ(stat((dir + "/private.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string privateBefore = fileText(dir + "/private.pem");
    std::string publicBefore = fileText(dir + "/public.pem");
    EXPECT_NE(privateBefore.find("PRIVATE KEY"), std::string::npos);
    EXPECT_NE(publicBefore.find("BEGIN PUBLIC KEY"), std::string::npos);

    ToolRun again = keyreg({"keygen", "--dir", dir, "--bits", "1024"});
    EXPECT_EQ(again.status, 2);
    EXPECT_NE(again.err.find("--force"), std::string::npos) << again.err;
    EXPECT_EQ(fileText(dir + "/private.pem"), privateBefore);
    EXPECT_EQ(fileText(dir + "/public.pem"), publicBefore);

    ASSERT_EQ(keyreg({"keygen", "--dir", dir, "--bits", "1024", "--force"}).status, 0);
    EXPECT_NE(fileText(dir + "/private.pem"), privateBefore);
    EXPECT_NE(fileText(dir + "/public.pem"), publicBefore);
    ASSERT_EQ(stat((dir + "/private.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    harness::removeTree(dir);
}

TEST(KeyregTool, KeygenRefusesBitsOutOfRange) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("keygen-bits");
    for (const char* bits : {"512", "1023", "8193", "2048x", ""}) {
        ToolRun run = keyreg({"keygen", "--dir", dir, "--bits", bits});
        EXPECT_EQ(run.status, 2) << bits;
    }
    EXPECT_NE(access((dir + "/private.pem").c_str(), F_OK), 0);
    harness::removeTree(dir);
}

// A key made by keygen is one the server takes.
TEST(KeyregTool, ServerAcceptsRequestsUnderAKeygenKey) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("keygen-server");
    ASSERT_EQ(keyreg({"keygen", "--dir", dir, "--bits", "1024"}).status, 0);
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir));
    ASSERT_TRUE(server.waitReady());
    EXPECT_EQ(harness::registerOnce(dir + "/public.pem", "tuvi", "k"), harness::okReply());
    server.stop();
    harness::removeTree(dir);
}

// ---------------------------------------------------------------------------
// register.

TEST(KeyregTool, RegisterWithNoServerListeningExits2) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("noserver");
    harness::writeKeyPair(dir, 1024);
    ToolRun run = keyreg({"register", "dorvanek", "s3cret", "--pubkey", dir + "/public.pem"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("127.0.0.1:8800"), std::string::npos) << run.err;
    harness::removeTree(dir);
}

TEST(KeyregTool, RegisterNamesAMissingPublicKeyFile) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("nokey");
    ToolRun run = keyreg({"register", "dorvanek", "s3cret"}, dir);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("public.pem"), std::string::npos) << run.err;
    ToolRun garbage = keyreg({"register", "dorvanek", "s3cret", "--pubkey", "/dev/null"});
    EXPECT_EQ(garbage.status, 2);
    EXPECT_NE(garbage.err.find("/dev/null"), std::string::npos) << garbage.err;
    harness::removeTree(dir);
}

// Refused before anything is sent: with a server running, nothing reaches it.
TEST(KeyregTool, RegisterRefusesKeysOver99BytesBeforeSending) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    std::string dir = harness::makeTempDir("longkey");
    harness::writeKeyPair(dir);  // 1024 bits cannot carry a 99-byte key
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir));
    ASSERT_TRUE(server.waitReady());
    ToolRun run = keyreg({"register", "dorvanek", std::string(100, 'k'), "--pubkey", dir + "/public.pem"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("99"), std::string::npos) << run.err;
    EXPECT_EQ(harness::findRecord("dorvanek").id, -1);

    ToolRun longest = keyreg({"register", "dorvanek", std::string(99, 'k'), "--pubkey", dir + "/public.pem"});
    EXPECT_EQ(longest.status, 0) << longest.err;
    EXPECT_EQ(harness::findRecord("dorvanek").keyLen, 99);
    server.stop();
    harness::removeTree(dir);
}

// A peer that accepts and never answers: the reply wait ends at --timeout.
TEST(KeyregTool, RegisterGivesUpWhenNoReplyComes) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::string dir = harness::makeTempDir("silent");
    harness::writeKeyPair(dir, 1024);
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8811);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);

    auto started = std::chrono::steady_clock::now();
    ToolRun run = keyreg({"register", "dorvanek", "s3cret", "--pubkey", dir + "/public.pem", "--port", "8811",
                      "--timeout", "1"});
    auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("no complete reply"), std::string::npos) << run.err;
    EXPECT_LT(seconds, 5.0);
    close(listener);
    harness::removeTree(dir);
}

// ---------------------------------------------------------------------------
// table and decode without a table: reported, and no table made.

TEST(KeyregTool, TableWithoutASegmentExits2AndCreatesNone) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    ToolRun run = keyreg({"table"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("no key table"), std::string::npos) << run.err;
    EXPECT_FALSE(tableExists());
}

TEST(KeyregTool, DecodeWithoutASegmentExits2AndCreatesNone) {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    ToolRun run = keyreg({"decode", "{\"id\":\"dorvanek\",\"mes\":\"\"}"});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("no key table"), std::string::npos) << run.err;
    EXPECT_FALSE(tableExists());
}

TEST(KeyregTool, TableNeverChangesTheRecords) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("brenquolar", "kept-key");
    std::vector<shareMemoryItem> before = harness::readTable();
    ASSERT_EQ(keyreg({"table", "--show-keys"}).status, 0);
    std::vector<shareMemoryItem> after = harness::readTable();
    ASSERT_EQ(before.size(), after.size());
    EXPECT_EQ(memcmp(before.data(), after.data(), before.size() * sizeof(shareMemoryItem)), 0);
}

// ---------------------------------------------------------------------------
// encode and decode against a table filled in this process.

TEST(KeyregTool, DecodeReportsUnknownUsersAndBadMessages) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("dorvanek", "s3cret");
    ToolRun unknown = keyreg({"decode", "{\"id\":\"talumesko\",\"mes\":\"\"}"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_NE(unknown.err.find("no key is registered"), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("talumesko"), std::string::npos) << unknown.err;

    for (const char* bad : {"not json", "{\"id\":\"dorvanek\"}", "{\"id\":5,\"mes\":\"\"}", "[1]", "{} x"}) {
        ToolRun run = keyreg({"decode", bad});
        EXPECT_EQ(run.status, 2) << bad;
        EXPECT_EQ(run.out, "") << bad;
        EXPECT_FALSE(run.err.empty()) << bad;
    }
    ToolRun empty = keyreg({"decode", "{\"id\":\"dorvanek\",\"mes\":\"\"}"});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "\n");
}

// Up to 5 bytes always fit; 6 bytes and more fit only when the ciphertext is
// valid UTF-8. Either way: a clean round trip or a clear refusal, never a
// broken message.
TEST(KeyregTool, EncodedMessagesDecodeBackOrAreRefused) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::vector<std::string> texts = {"", "a", "hi", "abc", "four", "hello", "sixsix", "seven!7",
                                            "eight..8", "a longer message of some thirty bytes"};
    int refusedShort = 0;
    for (int k = 0; k < 8; k++) {
        std::string userid = "user" + std::to_string(k);
        std::string key = "key-" + std::to_string(k * 7919);
        storeKey(userid, key);
        for (const std::string& text : texts) {
            ToolRun encoded = keyreg({"encode", userid, key, text});
            if (encoded.status != 0) {
                EXPECT_EQ(encoded.status, 2) << text;
                EXPECT_EQ(encoded.out, "") << text;
                EXPECT_NE(encoded.err.find("UTF-8"), std::string::npos) << encoded.err;
                if (text.size() <= 5) refusedShort++;
                continue;
            }
            ToolRun decoded = keyreg({"decode", withoutTrailingNewline(encoded.out)});
            EXPECT_EQ(decoded.status, 0) << decoded.err;
            EXPECT_EQ(decoded.out, text + "\n") << "key " << key << ", message " << encoded.out;
        }
    }
    EXPECT_EQ(refusedShort, 0);
}

// The message is plain ASCII (non-ASCII ciphertext bytes as \u escapes), so
// it survives any terminal, and the tool never makes an invalid JSON text.
TEST(KeyregTool, EncodeOutputIsOneAsciiJsonLine) {
    SKIP_UNLESS_PRIVATE_WORLD();
    for (int k = 0; k < 20; k++) {
        ToolRun encoded = keyreg({"encode", "dorvanek", "k" + std::to_string(k), "msg"});
        ASSERT_EQ(encoded.status, 0) << encoded.err;
        std::string line = withoutTrailingNewline(encoded.out);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        for (char c : line) EXPECT_TRUE(c >= 0x20 && c < 0x7f) << line;
        EXPECT_EQ(line.rfind("{\"id\":\"dorvanek\",\"mes\":\"", 0), 0u) << line;
    }
}

TEST(KeyregTool, EncodeRefusesKeysOver99Bytes) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ToolRun run = keyreg({"encode", "dorvanek", std::string(100, 'k'), "hi"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("99"), std::string::npos) << run.err;
}

// Under "key-8" the ciphertext of "hello wo" ends in the first two bytes of a
// three-byte UTF-8 sequence: only a final block that starts with the missing
// byte makes the whole string valid, so a check block by block would refuse
// a message that can travel.
TEST(KeyregTool, EncodeCompletesAUtf8SequenceAcrossBlocks) {
    SKIP_UNLESS_PRIVATE_WORLD();
    storeKey("vestimorank", "key-8");
    ToolRun encoded = keyreg({"encode", "vestimorank", "key-8", "hello wo"});
    ASSERT_EQ(encoded.status, 0) << encoded.err;
    ToolRun decoded = keyreg({"decode", withoutTrailingNewline(encoded.out)});
    EXPECT_EQ(decoded.status, 0) << decoded.err;
    EXPECT_EQ(decoded.out, "hello wo\n");
}

TEST(KeyregTool, EncodeExplainsWhyAMessageCannotTravel) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ToolRun run = keyreg({"encode", "dorvanek", "key-0", "eight..8"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("bytes 0 to 7"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("not valid UTF-8"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("shorter message"), std::string::npos) << run.err;
}
