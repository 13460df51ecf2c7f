// --state FILE with the real server: acknowledged keys survive kills and
// reboots, a clean stop is clean, a damaged file is refused by name, and a
// failed flush is no "ok".
#include "harness.h"
#include "state/state_file.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

namespace {

using harness::allowedIds;
using harness::kFailed;
using harness::kOk;

class State : public harness::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        path = dir + "/keys.state";
        server.args = {"--state", path};
    }

    // A "reboot": the server gone, its segment with it.
    int stopAndReboot(int sig) {
        int status = server.stop(sig);
        harness::removeTable();
        return status;
    }

    std::string keyOf(const std::string& userid) {
        for (const shareMemoryItem& slot : harness::readTable())
            if (slot.id != -1 && userid == slot.userid) return slot.key;
        return "<none>";
    }

    std::string path;
};

// Requests made here rather than by the openssl command: the writers must
// outpace the server.
std::string encryptQuickly(EVP_PKEY* key, const std::string& text) {
    std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(EVP_PKEY_CTX_new(key, nullptr), EVP_PKEY_CTX_free);
    std::string block(static_cast<size_t>(EVP_PKEY_get_size(key)), '\0');
    size_t len = block.size();
    bool ok = EVP_PKEY_encrypt_init(ctx.get()) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx.get(), reinterpret_cast<unsigned char*>(&block[0]), &len,
                               reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
    return ok ? block.substr(0, len) : "";
}

// One writer per user id registers key 0, 1, 2, ... on one connection: the
// last acknowledged key, or the one in flight after it, must come back.
struct Writer {
    std::atomic<int> acked{-1}, sent{-1};
    std::string key(int n) const { return n < 0 ? "<none>" : "key-" + std::to_string(n); }
};

TEST_F(State, AcknowledgedKeysSurviveKillsAndReboots) {
    FILE* pem = fopen(publicKey.c_str(), "r");
    ASSERT_NE(pem, nullptr);
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> key(PEM_read_PUBKEY(pem, nullptr, nullptr, nullptr), EVP_PKEY_free);
    fclose(pem);
    // Stopped once the first writer has this many keys acknowledged in the round.
    const struct {
        int sig;
        int acks;
    } rounds[] = {{SIGKILL, 3}, {SIGKILL, 60}, {SIGTERM, 30}, {SIGKILL, 300}};
    std::vector<Writer> writers(4);
    for (const auto& round : rounds) {
        SCOPED_TRACE("signal " + std::to_string(round.sig) + " after " + std::to_string(round.acks) + " keys");
        ASSERT_NO_FATAL_FAILURE(startServer());
        // A user who registers once, first: rewrites must carry the key.
        if (writers[0].acked < 0) ASSERT_EQ(registerOnce(allowedIds()[4], "steady"), kOk);
        int start = writers[0].acked;
        std::vector<std::thread> threads;
        for (size_t w = 0; w < writers.size(); w++) {
            threads.emplace_back([&, w] {
                int fd = harness::connectTo();
                for (int n = writers[w].acked + 1;; n++) {
                    writers[w].sent = n;
                    std::string text = nlohmann::json{{"userid", allowedIds()[w]}, {"key", writers[w].key(n)}}.dump();
                    if (!harness::sendAll(fd, encryptQuickly(key.get(), text)) ||
                        harness::readReply(fd) != kOk)
                        break;
                    writers[w].acked = n;
                }
                close(fd);
            });
        }
        harness::waitUntil([&] { return writers[0].acked >= start + round.acks; });
        int status = stopAndReboot(round.sig);
        for (std::thread& t : threads) t.join();
        // The last round's log outgrows its room: the file was rewritten, not grown.
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_LE(st.st_size, static_cast<off_t>(512 + (kTableSlots + kStateLogRoom) * 256));
        if (round.sig == SIGTERM) {
            EXPECT_EQ(status, 0) << server.log();
        }
        ASSERT_NO_FATAL_FAILURE(startServer());
        for (size_t w = 0; w < writers.size(); w++) {
            std::string got = keyOf(allowedIds()[w]);
            EXPECT_TRUE(got == writers[w].key(writers[w].acked) || got == writers[w].key(writers[w].sent))
                << allowedIds()[w] << " holds " << got << ", acknowledged " << writers[w].acked;
        }
        EXPECT_EQ(keyOf(allowedIds()[4]), "steady");
        stopAndReboot(SIGKILL);
    }
}

// A key stored without --state is kept when the server restarts with it, and
// the file takes it in; after a clean stop and a reboot every record is back.
TEST_F(State, CleanStopAndRebootBringBackEveryRecord) {
    server.args.clear();
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(allowedIds()[4], "before the file"), kOk);
    server.stop();
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "a file was written without --state";
    server.args = {"--state", path};
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t i = 0; i < 4; i++) ASSERT_EQ(registerOnce(allowedIds()[i], "key of " + allowedIds()[i]), kOk);
    EXPECT_EQ(stopAndReboot(SIGTERM), 0) << server.log();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(keyOf(allowedIds()[4]), "before the file");
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(keyOf(allowedIds()[i]), "key of " + allowedIds()[i]);
}

// Refused before the port opens, naming the file, with the status that
// tells the operator (and systemd) whether the content is at fault; the
// table is not rebuilt.
TEST_F(State, DamagedOrUnusableFileIsRefusedByName) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (const char* key : {"old", "new"})
        for (size_t i = 0; i < 2; i++) ASSERT_EQ(registerOnce(allowedIds()[i], key), kOk);
    stopAndReboot(SIGTERM);
    const std::string good = harness::readFile(path);
    std::string flipped = good;
    flipped[good.size() - 100] ^= 0x20;
    const struct {
        const char* name;
        std::string bytes;  // written to path first
        std::string file;   // the file given to --state
        int status;
    } rows[] = {
        {"cut in the middle", good.substr(0, good.size() / 2), path, 65},
        {"one byte flipped", flipped, path, 65},
        {"no such directory", good, dir + "/missing/keys.state", 74},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        harness::writeFile(path, row.bytes);
        server.args = {"--state", row.file};
        ASSERT_TRUE(server.start(dir));
        EXPECT_EQ(server.waitExit(10000), row.status);
        EXPECT_NE(server.log().find(row.file), std::string::npos) << server.log();
        EXPECT_TRUE(harness::readTable().empty()) << "a table was made from a damaged file";
    }
}

// The first two flushes fail, a burst: those registrations are refused and
// not stored, the server says so once, and the next one is served and kept.
TEST_F(State, FailedFlushIsNoOk) {
    STRACE_OR_SKIP(strace, "fdatasync:error=EIO:when=1..2");
    ASSERT_NO_FATAL_FAILURE(startServer(strace));
    const std::string& id = allowedIds()[0];
    for (const char* lost : {"lost", "lost too"}) {
        EXPECT_EQ(registerOnce(id, lost), kFailed) << lost;
        EXPECT_EQ(keyOf(id), "<none>") << lost;
    }
    EXPECT_EQ(registerOnce(id, "kept"), kOk);
    EXPECT_EQ(keyOf(id), "kept");
    std::string log = server.log();
    size_t said = log.find("Input/output error");
    EXPECT_NE(said, std::string::npos) << log;
    EXPECT_EQ(log.find("Input/output error", said + 1), std::string::npos) << "said more than once: " << log;
    EXPECT_NE(log.find("writing works again"), std::string::npos) << log;
    stopAndReboot(SIGTERM);
    server.args = {"--state", path};
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(keyOf(id), "kept");
}

}  // namespace
