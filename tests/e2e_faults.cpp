// The server under hostile or careless clients and under load. Whatever the
// clients do, the server must stay up, keep serving the others promptly and
// answer nothing but the two replies of the protocol.
#include "harness.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

// Sanitized builds run several times slower; the time limits grow with them.
#ifndef __has_feature
#define __has_feature(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__) || __has_feature(address_sanitizer) || \
    __has_feature(thread_sanitizer)
const int kSlowdown = 3, kDefaultChurnSeconds = 6;
#else
const int kSlowdown = 1, kDefaultChurnSeconds = 20;
#endif

namespace {

// How long a client may wait for its reply while others misbehave.
const int kPromptReplyMs = 2000 * kSlowdown;
// The slowest of thousands of churn cycles, on a machine that other tests
// share: a bound for "no client was stuck", not a latency goal.
const int kChurnSlowestMs = 5000 * kSlowdown;
const std::vector<std::string> kAllowedIds = {"dorvanek", "talumesko", "tuvi", "brenquolar", "vestimorank"};

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Polls done() every stepMs until it holds or timeoutMs has passed.
bool waitFor(int timeoutMs, int stepMs, const std::function<bool()>& done) {
    for (long long deadline = nowMs() + timeoutMs;; sleepMs(stepMs)) {
        if (done()) return true;
        if (nowMs() >= deadline) return false;
    }
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
}

// The grace period lets an exit already under way complete (exit() from a
// worker is slow under the sanitizers); kill(pid, 0) would also succeed on a
// dead server not yet reaped.
bool serverRunning(harness::ServerProcess& server) { return server.pid > 0 && server.waitExit(200 * kSlowdown) < 0; }

// A connection to the server; a non-blocking one may still be shaking hands.
// A receive buffer must be set before the handshake to keep the window small.
int connectRaw(bool nonblocking, int receiveBuffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8800);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && ((receiveBuffer && setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer)) ||
                    (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) && errno != EINPROGRESS))) {
        close(fd);
        return -1;
    }
    return fd;
}

void closeAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

// RSA with no padding added on a block of a zero byte (to stay below the
// modulus), then afterZero, then 0x01 filler: the server finds whatever
// padding these bytes make.
std::string rawRsaBlock(const std::string& publicKeyPath, const std::string& afterZero) {
    FILE* fp = fopen(publicKeyPath.c_str(), "r");
    RSA* rsa = fp ? PEM_read_RSA_PUBKEY(fp, nullptr, nullptr, nullptr) : nullptr;
    if (fp) fclose(fp);
    std::string block = std::string(1, '\0') + afterZero, out(rsa ? static_cast<size_t>(RSA_size(rsa)) : 0, '\0');
    block.resize(out.size(), '\x01');
    int n = rsa ? RSA_public_encrypt(static_cast<int>(block.size()), reinterpret_cast<const unsigned char*>(block.data()),
                                     reinterpret_cast<unsigned char*>(&out[0]), rsa, RSA_NO_PADDING)
                : -1;
    RSA_free(rsa);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

class Faults : public ::testing::Test {
protected:
    void TearDown() override {
        server_.stop(SIGKILL);
        if (HasFailure()) fprintf(stderr, "server logs kept in %s\n", dir_.c_str());
        else if (!dir_.empty()) harness::removeTree(dir_);
    }

    // A fresh key pair and server, and no table left by an earlier test.
    void boot(const std::vector<std::string>& prefix = {}) {
        int table = shmget(kTableIpcKey, 0, 0);
        ASSERT_TRUE(table < 0 || shmctl(table, IPC_RMID, nullptr) == 0);
        dir_ = harness::makeTempDir("faults");
        harness::writeKeyPair(dir_, 2048);
        publicKey_ = dir_ + "/public.pem";
        ASSERT_TRUE(server_.start(dir_, prefix));
        ASSERT_TRUE(server_.waitReady()) << stderrTail();
    }

    // Boots, serves one client and returns the settled descriptor count.
    int bootWithBaseline() {
        boot();
        EXPECT_EQ(harness::registerOnce(publicKey_, "tuvi", "first"), harness::okReply());
        int last = server_.openDescriptorCount();
        long long stableSince = nowMs();
        waitFor(5000, 20, [&] {
            int now = server_.openDescriptorCount();
            if (now != last) last = now, stableSince = nowMs();
            return nowMs() - stableSince >= 300;
        });
        return last;
    }

    // Standard error without the flood of "accept error" lines, the tail only.
    std::string stderrTail() {
        std::istringstream in(server_.stderrText());
        std::string text;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("accept error", 0) != 0) text += line + "\n";
        }
        return text.size() > 3000 ? text.substr(text.size() - 3000) : text;
    }

    std::string request(const std::string& userid, const std::string& key) {
        return harness::encryptFor(publicKey_, harness::requestJson(userid, key));
    }

    void expectPromptRegistration(const std::string& userid, const std::string& key) {
        long long start = nowMs();
        EXPECT_EQ(harness::registerOnce(publicKey_, userid, key), harness::okReply()) << userid;
        EXPECT_LE(nowMs() - start, kPromptReplyMs) << "reply for " << userid << " was slow";
    }

    void expectDescriptorsBackTo(int baseline) {
        int count = -1;
        waitFor(5000 * kSlowdown, 50, [&] { return (count = server_.openDescriptorCount()) == baseline || count < 0; });
        EXPECT_EQ(count, baseline) << "descriptors left open by the server";
        EXPECT_TRUE(serverRunning(server_)) << stderrTail();
    }

    std::string dir_;
    std::string publicKey_;
    harness::ServerProcess server_;
};

// 64 descriptors and a burst of 200 clients. A client served before the burst
// asks again while none is left: it gets one of the two replies, and the
// server does not end (reading the key file needs a descriptor too).
TEST_F(Faults, DescriptorExhaustionIsSurvivedAndServiceResumes) {
    SKIP_UNLESS_PRIVATE_WORLD();
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1024);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0) << "the test itself needs a few hundred descriptors";
    ASSERT_NO_FATAL_FAILURE(boot({"prlimit", "--nofile=64", "--"}));
    int early = harness::connectServer();
    ASSERT_GE(early, 0);
    ASSERT_TRUE(harness::sendAll(early, request("dorvanek", "before")));
    ASSERT_EQ(harness::readReply(early), harness::okReply());

    std::vector<int> clients;
    for (int i = 0; i < 200; i++) {
        clients.push_back(connectRaw(true));
        ASSERT_GE(clients.back(), 0) << "client " << i << ": " << strerror(errno);
    }
    EXPECT_TRUE(waitFor(10000 * kSlowdown, 20,
                        [&] { return server_.stderrText().find("accept error") != std::string::npos; }))
        << "the server never ran out of descriptors; stderr:\n" << stderrTail();
    ASSERT_TRUE(harness::sendAll(early, request("dorvanek", "during")));
    std::string reply = harness::readReply(early, 100, 5000 * kSlowdown);
    EXPECT_TRUE(reply == harness::okReply() || reply == harness::failedReply()) << "got " << reply.size() << " bytes";
    ASSERT_TRUE(serverRunning(server_)) << stderrTail();
    close(early);
    closeAll(clients);

    std::string after;
    waitFor(10000 * kSlowdown, 100, [&] {
        after = harness::registerOnce(publicKey_, "tuvi", "after the burst");
        return after == harness::okReply() || !serverRunning(server_);
    });
    EXPECT_EQ(after, harness::okReply()) << stderrTail();
}

// Caps the TCP send buffers of this network namespace while it lives: the
// kernel would grow them to megabytes, which a never-reading client would
// take minutes to fill.
struct SendBufferLimit {
    const char* path = "/proc/sys/net/ipv4/tcp_wmem";
    std::string saved;
    bool applied = false;

    explicit SendBufferLimit(const std::string& limits) {
        std::getline(std::ifstream(path), saved);
        applied = !saved.empty() && write(limits);
    }
    ~SendBufferLimit() {
        if (applied) write(saved);
    }
    bool write(const std::string& value) { return static_cast<bool>(std::ofstream(path) << value << std::flush); }
};

// Sends requests and never reads a reply, until the server drops the
// connection (true) or the time is up. Small paced chunks let the server,
// which reads once per arrival, keep up and answer nearly all of them.
bool floodWithoutReading(int fd, long long deadline, std::mt19937 rng) {
    std::string chunk = randomBytes(rng, 200);
    while (nowMs() < deadline) {
        struct pollfd p = {fd, POLLOUT, 0};
        if (poll(&p, 1, 100) < 0 && errno != EINTR) return false;
        if (p.revents & (POLLERR | POLLHUP)) return true;
        if (!(p.revents & POLLOUT)) continue;
        ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && (errno == EPIPE || errno == ECONNRESET)) return true;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        sleepMs(2);
    }
    return false;
}

// More stalled readers than the server has workers: a worker that waited for
// one of them would leave nobody for the others.
TEST_F(Faults, ClientsThatNeverReadAreDroppedAndOthersServedPromptly) {
    SKIP_UNLESS_PRIVATE_WORLD();
    SendBufferLimit limit("4096 8192 8192");
    ASSERT_TRUE(limit.applied) << "cannot limit the send buffers of the private network";
    ASSERT_NO_FATAL_FAILURE(boot());
    const int kStalled = 4;
    long long deadline = nowMs() + 15000 * kSlowdown;
    std::vector<int> fds;
    for (int i = 0; i < kStalled; i++) {
        fds.push_back(connectRaw(false, 1024));
        ASSERT_GE(fds.back(), 0) << strerror(errno);
    }
    std::atomic<int> dropped{0};
    std::vector<std::thread> flooders;
    for (int i = 0; i < kStalled; i++) {
        flooders.emplace_back([&dropped, &fds, deadline, i] {
            if (floodWithoutReading(fds[i], deadline, std::mt19937(static_cast<unsigned>(i)))) dropped++;
        });
    }
    size_t served = 0;
    for (; dropped.load() < kStalled && nowMs() < deadline; served++, sleepMs(100))
        expectPromptRegistration(kAllowedIds[served % kAllowedIds.size()], "served");
    for (std::thread& t : flooders) t.join();
    closeAll(fds);

    EXPECT_EQ(dropped.load(), kStalled) << "a client that never reads was kept forever";
    EXPECT_GT(served, 0u);
    expectPromptRegistration("tuvi", "after the stalled readers");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Half an RSA block is all one read gets: it is refused at once, and silent
// clients keep no worker waiting for the rest.
TEST_F(Faults, HalfBlocksAreRefusedAtOnceAndSilentClientsHoldNobodyUp) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    std::string block = request("brenquolar", "half block");
    std::vector<int> silent;
    for (int i = 0; i < 5; i++) {
        silent.push_back(harness::connectServer());
        ASSERT_GE(silent.back(), 0);
        ASSERT_TRUE(harness::sendAll(silent.back(), block.substr(0, block.size() / 2)));
        EXPECT_EQ(harness::readReply(silent.back(), 100, kPromptReplyMs), harness::failedReply()) << i;
    }
    for (const std::string& id : kAllowedIds) expectPromptRegistration(id, "while others are silent");
    // The second half on its own is just as unusable, on a connection still served.
    for (int fd : silent) {
        ASSERT_TRUE(harness::sendAll(fd, block.substr(block.size() / 2)));
        EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply());
    }
    closeAll(silent);
    EXPECT_STRNE(harness::findRecord("brenquolar").key, "half block") << "a block from two reads was stored";
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// A reset (not an orderly close) meets the reply, or the read, of the server.
TEST_F(Faults, ClientsResettingMidReplyLeaveNoTrace) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int baseline = bootWithBaseline();
    ASSERT_FALSE(HasFatalFailure());
    std::string block = request("vestimorank", "reset");
    std::atomic<int> resets{0};
    std::vector<std::thread> resetters;
    for (int t = 0; t < 3; t++) {
        resetters.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                int fd = harness::connectServer();
                if (fd < 0) continue;
                if (harness::sendAll(fd, block)) resets++;
                if (i % 2) sleepMs(1);  // the reset comes before the reply or after it
                struct linger hard = {1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
                close(fd);
            }
        });
    }
    for (int i = 0; i < 5; i++) expectPromptRegistration("talumesko", "among resets " + std::to_string(i));
    for (std::thread& t : resetters) t.join();

    EXPECT_GT(resets.load(), 0);
    expectPromptRegistration("dorvanek", "after the resets");
    expectDescriptorsBackTo(baseline);
}

// Many short connections from several threads at once, for
// KEYREG_CHURN_SECONDS if set.
TEST_F(Faults, ConnectionChurnIsServedRightAndLeavesNoDescriptorsBehind) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int baseline = bootWithBaseline();
    ASSERT_FALSE(HasFatalFailure());
    const char* env = getenv("KEYREG_CHURN_SECONDS");
    int seconds = env && atoi(env) > 0 ? atoi(env) : kDefaultChurnSeconds;
    long long deadline = nowMs() + seconds * 1000LL;
    struct Tally {
        int cycles = 0, wrongReplies = 0;
        long long slowestMs = 0;
        std::string lastKey;
    };
    std::vector<Tally> tallies(4);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < tallies.size(); t++) {
        threads.emplace_back([&, t] {
            Tally& tally = tallies[t];
            for (int n = 0; nowMs() < deadline; n++) {
                std::string key = kAllowedIds[t] + "-" + std::to_string(n);
                long long start = nowMs();
                if (harness::registerOnce(publicKey_, kAllowedIds[t], key) != harness::okReply()) {
                    tally.wrongReplies++;
                    sleepMs(10);  // no busy loop against a server that is gone
                    continue;
                }
                tally.slowestMs = std::max(tally.slowestMs, nowMs() - start);
                tally.lastKey = key;
                tally.cycles++;
            }
        });
    }
    for (std::thread& t : threads) t.join();
    for (size_t t = 0; t < tallies.size(); t++) {
        SCOPED_TRACE(kAllowedIds[t]);
        EXPECT_EQ(tallies[t].wrongReplies, 0);
        EXPECT_GT(tallies[t].cycles, 0);
        EXPECT_LE(tallies[t].slowestMs, kChurnSlowestMs);
        shareMemoryItem record = harness::findRecord(kAllowedIds[t]);
        EXPECT_EQ(std::string(record.key, strnlen(record.key, sizeof record.key)), tallies[t].lastKey);
    }
    expectDescriptorsBackTo(baseline);
}

// Garbage of many sizes, up to far beyond one read. Each read of the server
// makes one reply, so there are at most as many replies as sends, each the
// failed reply; the client is never dropped.
TEST_F(Faults, GarbageFloodGetsOnlyFailedRepliesAndTheServerStaysUp) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    std::vector<std::string> failures(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < failures.size(); i++) {
        threads.emplace_back([&failures, i] {
            static const size_t sizes[] = {1, 7, 100, 255, 256, 257, 1023, 1024, 1025, 5000};
            std::mt19937 rng(100u + static_cast<unsigned>(i));
            std::string& failure = failures[i];
            int fd = harness::connectServer(), sends = 0, replies = 0;
            for (; fd >= 0 && sends < 30; sends++, sleepMs(10)) {
                if (!harness::sendAll(fd, randomBytes(rng, sizes[rng() % 10]))) break;
            }
            if (sends < 30) failure += "the server dropped a client that sent garbage; ";
            for (std::string reply; fd >= 0 && !(reply = harness::readReply(fd, 100, 1000 * kSlowdown)).empty();) {
                replies++;
                if (reply != harness::failedReply()) failure += "a reply other than the failed one; ";
            }
            if (replies < 1 || replies > sends) failure += std::to_string(replies) + " replies; ";
            if (fd >= 0) close(fd);
        });
    }
    for (std::thread& t : threads) t.join();
    for (const std::string& failure : failures) EXPECT_EQ(failure, "");
    EXPECT_EQ(harness::findRecord("dorvanek").id, -1);
    expectPromptRegistration("dorvanek", "after the flood");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Whatever makes a block unusable, each on a connection of its own gets the
// one failed reply, byte for byte, and nothing is stored.
TEST_F(Faults, EveryKindOfUnusableBlockGetsTheFailedReply) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    std::mt19937 rng(7);
    std::string otherDir = dir_ + "/other";
    ASSERT_EQ(mkdir(otherDir.c_str(), 0700), 0);
    harness::writeKeyPair(otherDir, 2048);
    std::string valid = harness::requestJson("dorvanek", "k");
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"random garbage of block size", randomBytes(rng, 256)},
        {"all ones (above the modulus)", std::string(256, '\xff')},
        {"block under another key", harness::encryptFor(otherDir + "/public.pem", valid)},
        {"no padding at all", rawRsaBlock(publicKey_, "\x03" + randomBytes(rng, 254))},
        {"signature padding (type 1)", rawRsaBlock(publicKey_, "\x01" + std::string(200, '\xff') + '\0' + valid)},
        {"type 2 without separator", rawRsaBlock(publicKey_, "\x02" + std::string(254, '\x5a'))},
        {"type 2 with padding too short", rawRsaBlock(publicKey_, std::string("\x02\x5a\x5a\x5a\0", 5) + valid)},
        {"good padding, truncated JSON", harness::encryptFor(publicKey_, "{\"userid\":\"dorvanek\",")},
        {"good padding, binary plaintext", harness::encryptFor(publicKey_, randomBytes(rng, 200))},
        {"good padding, invalid UTF-8", harness::encryptFor(publicKey_, "{\"userid\":\"dorvanek\",\"key\":\"\xc3\x28\"}")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        ASSERT_FALSE(c.second.empty()) << "could not be made";
        int fd = harness::connectServer();
        ASSERT_GE(fd, 0) << "the server is gone; stderr:\n" << stderrTail();
        ASSERT_TRUE(harness::sendAll(fd, c.second));
        EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply());
        close(fd);
    }
    EXPECT_EQ(harness::findRecord("dorvanek").id, -1);
    expectPromptRegistration("dorvanek", "k");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

}  // namespace
