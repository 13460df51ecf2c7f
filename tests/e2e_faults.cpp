// The server under hostile or careless clients and under load: descriptor
// exhaustion, clients that stall or vanish, connection churn, floods of
// garbage and every kind of block it cannot decrypt or parse. Whatever the
// clients do, the server must stay up, keep serving the others promptly and
// answer nothing but the two replies of the protocol.
#include "harness.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/evp.h>
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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// Sanitized builds run several times slower; the time limits grow with them.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KEYREG_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KEYREG_SANITIZED_BUILD 1
#endif
#endif

namespace {

#ifdef KEYREG_SANITIZED_BUILD
const int kSlowdown = 3;
const int kDefaultChurnSeconds = 6;
#else
const int kSlowdown = 1;
const int kDefaultChurnSeconds = 20;
#endif

// How long another client may wait for its reply while the server is busy
// with misbehaving ones.
const int kPromptReplyMs = 2000 * kSlowdown;

const std::vector<std::string> kAllowedIds = {"dorvanek", "talumesko", "tuvi", "brenquolar", "vestimorank"};

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// KEYREG_CHURN_SECONDS overrides how long the churn test runs.
int churnSeconds() {
    const char* text = getenv("KEYREG_CHURN_SECONDS");
    int seconds = text ? atoi(text) : 0;
    return seconds > 0 ? seconds : kDefaultChurnSeconds;
}

std::string randomBytes(std::mt19937& rng, size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
}

// True when the server is still running after a short grace period, in which
// an exit already under way (exit() from a worker takes a while under the
// sanitizers) completes. kill(pid, 0) would also succeed on a server that
// died and was not reaped yet.
bool serverRunning(harness::ServerProcess& server) {
    return server.pid > 0 && server.waitExit(200 * kSlowdown) < 0;
}

bool raiseDescriptorLimit(rlim_t wanted) {
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
    if (limit.rlim_cur >= wanted) return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) return false;
    limit.rlim_cur = wanted;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Connects fd to the server; on a non-blocking socket the handshake may
// still be under way when this returns true.
bool connectToServer(int fd) {
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8800);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) == 0 || errno == EINPROGRESS;
}

// A connection attempt that does not wait for the handshake; -1 on failure.
int connectNonblocking() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (!connectToServer(fd)) {
        close(fd);
        return -1;
    }
    return fd;
}

void closeAll(std::vector<int>& fds) {
    for (int fd : fds) close(fd);
    fds.clear();
}

bool setReceiveBuffer(int fd, int bytes) { return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0; }

// Closes with a reset instead of the orderly end of stream.
void resetConnection(int fd) {
    struct linger hard = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    close(fd);
}

// A raw RSA operation on exactly one modulus-sized block, no padding added:
// the server then finds whatever padding the block's bytes make.
std::string rawRsaBlock(const std::string& publicKeyPath, const std::string& block) {
    FILE* fp = fopen(publicKeyPath.c_str(), "r");
    if (fp == nullptr) return "";
    EVP_PKEY* pkey = PEM_read_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    if (pkey == nullptr) return "";
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    std::string out(static_cast<size_t>(EVP_PKEY_get_size(pkey)), '\0');
    size_t outLen = out.size();
    bool ok = ctx && block.size() == out.size() && EVP_PKEY_encrypt_init(ctx) == 1 &&
              EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx, reinterpret_cast<unsigned char*>(&out[0]), &outLen,
                               reinterpret_cast<const unsigned char*>(block.data()), block.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    if (!ok) return "";
    out.resize(outLen);
    return out;
}

// A modulus-sized block that starts with a zero byte (so it lies below the
// modulus) and carries the given padding bytes and payload after it.
std::string paddedBlock(const std::string& afterZero, size_t blockSize = 256) {
    std::string block(1, '\0');
    block += afterZero;
    block.resize(blockSize, '\x01');
    return block;
}

struct TimedReply {
    std::string reply;
    long long ms;
};

class Faults : public ::testing::Test {
protected:
    void TearDown() override {
        server_.stop(SIGKILL);
        if (dir_.empty()) return;
        if (HasFailure()) {
            fprintf(stderr, "server logs kept in %s\n", dir_.c_str());
        } else {
            harness::removeTree(dir_);
        }
    }

    // A fresh key pair and server; no table is left from an earlier test
    // that ran in the same world.
    void boot(const std::vector<std::string>& prefix = {}) {
        int table = shmget(kTableIpcKey, 0, 0);
        if (table >= 0) {
            ASSERT_EQ(shmctl(table, IPC_RMID, nullptr), 0);
        }
        dir_ = harness::makeTempDir("faults");
        harness::writeKeyPair(dir_, 2048);
        publicKey_ = dir_ + "/public.pem";
        ASSERT_TRUE(server_.start(dir_, prefix));
        ASSERT_TRUE(server_.waitReady()) << stderrTail();
    }

    // The server's standard error without the flood of accept errors that
    // descriptor exhaustion causes: the last lines, enough to see why it failed.
    std::string stderrTail() {
        std::istringstream in(server_.stderrText());
        std::deque<std::string> kept;
        int acceptErrors = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("accept error", 0) == 0) {
                acceptErrors++;
                continue;
            }
            kept.push_back(line);
            if (kept.size() > 30) kept.pop_front();
        }
        std::string text = "(" + std::to_string(acceptErrors) + " \"accept error\" lines left out)\n";
        for (const std::string& line : kept) text += line + "\n";
        return text;
    }

    std::string request(const std::string& userid, const std::string& key) {
        return harness::encryptFor(publicKey_, harness::requestJson(userid, key));
    }

    TimedReply timedRegister(const std::string& userid, const std::string& key) {
        long long start = nowMs();
        std::string reply = harness::registerOnce(publicKey_, userid, key);
        return {reply, nowMs() - start};
    }

    // A registration that must succeed within the prompt-reply limit.
    void expectPromptRegistration(const std::string& userid, const std::string& key) {
        TimedReply r = timedRegister(userid, key);
        EXPECT_EQ(r.reply, harness::okReply()) << userid;
        EXPECT_LE(r.ms, kPromptReplyMs) << "reply for " << userid << " was slow";
    }

    // Registers again and again until "ok" or the time is up; the last reply.
    std::string registerWithin(int timeoutMs, const std::string& userid, const std::string& key) {
        long long deadline = nowMs() + timeoutMs;
        std::string reply;
        do {
            reply = harness::registerOnce(publicKey_, userid, key);
            if (reply == harness::okReply() || !serverRunning(server_)) break;
            sleepMs(100);
        } while (nowMs() < deadline);
        return reply;
    }

    bool stderrShowsWithin(const std::string& text, int timeoutMs) {
        long long deadline = nowMs() + timeoutMs;
        do {
            if (server_.stderrText().find(text) != std::string::npos) return true;
            sleepMs(20);
        } while (nowMs() < deadline);
        return false;
    }

    // The server's descriptor count once it has stopped changing for a while.
    int settledDescriptorCount() {
        int last = server_.openDescriptorCount();
        long long stableSince = nowMs();
        long long deadline = nowMs() + 5000;
        while (nowMs() < deadline && nowMs() - stableSince < 300) {
            sleepMs(20);
            int now = server_.openDescriptorCount();
            if (now != last) {
                last = now;
                stableSince = nowMs();
            }
        }
        return last;
    }

    // Waits for the count to come back to `wanted`; the last count seen
    // (-1 once the server is gone).
    int descriptorCountAfterSettling(int wanted) {
        long long deadline = nowMs() + 5000 * kSlowdown;
        int count = server_.openDescriptorCount();
        while (count != wanted && count >= 0 && nowMs() < deadline) {
            sleepMs(50);
            count = server_.openDescriptorCount();
        }
        return count;
    }

    std::string dir_;
    std::string publicKey_;
    harness::ServerProcess server_;
};

// ---------------------------------------------------------------------------
// Descriptor exhaustion: 64 descriptors, far fewer than the clients that try.

class DescriptorExhaustion : public Faults {
protected:
    void bootUnderLimit() {
        ASSERT_TRUE(raiseDescriptorLimit(1024)) << "the test itself needs a few hundred descriptors";
        ASSERT_NO_FATAL_FAILURE(boot({"prlimit", "--nofile=64", "--"}));
    }

    // 200 connection attempts at once, without waiting for any of them.
    void burst(std::vector<int>& clients) {
        for (int i = 0; i < 200; i++) {
            int fd = connectNonblocking();
            ASSERT_GE(fd, 0) << "client " << i << ": " << strerror(errno);
            clients.push_back(fd);
        }
        EXPECT_TRUE(stderrShowsWithin("accept error", 10000 * kSlowdown))
            << "the server never ran out of descriptors; stderr:\n"
            << stderrTail();
    }
};

TEST_F(DescriptorExhaustion, BurstBeyondTheLimitIsSurvivedAndServiceResumes) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(bootUnderLimit());
    std::vector<int> clients;
    ASSERT_NO_FATAL_FAILURE(burst(clients));
    ASSERT_TRUE(serverRunning(server_)) << stderrTail();
    closeAll(clients);

    EXPECT_EQ(registerWithin(10000 * kSlowdown, "tuvi", "after the burst"), harness::okReply());
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// A client that was served before the burst asks again while the server has
// no descriptor left: it must get one of the two replies, and the server must
// not end (reading the key file needs a descriptor too).
TEST_F(DescriptorExhaustion, RequestWhileExhaustedIsAnsweredAndTheServerStays) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(bootUnderLimit());
    int early = harness::connectServer();
    ASSERT_GE(early, 0);
    ASSERT_TRUE(harness::sendAll(early, request("dorvanek", "before")));
    ASSERT_EQ(harness::readReply(early), harness::okReply());

    std::vector<int> clients;
    ASSERT_NO_FATAL_FAILURE(burst(clients));
    ASSERT_TRUE(harness::sendAll(early, request("dorvanek", "during")));
    std::string reply = harness::readReply(early, 100, 5000 * kSlowdown);
    EXPECT_TRUE(reply == harness::okReply() || reply == harness::failedReply())
        << "got " << reply.size() << " bytes; stderr:\n"
        << stderrTail();
    ASSERT_TRUE(serverRunning(server_)) << stderrTail();
    close(early);
    closeAll(clients);

    EXPECT_EQ(registerWithin(10000 * kSlowdown, "dorvanek", "after"), harness::okReply());
}

// ---------------------------------------------------------------------------
// Clients that stall or vanish must not hold up the others.

// TCP send buffers of this network namespace, for as long as the object lives.
// The kernel grows a send buffer up to megabytes, which would take a
// never-reading client minutes to fill.
class SendBufferLimit {
public:
    explicit SendBufferLimit(const std::string& limits) : saved_(readSetting()) {
        applied_ = !saved_.empty() && writeSetting(limits);
    }
    ~SendBufferLimit() {
        if (applied_) writeSetting(saved_);
    }
    bool applied() const { return applied_; }

private:
    static const char* path() { return "/proc/sys/net/ipv4/tcp_wmem"; }
    static std::string readSetting() {
        std::string text(128, '\0');
        FILE* fp = fopen(path(), "r");
        if (fp == nullptr) return "";
        size_t n = fread(&text[0], 1, text.size(), fp);
        fclose(fp);
        text.resize(n);
        return text;
    }
    static bool writeSetting(const std::string& value) {
        FILE* fp = fopen(path(), "w");
        if (fp == nullptr) return false;
        bool ok = fputs(value.c_str(), fp) >= 0;
        return fclose(fp) == 0 && ok;
    }

    std::string saved_;
    bool applied_ = false;
};

// Floods the server with requests and never reads a reply, until the server
// drops the connection or the time is up. True when it was dropped. The
// chunks are small and paced, so that the server, which reads once per
// arrival, keeps up and answers nearly every one of them.
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
// one of them to read would leave nobody for the others.
TEST_F(Faults, ClientsThatNeverReadAreDroppedAndOthersServedPromptly) {
    SKIP_UNLESS_PRIVATE_WORLD();
    SendBufferLimit limit("4096 8192 8192");
    ASSERT_TRUE(limit.applied()) << "cannot limit the send buffers of the private network";
    ASSERT_NO_FATAL_FAILURE(boot());
    const int kStalled = 4;
    long long deadline = nowMs() + 15000 * kSlowdown;
    std::vector<int> fds;
    for (int i = 0; i < kStalled; i++) {
        // A small receive window, set before the handshake, fills quickly.
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        ASSERT_TRUE(setReceiveBuffer(fd, 1024));
        ASSERT_TRUE(connectToServer(fd)) << strerror(errno);
    }

    std::atomic<int> dropped{0};
    std::vector<std::thread> flooders;
    for (int i = 0; i < kStalled; i++) {
        flooders.emplace_back([&, i] {
            if (floodWithoutReading(fds[static_cast<size_t>(i)], deadline, std::mt19937(static_cast<unsigned>(i))))
                dropped++;
        });
    }
    int served = 0;
    while (dropped.load() < kStalled && nowMs() < deadline) {
        expectPromptRegistration(kAllowedIds[static_cast<size_t>(served) % kAllowedIds.size()],
                                 "served " + std::to_string(served));
        served++;
        sleepMs(100);
    }
    for (std::thread& t : flooders) t.join();
    for (int fd : fds) close(fd);

    EXPECT_EQ(dropped.load(), kStalled) << "a client that never reads was kept forever";
    EXPECT_GT(served, 0);
    expectPromptRegistration("tuvi", "after the stalled readers");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Half an RSA block is all one read gets: it is answered as a failed request
// at once, and the silent clients keep no worker waiting for the rest.
TEST_F(Faults, HalfBlocksAreRefusedAtOnceAndSilentClientsHoldNobodyUp) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    std::string block = request("brenquolar", "half block");
    std::vector<int> silent;
    for (int i = 0; i < 5; i++) {
        int fd = harness::connectServer();
        ASSERT_GE(fd, 0);
        silent.push_back(fd);
        ASSERT_TRUE(harness::sendAll(fd, block.substr(0, block.size() / 2)));
        EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply()) << "half block " << i;
    }
    for (const std::string& id : kAllowedIds) expectPromptRegistration(id, "while others are silent");

    // The rest of each block arrives on its own and is just as unusable; the
    // connections are still being served.
    for (int fd : silent) {
        ASSERT_TRUE(harness::sendAll(fd, block.substr(block.size() / 2)));
        EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply());
    }
    closeAll(silent);
    shareMemoryItem record = harness::findRecord("brenquolar");
    EXPECT_STRNE(record.key, "half block") << "a block put together from two reads was stored";
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Clients that reset their connection right after sending, so that the reply
// meets a connection that is gone (or the read meets the reset).
TEST_F(Faults, ClientsResettingMidReplyLeaveNoTrace) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    ASSERT_EQ(harness::registerOnce(publicKey_, "tuvi", "first"), harness::okReply());
    int baseline = settledDescriptorCount();

    std::string block = request("vestimorank", "reset");
    std::atomic<int> resets{0};
    std::vector<std::thread> resetters;
    for (int t = 0; t < 3; t++) {
        resetters.emplace_back([&] {
            for (int i = 0; i < 40; i++) {
                int fd = harness::connectServer();
                if (fd < 0) continue;
                if (harness::sendAll(fd, block)) resets++;
                if (i % 2) sleepMs(1);  // sometimes the reset comes before the reply, sometimes after
                resetConnection(fd);
            }
        });
    }
    for (int i = 0; i < 5; i++) expectPromptRegistration("talumesko", "among resets " + std::to_string(i));
    for (std::thread& t : resetters) t.join();

    EXPECT_GT(resets.load(), 0);
    expectPromptRegistration("dorvanek", "after the resets");
    EXPECT_EQ(descriptorCountAfterSettling(baseline), baseline) << "connections left open by the server";
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// ---------------------------------------------------------------------------
// Churn: many short connections from several threads at once.

struct ChurnTally {
    std::atomic<int> cycles{0};
    std::atomic<int> wrongReplies{0};
    std::atomic<long long> slowestMs{0};
};

void churn(const std::string& publicKey, const std::string& userid, long long deadline, ChurnTally& tally,
           std::string& lastKey) {
    for (int n = 0; nowMs() < deadline; n++) {
        std::string key = userid + "-" + std::to_string(n);
        long long start = nowMs();
        std::string reply = harness::registerOnce(publicKey, userid, key);
        long long took = nowMs() - start;
        if (reply != harness::okReply()) {
            tally.wrongReplies++;
            sleepMs(10);  // no busy loop against a server that is gone
            continue;
        }
        lastKey = key;
        tally.cycles++;
        long long slowest = tally.slowestMs.load();
        while (took > slowest && !tally.slowestMs.compare_exchange_weak(slowest, took)) {
        }
    }
}

TEST_F(Faults, ConnectionChurnIsServedRightAndLeavesNoDescriptorsBehind) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    ASSERT_EQ(harness::registerOnce(publicKey_, "tuvi", "first"), harness::okReply());
    int baseline = settledDescriptorCount();

    const size_t kThreads = 4;
    long long deadline = nowMs() + churnSeconds() * 1000LL;
    ChurnTally tally;
    std::vector<std::string> lastKeys(kThreads);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < kThreads; t++) {
        threads.emplace_back(churn, publicKey_, kAllowedIds[t], deadline, std::ref(tally), std::ref(lastKeys[t]));
    }
    for (std::thread& t : threads) t.join();

    EXPECT_EQ(tally.wrongReplies.load(), 0);
    EXPECT_GT(tally.cycles.load(), 0);
    EXPECT_LE(tally.slowestMs.load(), kPromptReplyMs);
    for (size_t t = 0; t < kThreads; t++) {
        shareMemoryItem record = harness::findRecord(kAllowedIds[t]);
        EXPECT_EQ(std::string(record.key, strnlen(record.key, sizeof record.key)), lastKeys[t])
            << "the last key of " << kAllowedIds[t] << " was not the one stored";
    }
    EXPECT_EQ(descriptorCountAfterSettling(baseline), baseline) << "descriptors leaked by the churn";
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
    printf("churn: %d registrations in %d s, slowest reply %lld ms\n", tally.cycles.load(), churnSeconds(),
           tally.slowestMs.load());
}

// ---------------------------------------------------------------------------
// Bad input.

// Sends garbage of many sizes, up to far beyond one read, and collects what
// comes back. Each read of the server makes one reply, so there are at most
// as many replies as sends; each must be the failed reply.
struct FloodResult {
    int sends = 0;
    int replies = 0;
    int wrongReplies = 0;
    bool cutShort = false;
};

FloodResult floodGarbage(unsigned seed) {
    static const size_t sizes[] = {1, 7, 100, 255, 256, 257, 1023, 1024, 1025, 5000};
    std::mt19937 rng(seed);
    FloodResult result;
    int fd = harness::connectServer();
    if (fd < 0) {
        result.cutShort = true;
        return result;
    }
    for (int round = 0; round < 30; round++) {
        size_t n = sizes[rng() % (sizeof sizes / sizeof sizes[0])];
        if (!harness::sendAll(fd, randomBytes(rng, n))) {
            result.cutShort = true;
            break;
        }
        result.sends++;
        sleepMs(10);
    }
    for (;;) {
        std::string reply = harness::readReply(fd, 100, 1000 * kSlowdown);
        if (reply.empty()) break;
        result.replies++;
        if (reply != harness::failedReply()) result.wrongReplies++;
    }
    close(fd);
    return result;
}

TEST_F(Faults, GarbageFloodGetsOnlyFailedRepliesAndTheServerStaysUp) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    const int kClients = 4;
    std::vector<FloodResult> results(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; i++) {
        threads.emplace_back([&results, i] { results[static_cast<size_t>(i)] = floodGarbage(100u + static_cast<unsigned>(i)); });
    }
    for (std::thread& t : threads) t.join();

    for (const FloodResult& r : results) {
        EXPECT_FALSE(r.cutShort) << "the server dropped a client that sent garbage";
        EXPECT_GE(r.replies, 1);
        EXPECT_LE(r.replies, r.sends);
        EXPECT_EQ(r.wrongReplies, 0);
    }
    EXPECT_EQ(harness::findRecord("dorvanek").id, -1);
    expectPromptRegistration("dorvanek", "after the flood");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Each kind of block the server cannot use, each on a connection of its own:
// the one failed reply, byte for byte, and nothing stored.
TEST_F(Faults, EveryKindOfUnusableBlockGetsTheFailedReply) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    std::mt19937 rng(7);
    std::string otherDir = dir_ + "/other";
    ASSERT_EQ(mkdir(otherDir.c_str(), 0700), 0);
    harness::writeKeyPair(otherDir, 2048);
    std::string valid = harness::requestJson("dorvanek", "k");

    struct Case {
        std::string name;
        std::string bytes;
    };
    std::vector<Case> cases = {
        {"random garbage of block size", randomBytes(rng, 256)},
        {"all ones (above the modulus)", std::string(256, '\xff')},
        {"block under another key", harness::encryptFor(otherDir + "/public.pem", valid)},
        {"no padding at all", rawRsaBlock(publicKey_, paddedBlock(randomBytes(rng, 255)).replace(1, 1, "\x03"))},
        {"signature padding (type 1)", rawRsaBlock(publicKey_, paddedBlock("\x01" + std::string(200, '\xff') + '\0' + valid))},
        {"type 2 without separator", rawRsaBlock(publicKey_, paddedBlock("\x02" + std::string(254, '\x5a')))},
        {"type 2 with padding too short", rawRsaBlock(publicKey_, paddedBlock(std::string("\x02\x5a\x5a\x5a", 4) + '\0' + valid))},
        {"good padding, truncated JSON", harness::encryptFor(publicKey_, "{\"userid\":\"dorvanek\",")},
        {"good padding, binary plaintext", harness::encryptFor(publicKey_, randomBytes(rng, 200))},
        {"good padding, invalid UTF-8", harness::encryptFor(publicKey_, "{\"userid\":\"dorvanek\",\"key\":\"\xc3\x28\"}")},
        {"good padding, NUL inside the id", harness::encryptFor(publicKey_, "{\"userid\":\"dorvanek\\u0000x\",\"key\":\"k\"}")},
        {"good padding, deep nesting", harness::encryptFor(publicKey_, std::string(120, '[') + std::string(120, ']'))},
        {"good padding, empty plaintext", harness::encryptFor(publicKey_, "")},
    };
    for (const Case& c : cases) {
        ASSERT_FALSE(c.bytes.empty()) << c.name << ": could not be made";
        int fd = harness::connectServer();
        ASSERT_GE(fd, 0) << c.name << ": the server is gone; stderr:\n" << stderrTail();
        ASSERT_TRUE(harness::sendAll(fd, c.bytes)) << c.name;
        EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply()) << c.name;
        close(fd);
    }
    EXPECT_EQ(harness::findRecord("dorvanek").id, -1);
    expectPromptRegistration("dorvanek", "k");
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
}

// Numbers beyond a double's range are valid JSON, but the parser refuses them
// with an error of its own kind (out_of_range, not parse_error): that must be
// handled like any other unusable request, not end the server.
TEST_F(Faults, NumberBeyondDoubleRangeIsRefusedWithoutEndingTheServer) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(boot());
    int fd = harness::connectServer();
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(harness::sendAll(fd, harness::encryptFor(publicKey_, "{\"userid\":\"tuvi\",\"key\":\"k\",\"n\":1e999}")));
    EXPECT_EQ(harness::readReply(fd, 100, kPromptReplyMs), harness::failedReply());
    close(fd);
    EXPECT_TRUE(serverRunning(server_)) << stderrTail();
    expectPromptRegistration("tuvi", "k");
}

}  // namespace
