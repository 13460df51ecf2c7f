// --state FILE with the real server: acknowledged keys survive kills at any
// step and reboots, a stop answers what it read, a second server changes
// nothing, a damaged file is refused by name, and a failed flush or a full
// disk is no "ok" that could come back.
#include "harness.h"
#include "state/state_file.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
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

    std::string replyTo(const std::string& block) {
        int fd = harness::connectTo();
        std::string got = fd >= 0 && harness::sendAll(fd, block) ? harness::readReply(fd) : "";
        if (fd >= 0) close(fd);
        return got;
    }

    // Key "fill" for each user id but the first: blocks to send again and again.
    std::vector<std::string> fillBlocks() {
        std::vector<std::string> blocks;
        for (size_t i = 1; i < allowedIds().size(); i++) blocks.push_back(request(allowedIds()[i], "fill"));
        return blocks;
    }

    // n registrations over 16 connections at once: how many were answered "ok".
    size_t registerMany(const std::vector<std::string>& blocks, size_t n) {
        std::atomic<size_t> next{0}, ok{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 16; t++)
            threads.emplace_back([&] {
                int fd = harness::connectTo();
                for (size_t i; (i = next++) < n && harness::sendAll(fd, blocks[i % blocks.size()]) &&
                               harness::readReply(fd) == kOk;)
                    ok++;
                close(fd);
            });
        for (std::thread& t : threads) t.join();
        return ok;
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

typedef std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> PublicKey;
PublicKey readPublicKey(const std::string& pemPath) {
    FILE* pem = fopen(pemPath.c_str(), "r");
    PublicKey key(pem ? PEM_read_PUBKEY(pem, nullptr, nullptr, nullptr) : nullptr, EVP_PKEY_free);
    if (pem) fclose(pem);
    return key;
}

// One writer per user id registers key 0, 1, 2, ... on one connection: the
// last acknowledged key, or the one in flight after it, must come back.
struct Writer {
    std::atomic<int> acked{-1}, sent{-1};
    std::string key(int n) const { return n < 0 ? "<none>" : "key-" + std::to_string(n); }
};

TEST_F(State, AcknowledgedKeysSurviveKillsAndReboots) {
    PublicKey key = readPublicKey(publicKey);
    ASSERT_TRUE(key);
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
        off_t size;  // what the file is made to measure, when not 0
    } rows[] = {
        {"cut in the middle", good.substr(0, good.size() / 2), path, 65, 0},
        {"one byte flipped", flipped, path, 65, 0},
        {"a byte after its last entry", good + "x", path, 65, 0},
        {"far larger than memory", good, path, 65, off_t(1) << 40},
        {"no such directory", good, dir + "/missing/keys.state", 74, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        harness::writeFile(path, row.bytes);
        ASSERT_TRUE(row.size == 0 || truncate(path.c_str(), row.size) == 0);
        EXPECT_EQ(examineStateFile(row.file).status, row.status);
        server.args = {"--state", row.file};
        ASSERT_TRUE(server.start(dir));
        EXPECT_EQ(server.waitExit(10000), row.status);
        EXPECT_NE(server.log().find(row.file), std::string::npos) << server.log();
        EXPECT_TRUE(harness::readTable().empty()) << "a table was made from a damaged file";
    }
}

// A burst of failed flushes (the first batch's and that of the entry that
// voids it, then the second batch's): those registrations are refused and not
// stored, the server says so once, and the next one is served and kept.
TEST_F(State, FailedFlushIsNoOk) {
    STRACE_OR_SKIP(strace, "fdatasync:error=EIO:when=1..3");
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

// A registration refused because its flush failed never comes back after a
// clean stop, with the table kept or gone. When the disk stays broken (every
// flush, and each write after the batch's own, fail), the stop says whose
// registrations the file may still hold, and the next start loads them.
TEST_F(State, ARefusedRegistrationNeverComesBack) {
    const struct {
        const char* name;
        std::vector<std::string> injections;
        bool reboot;
        const char* said;  // at the stop
        const char* after;
    } rows[] = {
        {"a restart", {"fdatasync:error=EIO:when=1"}, false, "", "<none>"},
        {"a reboot", {"fdatasync:error=EIO:when=1"}, true, "", "<none>"},
        {"a disk that stays broken", {"fdatasync:error=EIO:when=1+", "pwrite64:error=EIO:when=2+"}, true,
         "may still hold registrations of dorvanek", "refused"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        STRACE_OR_SKIP(strace, {row.injections});
        ASSERT_NO_FATAL_FAILURE(startServer(strace));
        EXPECT_EQ(registerOnce(allowedIds()[0], "refused"), kFailed);
        EXPECT_EQ(keyOf(allowedIds()[0]), "<none>");
        EXPECT_EQ(row.reboot ? stopAndReboot(SIGTERM) : server.stop(SIGTERM), 0);
        EXPECT_NE(server.log().find(row.said), std::string::npos) << server.log();
        ASSERT_NO_FATAL_FAILURE(startServer());
        EXPECT_EQ(keyOf(allowedIds()[0]), row.after);
        stopAndReboot(SIGKILL);
        unlink(path.c_str());
    }
}

// A second server on the file, in a network of its own (its bind succeeds)
// or in the same one (its bind fails), changes neither the file nor its
// folder nor the table; the first serves on, and its next "ok" survives a
// kill and a reboot.
TEST_F(State, ASecondServerChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(allowedIds()[0], "first"), kOk);
    StateCheck check = examineStateFile(path);
    EXPECT_TRUE(check.exists && check.status == 75 && check.holder == server.pid) << check.problem;
    const struct {
        const char* name;
        std::vector<std::string> prefix;
        int status;
        std::vector<std::string> said;
    } rows[] = {
        {"a network of its own", {"unshare", "--net", "--"}, 75, {path, "pid " + std::to_string(server.pid)}},
        {"the same network", {}, 255, {"bind error"}},
    };
    auto look = [&] {
        struct stat st;
        std::string seen = stat(path.c_str(), &st) == 0 ? std::to_string(st.st_ino) : "none";
        for (const auto& entry : std::filesystem::directory_iterator(dir)) seen += " " + entry.path().string();
        for (const shareMemoryItem& slot : harness::readTable()) seen.append(reinterpret_cast<const char*>(&slot), sizeof slot);
        return seen + harness::readFile(path);
    };
    harness::ServerProcess second;
    second.args = server.args;
    std::filesystem::create_directories(dir + "/second");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string before = look();
        ASSERT_TRUE(second.start(dir + "/second", row.prefix));
        EXPECT_EQ(second.waitExit(10000), row.status);
        for (const std::string& words : row.said) EXPECT_NE(second.log().find(words), std::string::npos) << second.log();
        EXPECT_TRUE(look() == before) << "changed by the second server";
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid) + "/fd"))
            EXPECT_EQ(std::filesystem::read_symlink(fd, ignored).string().find("(deleted)"), std::string::npos);
    }
    ASSERT_EQ(registerOnce(allowedIds()[0], "after"), kOk);
    stopAndReboot(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(keyOf(allowedIds()[0]), "after");
}

// The calls of a trace (strace -f -y) that name the state folder, each as the
// injection that kills the server at it: its thread's n-th call of that name,
// as strace counts for each thread.
std::vector<std::string> killsAtStateCalls(const std::string& trace, const std::string& folder) {
    std::map<std::string, int> seen;
    std::vector<std::string> kills;
    std::istringstream lines(trace);
    for (std::string line, tid, call; std::getline(lines, line);) {
        std::istringstream(line) >> tid >> call;
        if (call.find('(') == std::string::npos || call[0] == '<') continue;
        std::string name = call.substr(0, call.find('('));
        int n = ++seen[tid + name];
        if (line.find(folder + "/") != std::string::npos || line.find(folder + ">") != std::string::npos)
            kills.push_back(name + ":signal=KILL:when=" + std::to_string(n));
    }
    return kills;
}

// A SIGKILL at each call that the state file's write paths make, before it
// (the call after it stands for "after"), and once after the last: the first
// creation with the lock, the rewrite at start-up, the rewrite once the log's
// room is used up, then a commit. After a reboot the server starts on the
// file, holds every key answered "ok" and none that nobody sent.
TEST_F(State, ACrashAtAnyStepLosesNothingAcknowledged) {
    const std::string folder = dir + "/st";
    path = folder + "/keys.state";
    server.args = {"--state", path};
    const std::vector<std::string> fill = fillBlocks();
    const std::vector<std::string> keys = {"k1", "k2"}, blocks = {request(allowedIds()[0], "k1"), request(allowedIds()[0], "k2")};
    std::filesystem::create_directories(folder);
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerMany(fill, fill.size()), fill.size());
    stopAndReboot(SIGKILL);
    const std::string registered = harness::readFile(path);
    const struct {
        const char* name;
        const char* file;  // what the folder holds first
        const char* calls;
    } rows[] = {{"first creation", "", "openat,fcntl,pwrite64,fsync,rename"},
                {"start-up rewrite", "registered", "openat,fcntl,pwrite64,fsync,rename"},
                {"rewrite of a full log, then a commit", "", "pwrite64,fsync,fdatasync,rename"}};
    size_t points = 0;
    auto started = std::chrono::steady_clock::now();
    for (const auto& row : rows) {
        const bool serving = row.calls[0] == 'p';
        auto crash = [&](const std::string& kill) {
            SCOPED_TRACE(std::string(row.name) + ", " + (kill.empty() ? "after the last call" : "at " + kill));
            points++;
            harness::removeTree(folder);
            std::filesystem::create_directories(folder);
            if (*row.file) harness::writeFile(path, registered);
            std::vector<std::string> strace = {"strace", "-f", "-y", "-o", dir + "/trace", "-e", std::string("trace=") + row.calls};
            if (!kill.empty()) strace.insert(strace.end(), {"-e", "inject=" + kill});
            size_t acked = 0;
            harness::ServerProcess tracer;
            if (!serving) {
                strace.push_back("--");
                ASSERT_TRUE(server.start(dir, strace));
                EXPECT_NE(server.waitReady(), !kill.empty()) << "killed before or after the start-up: " << server.log();
            } else {
                ASSERT_NO_FATAL_FAILURE(startServer());
                ASSERT_EQ(registerMany(fill, kStateLogRoom), kStateLogRoom);
                tracer.program = strace[0];
                tracer.args.assign(strace.begin() + 1, strace.end());
                tracer.args.insert(tracer.args.end(), {"-p", std::to_string(server.pid)});
                std::filesystem::create_directories(dir + "/tracer");
                ASSERT_TRUE(tracer.start(dir + "/tracer"));
                ASSERT_TRUE(harness::waitUntil([&] { return tracer.log().find("attached") != std::string::npos; }));
                while (acked < blocks.size() && replyTo(blocks[acked]) == kOk) acked++;
                bool killed = harness::waitUntil([&] { return !server.alive(); }, kill.empty() ? 0 : 10000);
                EXPECT_EQ(killed, !kill.empty()) << "killed at none of the calls, or at one not listed";
            }
            stopAndReboot(SIGKILL);
            tracer.waitExit(10000);
            ASSERT_NO_FATAL_FAILURE(startServer());
            // The last key answered "ok", or one sent after it.
            std::string got = keyOf(allowedIds()[0]);
            bool fine = acked == 0 && got == "<none>";
            for (size_t j = acked > 0 ? acked - 1 : 0; j < (serving ? keys.size() : 0); j++) fine = fine || got == keys[j];
            EXPECT_TRUE(fine) << allowedIds()[0] << " holds " << got << " after " << acked << " answered ok";
            for (size_t i = 1; i < allowedIds().size(); i++)
                EXPECT_EQ(keyOf(allowedIds()[i]), *row.file || serving ? "fill" : "<none>") << allowedIds()[i];
            stopAndReboot(SIGKILL);
        };
        crash("");
        for (const std::string& kill : killsAtStateCalls(harness::readFile(dir + "/trace"), folder)) crash(kill);
    }
    std::cout << points << " crash points in "
              << std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count() << " s\n";
}

// The state folder on a small tmpfs that a filler fills up once the file is
// made: the log's room still takes commits, but the rewrite that its end
// calls for finds no room, so registrations are refused, said once; once the
// filler is gone they are served again, and every "ok" survives a reboot.
TEST_F(State, AFullDiskRefusesUntilThereIsRoomAgain) {
    const std::string folder = dir + "/st";
    std::filesystem::create_directories(folder);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
        KEYREG_SKIP(std::string("cannot mount a tmpfs of its own: ") + strerror(errno));
    path = folder + "/keys.state";
    server.args = {"--state", path};
    ASSERT_NO_FATAL_FAILURE(startServer());
    FILE* filler = fopen((folder + "/filler").c_str(), "w");
    ASSERT_NE(filler, nullptr);
    for (const std::string block(4096, 'x'); fwrite(block.data(), 1, block.size(), filler) == block.size() && fflush(filler) == 0;) {
    }
    fclose(filler);
    ASSERT_EQ(registerMany(fillBlocks(), kStateLogRoom), kStateLogRoom);
    for (const char* key : {"refused", "refused again"}) EXPECT_EQ(registerOnce(allowedIds()[0], key), kFailed) << key;
    std::string log = server.log();
    size_t said = log.find("No space left on device");
    EXPECT_TRUE(said != std::string::npos && log.find("No space", said + 1) == std::string::npos) << log;
    unlink((folder + "/filler").c_str());
    EXPECT_EQ(registerOnce(allowedIds()[0], "kept"), kOk);
    stopAndReboot(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t i = 0; i < allowedIds().size(); i++) EXPECT_EQ(keyOf(allowedIds()[i]), i == 0 ? "kept" : "fill");
}

// SIGTERM while clients send as fast as they can to a slow disk, so that
// registrations wait behind a flush: every request that the server read (its
// log shows each one decrypted) is answered whole, and each "ok" survives a
// reboot.
TEST_F(State, AStopAnswersWhatItReadAndKeepsEachOk) {
    PublicKey key = readPublicKey(publicKey);
    ASSERT_TRUE(key);
    STRACE_OR_SKIP(strace, "fdatasync:delay_enter=200000");
    ASSERT_NO_FATAL_FAILURE(startServer(strace));
    std::vector<Writer> writers(allowedIds().size());
    std::atomic<int> torn{0};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < writers.size(); w++)
        threads.emplace_back([&, w] {
            int fd = harness::connectTo();
            for (int n = 0;; n++) {
                std::string text = nlohmann::json{{"userid", allowedIds()[w]}, {"key", std::to_string(w) + writers[w].key(n)}}.dump();
                std::string reply = harness::sendAll(fd, encryptQuickly(key.get(), text)) ? harness::readReply(fd) : "";
                if (reply != kOk) {
                    torn += !reply.empty();
                    break;
                }
                writers[w].acked = n;
            }
            close(fd);
        });
    harness::waitUntil([&] {
        for (const Writer& writer : writers)
            if (writer.acked < 2) return false;
        return true;
    });
    EXPECT_EQ(stopAndReboot(SIGTERM), 0);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(torn, 0) << "a reply that is not \"ok\"";
    const std::string log = server.log();
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t w = 0; w < writers.size(); w++) {
        const std::string last = std::to_string(w) + writers[w].key(writers[w].acked);
        EXPECT_EQ(log.find("\"" + std::to_string(w) + writers[w].key(writers[w].acked + 1) + "\""), std::string::npos)
            << "read, but not answered";
        EXPECT_EQ(keyOf(allowedIds()[w]), last);
    }
}

}  // namespace
