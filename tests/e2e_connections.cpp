// Connection handling. Most tests drive processRequest directly, on a
// listening socket and epoll set of their own, so that they can run a task
// exactly when a race would have it run: late, twice at once, or for a
// descriptor that has since changed hands.
#include "epoll_et_server.h"
#include "harness.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
const uint64_t kNoWord = UINT64_MAX;

int serverFd(uint64_t word) { return static_cast<int>(static_cast<uint32_t>(word)); }
bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }

int pendingBytes(int fd) {
    int n = -1;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

int openDescriptors() {
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    int count = 0;
    while (struct dirent* e = readdir(d)) count += e->d_name[0] != '.';
    closedir(d);
    return count - 1;  // the directory stream itself
}

// Polls until done() holds or timeoutMs passes.
bool eventually(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Connections : public ::testing::Test {
protected:
    void TearDown() override {
        for (int fd : clients_) close(fd);
        if (epollFd_ >= 0) close(epollFd_);
        if (listenFd_ >= 0) close(listenFd_);
        if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
        if (!HasFailure()) harness::removeTree(dir_);
    }

    // Key pair in the working directory (the decryption reads it there), a
    // non-blocking listener on a port of our own, and an epoll set with it.
    void prepare() {
        dir_ = harness::makeTempDir("connections");
        harness::writeKeyPair(dir_, 2048);
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);

        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(listenFd_, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listenFd_, 128), 0);
        socklen_t len = sizeof addr;
        ASSERT_EQ(getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len), 0);
        port_ = ntohs(addr.sin_port);

        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        ASSERT_GE(epollFd_, 0);
        struct epoll_event ev;
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = static_cast<uint32_t>(listenFd_);
        ASSERT_EQ(epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev), 0);
    }

    Task taskFor(uint64_t word, int epollFd = -1) {
        Task task;
        memset(&task, 0, sizeof task);
        task.epollFd = epollFd >= 0 ? epollFd : epollFd_;
        task.listenFd = listenFd_;
        task.event.events = EPOLLIN;
        task.event.data.u64 = word;
        task.callback = processRequest;
        return task;
    }

    void run(uint64_t word, int epollFd = -1) {
        Task task = taskFor(word, epollFd);
        task.arg = &task;
        processRequest(task.arg);
    }

    // Runs the task on a thread of its own; if it has not returned within
    // timeoutMs, unblock() must make it return. False in that case.
    bool runWithin(uint64_t word, int timeoutMs, const std::function<void()>& unblock) {
        auto done = std::async(std::launch::async, [this, word] { run(word); });
        if (done.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready) return true;
        unblock();
        done.wait();
        return false;
    }

    void acceptPending() { run(static_cast<uint32_t>(listenFd_)); }

    bool connectToListener(int fd) {
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }

    int connectClient() {
        int fd = harness::connectServer(port_);
        if (fd >= 0) clients_.push_back(fd);
        return fd;
    }

    // The next client event word that epoll reports, kNoWord after timeoutMs.
    uint64_t nextClientWord(int timeoutMs = 1000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
        while (ready_.empty()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return kNoWord;
            struct epoll_event events[16];
            int n = epoll_wait(epollFd_, events, 16, static_cast<int>(left));
            for (int i = 0; i < n; i++) {
                uint64_t word = events[i].data.u64;  // a copy: the packed record's field may be misaligned
                if (word != static_cast<uint32_t>(listenFd_)) ready_.push_back(word);
            }
        }
        uint64_t word = ready_.front();
        ready_.pop_front();
        return word;
    }

    std::string request(const std::string& userid, const std::string& key) {
        return harness::encryptFor(dir_ + "/public.pem", harness::requestJson(userid, key));
    }

    // Accepts a client and serves its first request: the connection's word.
    uint64_t acceptAndServe(int client, const std::string& userid) {
        acceptPending();
        EXPECT_TRUE(harness::sendAll(client, request(userid, "first")));
        uint64_t word = nextClientWord();
        EXPECT_NE(word, kNoWord);
        run(word);
        EXPECT_EQ(harness::readReply(client), harness::okReply());
        return word;
    }

    std::string dir_;
    std::string oldCwd_;
    int listenFd_ = -1;
    int epollFd_ = -1;
    int port_ = 0;
    std::vector<int> clients_;
    std::deque<uint64_t> ready_;
};

TEST_F(Connections, ListenTaskAcceptsTheWholeBacklog) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    std::vector<int> fds;
    for (int i = 0; i < 4; i++) fds.push_back(connectClient());
    acceptPending();
    int left = accept(listenFd_, nullptr, nullptr);
    EXPECT_LT(left, 0) << "a connection stayed in the backlog";
    if (left >= 0) close(left);
    for (int fd : fds) ASSERT_TRUE(harness::sendAll(fd, request("tuvi", "k")));
    for (size_t i = 0; i < fds.size(); i++) {
        uint64_t word = nextClientWord();
        ASSERT_NE(word, kNoWord) << "client " << i << " was not watched";
        run(word);
    }
    for (int fd : fds) EXPECT_EQ(harness::readReply(fd), harness::okReply());
}

TEST_F(Connections, StaleTaskDoesNotServeTheConnectionThatReusedItsDescriptor) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int a = connectClient();
    ASSERT_GE(a, 0);
    uint64_t wordA = acceptAndServe(a, "dorvanek");
    int fd = serverFd(wordA);
    ASSERT_EQ(close(a), 0);
    clients_.erase(std::find(clients_.begin(), clients_.end(), a));
    // B's own socket must exist before the server frees A's descriptor, so
    // that the server's accept is what takes the freed number.
    int b = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(b, 0);
    clients_.push_back(b);
    ASSERT_EQ(nextClientWord(), wordA);
    run(wordA);
    ASSERT_FALSE(isOpen(fd)) << "the end of A's stream did not close it";

    ASSERT_TRUE(connectToListener(b));
    acceptPending();
    std::string requestB = request("tuvi", "for B");
    ASSERT_TRUE(harness::sendAll(b, requestB));
    uint64_t wordB = nextClientWord();
    ASSERT_EQ(serverFd(wordB), fd) << "B did not get A's old descriptor";
    EXPECT_NE(wordB, wordA);

    run(wordA);
    EXPECT_EQ(harness::readReply(b, 100, 200), "") << "a stale task answered B";
    EXPECT_TRUE(isOpen(fd)) << "a stale task closed B";
    EXPECT_EQ(pendingBytes(fd), static_cast<int>(requestB.size())) << "a stale task took B's request";

    run(wordB);
    EXPECT_EQ(harness::readReply(b), harness::okReply());
}

TEST_F(Connections, StaleTaskLeavesAnUnrelatedDescriptorAlone) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int a = connectClient();
    ASSERT_GE(a, 0);
    uint64_t wordA = acceptAndServe(a, "dorvanek");
    ASSERT_EQ(shutdown(a, SHUT_WR), 0);
    ASSERT_EQ(nextClientWord(), wordA);
    run(wordA);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    ASSERT_EQ(pipeFds[0], serverFd(wordA));
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);

    run(wordA);
    char c = 0;
    EXPECT_EQ(read(pipeFds[0], &c, 1), 1) << "the stale task read from or closed the pipe";
    EXPECT_EQ(c, 'x');
    close(pipeFds[0]);
    close(pipeFds[1]);
}

// The decryption reads the key file on every request; a FIFO in its place
// holds the first task inside its request until the test feeds the key.
TEST_F(Connections, OverlappingTasksReadOnceAndNoEventIsLost) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int client = connectClient();
    ASSERT_GE(client, 0);
    acceptPending();
    ASSERT_TRUE(harness::sendAll(client, request("dorvanek", "one")));
    uint64_t word = nextClientWord();
    ASSERT_NE(word, kNoWord);
    int fd = serverFd(word);

    std::string pem = readFile("private.pem");
    ASSERT_EQ(rename("private.pem", "private.pem.real"), 0);
    ASSERT_EQ(mkfifo("private.pem", 0600), 0);
    std::atomic<bool> feeding{false};
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
        auto deadline = Clock::now() + std::chrono::seconds(20);
        while (!stop && Clock::now() < deadline) {
            int w = feeding ? open("private.pem", O_WRONLY | O_NONBLOCK | O_CLOEXEC) : -1;
            if (w < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            // A reader that leaves between open and write is no fault: the next one gets a copy.
            ssize_t written = write(w, pem.data(), pem.size());
            (void)written;
            close(w);
        }
    });

    std::thread first([&] { run(word); });
    EXPECT_TRUE(eventually([&] { return pendingBytes(fd) == 0; }, 2000)) << "the first task did not read";
    std::string second = request("tuvi", "two");
    ASSERT_TRUE(harness::sendAll(client, second));
    EXPECT_TRUE(eventually([&] { return pendingBytes(fd) == static_cast<int>(second.size()); }, 2000));

    bool returned = runWithin(word, 1000, [&] { feeding = true; });
    EXPECT_TRUE(returned) << "the overlapping task waited inside the request";
    if (returned) {
        EXPECT_EQ(pendingBytes(fd), static_cast<int>(second.size())) << "both tasks read";
    }

    feeding = true;
    EXPECT_EQ(harness::readReply(client, 200, 10000), harness::okReply() + harness::okReply())
        << "the request that arrived meanwhile was not served";
    stop = true;
    feeder.join();
    first.join();
    ASSERT_EQ(unlink("private.pem"), 0);
    ASSERT_EQ(rename("private.pem.real", "private.pem"), 0);
    EXPECT_EQ(std::string(harness::findRecord("tuvi").key), "two");
}

TEST_F(Connections, TaskWithoutDataReturnsAndKeepsTheConnection) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int client = connectClient();
    ASSERT_GE(client, 0);
    uint64_t word = acceptAndServe(client, "talumesko");
    std::string next = request("talumesko", "second");
    EXPECT_TRUE(runWithin(word, 1000, [&] { harness::sendAll(client, next); })) << "a read without data blocked";
    EXPECT_TRUE(isOpen(serverFd(word)));
    if (pendingBytes(serverFd(word)) == 0) {
        ASSERT_TRUE(harness::sendAll(client, next));
    }
    EXPECT_EQ(nextClientWord(), word);
    run(word);
    EXPECT_EQ(harness::readReply(client), harness::okReply());
}

// A client that sends but never reads: once its replies no longer fit, the
// server must give the connection up rather than wait for it.
TEST_F(Connections, ReplyThatCannotBeWrittenEndsTheConnection) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int small = 4096;
    ASSERT_EQ(setsockopt(listenFd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(client, 0);
    clients_.push_back(client);
    ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    ASSERT_TRUE(connectToListener(client));
    acceptPending();
    ASSERT_TRUE(harness::sendAll(client, "junk"));
    uint64_t word = nextClientWord();
    ASSERT_NE(word, kNoWord);
    int fd = serverFd(word);

    std::string junk(512, 'j');
    auto flood = [&] {
        for (int i = 0; i < 5000 && isOpen(fd); i++) {
            send(client, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            run(word);
        }
    };
    auto done = std::async(std::launch::async, flood);
    if (done.wait_for(std::chrono::seconds(8)) != std::future_status::ready) {
        ADD_FAILURE() << "a reply write blocked the task";
        // A reset is what fails the blocked write.
        struct linger abort = {1, 0};
        setsockopt(client, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        close(client);
        clients_.pop_back();
    }
    done.wait();
    EXPECT_FALSE(isOpen(fd)) << "the connection was kept although its replies could not be written";
}

TEST_F(Connections, ClientThatCannotBeWatchedIsClosed) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    int notEpoll = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(notEpoll, 0);
    int client = connectClient();
    ASSERT_GE(client, 0);
    int before = openDescriptors();
    testing::internal::CaptureStdout();
    run(static_cast<uint32_t>(listenFd_), notEpoll);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("add event to epoll failed"), std::string::npos) << log;
    EXPECT_EQ(openDescriptors(), before);
    char c;
    EXPECT_TRUE(eventually([&] { return recv(client, &c, 1, MSG_DONTWAIT) == 0; }, 1000)) << "not closed";
    close(notEpoll);
}

// Workers serve events from a loop like the server's while clients come and
// go quickly; replies must match their requests one for one.
TEST_F(Connections, ClosingRaceKeepsRepliesApartAndDescriptorsBalanced) {
    SKIP_UNLESS_PRIVATE_WORLD();
    ASSERT_NO_FATAL_FAILURE(prepare());
    const std::string okBlock = request("brenquolar", "race");
    const std::string refusedBlock = request("mallory", "race");
    int baseline = openDescriptors();

    std::atomic<bool> stopLoop{false};
    std::atomic<int> answered{0};
    std::atomic<int> wrong{0};
    std::mutex firstErrorLock;
    std::string firstError;
    auto note = [&](const std::string& what) {
        wrong++;
        std::lock_guard<std::mutex> guard(firstErrorLock);
        if (firstError.empty()) firstError = what;
    };
    {
        ThreadPool pool(3, 10);
        std::thread loop([&] {
            struct epoll_event events[64];
            while (!stopLoop) {
                int n = epoll_wait(epollFd_, events, 64, 50);
                for (int i = 0; i < n; i++) {
                    Task task = taskFor(events[i].data.u64);
                    pool.addTask(task);
                }
            }
        });
        auto deadline = Clock::now() + std::chrono::seconds(5);
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; t++) {
            clients.emplace_back([&, t] {
                for (int round = t; Clock::now() < deadline; round++) {
                    int fd = harness::connectServer(port_);
                    if (fd < 0) {
                        note("connect failed");
                        continue;
                    }
                    int kind = round % 5;
                    if (kind == 4) {
                        close(fd);
                        continue;
                    }
                    const std::string& block = kind == 1 ? refusedBlock : kind == 2 ? std::string(256, 'g') : okBlock;
                    harness::sendAll(fd, block);
                    if (kind == 3) {
                        struct linger abort = {1, 0};
                        if (round % 2) setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
                        close(fd);
                        continue;
                    }
                    std::string expected = kind == 0 ? harness::okReply() : harness::failedReply();
                    std::string reply = harness::readReply(fd, 100, 5000);
                    shutdown(fd, SHUT_WR);
                    std::string extra = harness::readReply(fd, 1, 5000);
                    if (reply != expected || !extra.empty()) {
                        note("kind " + std::to_string(kind) + " got " + std::to_string(reply.size()) +
                             " bytes: " + reply.c_str() + ", then " + std::to_string(extra.size()));
                    } else {
                        answered++;
                    }
                    close(fd);
                }
            });
        }
        for (std::thread& c : clients) c.join();
        EXPECT_TRUE(eventually([&] { return openDescriptors() == baseline; }, 5000))
            << openDescriptors() - baseline << " connections were never closed";
        stopLoop = true;
        loop.join();
    }
    EXPECT_EQ(wrong.load(), 0) << firstError;
    EXPECT_GT(answered.load(), 20);
}

// The real server under a low descriptor limit: connections beyond it are
// shed, and once clients leave the server serves again.
TEST_F(Connections, DescriptorExhaustionShedsConnectionsAndKeepsServing) {
    SKIP_UNLESS_PRIVATE_WORLD();
    dir_ = harness::makeTempDir("exhaustion");
    harness::writeKeyPair(dir_, 2048);
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir_, {"prlimit", "--nofile=24", "--"}));
    ASSERT_TRUE(server.waitReady());
    // The readiness probe's connection must be gone before counting.
    ASSERT_TRUE(eventually([&] { return server.stderrText().find("connect close") != std::string::npos; }, 2000));
    int idle = server.openDescriptorCount();

    std::vector<int> fds;
    for (int i = 0; i < 40; i++) {
        int fd = harness::connectServer();
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
    }
    EXPECT_TRUE(eventually([&] { return server.stderrText().find("accept error") != std::string::npos; }, 3000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int shed = 0;
    char c;
    for (int fd : fds) shed += recv(fd, &c, 1, MSG_DONTWAIT) == 0;
    EXPECT_GT(shed, 0);
    EXPECT_LT(shed, 40);
    for (int fd : fds) close(fd);
    EXPECT_TRUE(eventually([&] { return server.openDescriptorCount() == idle; }, 3000));
    EXPECT_EQ(harness::registerOnce(dir_ + "/public.pem", "tuvi", "after"), harness::okReply());
    EXPECT_EQ(server.waitExit(0), -1) << "the server ended";
    server.stop();
}

// Disabled until reading the key file survives a full descriptor table: the
// server now ends with "no private.pem: Too many open files" (status 255).
TEST_F(Connections, RequestDuringDescriptorExhaustionIsAnswered) {
    SKIP_UNLESS_PRIVATE_WORLD();
    dir_ = harness::makeTempDir("exhaustion");
    harness::writeKeyPair(dir_, 2048);
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir_, {"prlimit", "--nofile=24", "--"}));
    ASSERT_TRUE(server.waitReady());
    std::vector<int> fds;
    for (int i = 0; i < 30; i++) fds.push_back(harness::connectServer());
    EXPECT_TRUE(eventually([&] { return server.stderrText().find("accept error") != std::string::npos; }, 3000));
    // A descriptor freed late (the readiness probe's) is taken by one more client.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    fds.push_back(harness::connectServer());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::string block = harness::encryptFor(dir_ + "/public.pem", harness::requestJson("tuvi", "k"));
    ASSERT_TRUE(harness::sendAll(fds[0], block));
    EXPECT_EQ(harness::readReply(fds[0], 100, 3000).size(), 100u);
    EXPECT_EQ(server.waitExit(200), -1) << server.stderrText();
    for (int fd : fds) close(fd);
    server.stop();
}

}  // namespace
