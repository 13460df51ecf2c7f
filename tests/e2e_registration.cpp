// The registration exchange against the real server: replies, the records it
// leaves in the shared table, and how the table outlives the server.
#include "harness.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> kAllowedIds = {"dorvanek", "talumesko", "tuvi", "brenquolar", "vestimorank"};
const int kTableKey = 291;
const size_t kTableBytes = kTableSlots * sizeof(shareMemoryItem);
using Records = std::vector<std::pair<std::string, std::string>>;

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// The record the server must write for a registration, all 212 bytes of it.
shareMemoryItem expectedRecord(const std::string& userid, const std::string& key) {
    return harness::record(userid, key);
}

bool sameBytes(const shareMemoryItem& a, const shareMemoryItem& b) { return memcmp(&a, &b, sizeof a) == 0; }

int occupiedSlots() {
    int count = 0;
    for (const shareMemoryItem& item : harness::readTable()) count += item.id != -1;
    return count;
}

// The table holds exactly these records, in these slots, and nothing else.
void expectTable(const Records& records) {
    std::vector<shareMemoryItem> table = harness::readTable();
    ASSERT_EQ(table.size(), static_cast<size_t>(kTableSlots));
    for (size_t i = 0; i < records.size(); i++) {
        EXPECT_TRUE(sameBytes(table[i], expectedRecord(records[i].first, records[i].second))) << "slot " << i;
    }
    EXPECT_EQ(occupiedSlots(), static_cast<int>(records.size()));
}

// Runs body in a forked child that may live 10 s; its exit status.
template <typename Body>
int inChild(Body body) {
    pid_t pid = fork();
    if (pid == 0) {
        alarm(10);
        _exit(body());
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A connection that gives up after timeoutMs (connect honours SO_SNDTIMEO),
// where a plain one would wait out the kernel's retries on a full backlog.
int connectWithin(int timeoutMs) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct timeval limit = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8800);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

// Whether the process ignores a signal, from the SigIgn mask the kernel shows.
bool ignoresSignal(pid_t pid, int sig) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("SigIgn:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (sig - 1)) & 1;
    }
    return false;
}

class Registration : public ::testing::Test {
protected:
    // A key pair in a fresh folder, and no table left by an earlier test.
    void SetUp() override {
        if (!harness::inPrivateWorld()) return;
        dir_ = harness::makeTempDir("registration");
        harness::writeKeyPair(dir_, 2048);
        publicKey_ = dir_ + "/public.pem";
        int id = shmget(kTableKey, 0, 0);
        if (id >= 0) {
            ASSERT_EQ(shmctl(id, IPC_RMID, nullptr), 0);
        }
    }

    void TearDown() override {
        server_.stop(SIGKILL);
        if (!HasFailure() && !dir_.empty()) harness::removeTree(dir_);
    }

    void startServer(const std::vector<std::string>& prefix = {}) {
        ASSERT_TRUE(server_.start(dir_, prefix));
        ASSERT_TRUE(server_.waitReady()) << server_.stderrText();
    }

    // Segment 291 made before the server starts, attached here; null on failure.
    shareMemoryItem* makeTable(size_t bytes) {
        int id = shmget(kTableKey, bytes, IPC_CREAT | IPC_EXCL | 0755);
        void* raw = id < 0 ? nullptr : shmat(id, nullptr, 0);
        return raw == reinterpret_cast<void*>(-1) ? nullptr : static_cast<shareMemoryItem*>(raw);
    }

    bool serverAlive() { return server_.waitExit(0) < 0 && server_.pid > 0; }
    std::string block(const std::string& plaintext) { return harness::encryptFor(publicKey_, plaintext); }
    std::string request(const std::string& userid, const std::string& key) {
        return block(harness::requestJson(userid, key));
    }
    std::string registerOnce(const std::string& userid, const std::string& key) {
        return harness::registerOnce(publicKey_, userid, key);
    }
    // One request on an open connection and its reply.
    std::string exchange(int fd, const std::string& bytes) {
        return harness::sendAll(fd, bytes) ? harness::readReply(fd) : "send failed";
    }

    std::string dir_;
    std::string publicKey_;
    harness::ServerProcess server_;
};

// The last key is the longest allowed, 99 bytes.
TEST_F(Registration, EveryAllowedIdIsStoredByteForByteInArrivalOrder) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer());
    Records records;
    for (const std::string& id : kAllowedIds) records.emplace_back(id, "key of " + id);
    records.back().second = "A" + std::string(97, 'q') + "Z";
    for (const auto& r : records) ASSERT_EQ(registerOnce(r.first, r.second), harness::okReply()) << r.first;
    expectTable(records);

    struct shmid_ds info;
    ASSERT_EQ(shmctl(shmget(kTableKey, 0, 0), IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, kTableBytes);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0755u);
}

// Unreadable blocks of every kind are e2e_faults' concern; these decrypt well.
TEST_F(Registration, InvalidRequestsAreRefusedAndValidOnesServedOnTheSameConnection) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::map<std::string, std::string> bad = {
        {"case-changed id", request("Dorvanek", "k")},
        {"id not allowed", request("mallory", "k")},
        {"id of 100 bytes", request(std::string(100, 'd'), "k")},
        {"100-byte key", request("tuvi", std::string(100, 'k'))},
        {"malformed json", block("{\"userid\":\"tuvi\",\"key\":\"k\"")},
        {"trailing text", block("{\"userid\":\"tuvi\",\"key\":\"k\"} x")},
        {"array", block("[\"tuvi\",\"k\"]")},
        {"string", block("\"tuvi\"")},
        {"missing key", block("{\"userid\":\"tuvi\"}")},
        {"missing userid", block("{\"key\":\"k\"}")},
        {"numeric userid", block("{\"userid\":5,\"key\":\"k\"}")},
        {"numeric key", block("{\"userid\":\"tuvi\",\"key\":7}")},
        {"null key", block("{\"userid\":\"tuvi\",\"key\":null}")},
        {"number beyond a double", block("{\"userid\":\"tuvi\",\"key\":\"k\",\"n\":1e400}")},
    };
    // Valid JSON in looser shapes: other members, white space, text after a NUL.
    const std::vector<std::string> good = {
        "{\"key\":\"k1\",\"extra\":[1,{\"a\":null}],\"userid\":\"tuvi\",\"n\":3}",
        " \n\t{\"userid\":\"brenquolar\",\"key\":\"k2\"}\r\n ",
        std::string("{\"userid\":\"talumesko\",\"key\":\"k3\"}") + '\0' + "ignored } junk",
    };
    int fd = harness::connectServer();
    ASSERT_GE(fd, 0);
    for (const auto& c : bad) EXPECT_EQ(exchange(fd, c.second), harness::failedReply()) << c.first;
    EXPECT_EQ(occupiedSlots(), 0);
    for (const std::string& plaintext : good) EXPECT_EQ(exchange(fd, block(plaintext)), harness::okReply()) << plaintext;
    close(fd);
    expectTable({{"tuvi", "k1"}, {"brenquolar", "k2"}, {"talumesko", "k3"}});
    EXPECT_TRUE(serverAlive());
}

// Several requests on one connection; a restarted server keeps the records.
TEST_F(Registration, ReRegistrationReplacesTheRecordInPlaceAndOutlivesARestart) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer());
    int fd = harness::connectServer();
    ASSERT_GE(fd, 0);
    for (const auto& r : Records{{"dorvanek", "a rather long first key"}, {"tuvi", "t"}, {"dorvanek", "short"}}) {
        EXPECT_EQ(exchange(fd, request(r.first, r.second)), harness::okReply()) << r.second;
    }
    close(fd);
    server_.stop();
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce("talumesko", "m"), harness::okReply());
    expectTable({{"dorvanek", "short"}, {"tuvi", "t"}, {"talumesko", "m"}});
}

// The first clients connect while the server is stopped, so that they wait
// together in the backlog behind one readiness of the listening socket. The
// allow list has five ids, so the many clients share them: every stored key
// must be one that some client sent for that id.
TEST_F(Registration, ManyClientsAtOnceAndOnesArrivingTogetherAreAllAnswered) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer());
    const int clients = 240, together = 3;
    std::vector<int> fds;
    ASSERT_EQ(kill(server_.pid, SIGSTOP), 0);
    for (int i = 0; i < clients; i++) {
        if (i == together) {
            ASSERT_EQ(kill(server_.pid, SIGCONT), 0);
        }
        fds.push_back(connectWithin(3000));
        ASSERT_GE(fds.back(), 0) << "client " << i << " found the backlog full";
    }
    for (int i = 0; i < clients; i++) {
        const std::string& id = i % 3 == 2 ? "nobody" : kAllowedIds[i % 5];
        ASSERT_TRUE(harness::sendAll(fds[i], request(id, "key-" + std::to_string(i))));
    }
    long long deadline = nowMs() + 20000;
    for (int i = 0; i < clients; i++) {
        std::string reply = harness::readReply(fds[i], 100, static_cast<int>(std::max(1LL, deadline - nowMs())));
        EXPECT_EQ(reply, i % 3 == 2 ? harness::failedReply() : harness::okReply()) << "client " << i;
        close(fds[i]);
    }
    for (int j = 0; j < 5; j++) {
        shareMemoryItem item = harness::findRecord(kAllowedIds[j]);
        int i = atoi(item.key + 4);
        EXPECT_TRUE(strncmp(item.key, "key-", 4) == 0 && i % 5 == j && i % 3 != 2) << kAllowedIds[j] << ": " << item.key;
    }
    EXPECT_EQ(occupiedSlots(), 5);
}

// Started with SIGPIPE at its default (the test program ignores it, and
// children inherit that), the server must ignore it itself: a client's reset
// usually fails the reply write without a signal, so clients cannot force it
// (e2e_faults has those clients).
TEST_F(Registration, ServerIgnoresSigpipeEvenWhenStartedWithTheDefault) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer({"env", "--default-signal=PIPE", "--"}));
    EXPECT_EQ(registerOnce("brenquolar", "k"), harness::okReply());
    EXPECT_TRUE(ignoresSignal(server_.pid, SIGPIPE));
}

TEST_F(Registration, ProcessOfAnotherUserCannotAttachTheTable) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce("tuvi", "mine"), harness::okReply());
    testing::internal::CaptureStderr();
    EXPECT_EQ(inChild([] {
                  if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) return 91;
                  shareMemoryHandle::getSingleTon();
                  return 0;
              }),
              255);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("create share memory error"), std::string::npos) << err;
    EXPECT_TRUE(sameBytes(harness::findRecord("tuvi"), expectedRecord("tuvi", "mine")));
}

TEST_F(Registration, SingletonIsMadeOnceAndNeverResetsAgain) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_EQ(inChild([] {
                  shareMemoryHandle* first = shareMemoryHandle::getSingleTon();
                  shareMemoryItem item = expectedRecord("tuvi", "kept");
                  bool ok = first->addItem(item) == 0;
                  shareMemoryHandle* second = shareMemoryHandle::getSingleTon();
                  ok = ok && first == second && second->shmKey == kTableKey && second->itemCount == kTableSlots;
                  return ok && sameBytes(second->items[0], item) ? 0 : 1;
              }),
              0);
    EXPECT_TRUE(sameBytes(harness::readTable()[0], expectedRecord("tuvi", "kept")));
}

TEST_F(Registration, FullTableRefusesNewIdButUpdatesStoredOne) {
    SKIP_UNLESS_PRIVATE_WORLD();
    shareMemoryItem* slots = makeTable(kTableBytes);
    ASSERT_NE(slots, nullptr);
    for (int i = 0; i < kTableSlots - 1; i++) slots[i] = expectedRecord("other-" + std::to_string(i), "x");
    slots[kTableSlots - 1] = expectedRecord("tuvi", "old");
    std::vector<shareMemoryItem> before(slots, slots + kTableSlots);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(registerOnce("dorvanek", "new"), harness::failedReply());
    EXPECT_EQ(registerOnce("tuvi", "new"), harness::okReply());
    EXPECT_EQ(memcmp(slots, before.data(), (kTableSlots - 1) * sizeof *slots), 0);
    EXPECT_TRUE(sameBytes(slots[kTableSlots - 1], expectedRecord("tuvi", "new")));
}

TEST_F(Registration, TooSmallTableSegmentStopsTheServerUntouched) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const char* raw = reinterpret_cast<const char*>(makeTable(1000));
    ASSERT_NE(raw, nullptr);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_NE(registerOnce("tuvi", "k"), harness::okReply());
    EXPECT_EQ(server_.waitExit(5000), 255);
    EXPECT_NE(server_.stderrText().find("share memory"), std::string::npos) << server_.stderrText();
    EXPECT_EQ(std::string(raw, 1000), std::string(1000, '\0'));
}

}  // namespace
