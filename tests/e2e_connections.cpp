// Connection handling. The tests drive processRequest directly, on a
// listening socket and epoll set of their own, so that they can run a task
// exactly when a race would have it run: late, twice at once, or for a
// descriptor that has since changed hands. Descriptor exhaustion and clients
// that vanish are e2e_faults' concern.
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

#include <atomic>
#include <chrono>
#include <climits>
#include <cstring>
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
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
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
    for (auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); !done();) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void resetOnClose(int fd) {
    struct linger abort = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
}

class Connections : public ::testing::Test {
protected:
    // Key pair in the working directory (the decryption reads it there), a
    // non-blocking listener on a port of our own, and an epoll set with it.
    void SetUp() override {
        if (!harness::inPrivateWorld()) return;
        dir_ = harness::makeTempDir("connections");
        harness::writeKeyPair(dir_, 2048);
        char cwd[PATH_MAX];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        oldCwd_ = cwd;
        ASSERT_EQ(chdir(dir_.c_str()), 0);

        listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        addr_.sin_family = AF_INET;
        addr_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr_;
        ASSERT_EQ(bind(listenFd_, reinterpret_cast<sockaddr*>(&addr_), len), 0);
        ASSERT_EQ(listen(listenFd_, 128), 0);
        ASSERT_EQ(getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr_), &len), 0);

        epollFd_ = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event ev;
        ev.events = EPOLLIN | EPOLLET;
        ev.data.u64 = listenWord();
        ASSERT_EQ(epoll_ctl(epollFd_, EPOLL_CTL_ADD, listenFd_, &ev), 0);
    }

    void TearDown() override {
        for (int fd : clients_) close(fd);
        if (epollFd_ >= 0) close(epollFd_);
        if (listenFd_ >= 0) close(listenFd_);
        if (!oldCwd_.empty() && chdir(oldCwd_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << oldCwd_;
        if (!HasFailure() && !dir_.empty()) harness::removeTree(dir_);
    }

    uint64_t listenWord() const { return static_cast<uint32_t>(listenFd_); }

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

    // A client socket, connected unless made for options set before connecting.
    int client(bool connected = true) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        clients_.push_back(fd);
        return connected && !connectClient(fd) ? -1 : fd;
    }
    bool connectClient(int fd) { return connect(fd, reinterpret_cast<sockaddr*>(&addr_), sizeof addr_) == 0; }

    // The next client event word that epoll reports, kNoWord after timeoutMs.
    // One event per call: with edge triggering the others stay reported ready.
    uint64_t nextClientWord(int timeoutMs = 1000) {
        for (auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs); Clock::now() < deadline;) {
            struct epoll_event event;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            uint64_t word = epoll_wait(epollFd_, &event, 1, static_cast<int>(left) + 1) == 1 ? event.data.u64 : kNoWord;
            if (word != kNoWord && word != listenWord()) return word;
        }
        return kNoWord;
    }

    std::string request(const std::string& userid, const std::string& key) {
        return harness::encryptFor(dir_ + "/public.pem", harness::requestJson(userid, key));
    }

    // Accepts a client, sends bytes and returns the connection's word, unserved.
    uint64_t acceptAndSend(int fd, const std::string& bytes) {
        run(listenWord());
        EXPECT_TRUE(harness::sendAll(fd, bytes));
        uint64_t word = nextClientWord();
        EXPECT_NE(word, kNoWord);
        return word;
    }

    std::string dir_, oldCwd_;
    struct sockaddr_in addr_ = {};
    int listenFd_ = -1, epollFd_ = -1;
    std::vector<int> clients_;
};

TEST_F(Connections, ListenTaskAcceptsTheWholeBacklog) {
    SKIP_UNLESS_PRIVATE_WORLD();
    std::vector<int> fds;
    for (int i = 0; i < 4; i++) fds.push_back(client());
    run(listenWord());
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

// A task that runs after its connection closed must not touch whatever now
// holds the descriptor number: first another client, then a pipe.
TEST_F(Connections, StaleTaskLeavesAloneWhatReusedItsDescriptor) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int a = client();
    uint64_t wordA = acceptAndSend(a, request("dorvanek", "first"));
    run(wordA);
    EXPECT_EQ(harness::readReply(a), harness::okReply());
    int fd = serverFd(wordA);
    // B's own socket must exist before the server frees A's descriptor, so
    // that the server's accept is what takes the freed number.
    int b = client(false);
    ASSERT_EQ(shutdown(a, SHUT_WR), 0);
    ASSERT_EQ(nextClientWord(), wordA);
    run(wordA);
    ASSERT_FALSE(isOpen(fd)) << "the end of A's stream did not close it";

    ASSERT_TRUE(connectClient(b));
    std::string requestB = request("tuvi", "for B");
    uint64_t wordB = acceptAndSend(b, requestB);
    ASSERT_EQ(serverFd(wordB), fd) << "B did not get A's old descriptor";
    EXPECT_NE(wordB, wordA);
    run(wordA);
    EXPECT_EQ(harness::readReply(b, 100, 200), "") << "a stale task answered B";
    EXPECT_TRUE(isOpen(fd)) << "a stale task closed B";
    EXPECT_EQ(pendingBytes(fd), static_cast<int>(requestB.size())) << "a stale task took B's request";
    run(wordB);
    EXPECT_EQ(harness::readReply(b), harness::okReply());

    ASSERT_EQ(shutdown(b, SHUT_WR), 0);
    ASSERT_EQ(nextClientWord(), wordB);
    run(wordB);
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
    clients_.insert(clients_.end(), pipeFds, pipeFds + 2);
    ASSERT_EQ(pipeFds[0], fd);
    ASSERT_EQ(write(pipeFds[1], "x", 1), 1);
    run(wordA);
    run(wordB);
    char c = 0;
    EXPECT_EQ(read(pipeFds[0], &c, 1), 1) << "a stale task read from or closed the pipe";
}

// The decryption reads the key file on every request; a FIFO in its place
// holds the first task inside its request until the test feeds the key.
TEST_F(Connections, OverlappingTasksReadOnceAndNoEventIsLost) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int fd = client();
    uint64_t word = acceptAndSend(fd, request("dorvanek", "one"));
    int serverSide = serverFd(word);

    std::ifstream in("private.pem", std::ios::binary);
    std::string pem((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(rename("private.pem", "private.pem.real"), 0);
    ASSERT_EQ(mkfifo("private.pem", 0600), 0);
    std::atomic<bool> feeding{false}, stop{false};
    std::thread feeder([&] {
        for (auto deadline = Clock::now() + std::chrono::seconds(20); !stop && Clock::now() < deadline;) {
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
    EXPECT_TRUE(eventually([&] { return pendingBytes(serverSide) == 0; }, 2000)) << "the first task did not read";
    std::string second = request("tuvi", "two");
    ASSERT_TRUE(harness::sendAll(fd, second));
    EXPECT_TRUE(eventually([&] { return pendingBytes(serverSide) == static_cast<int>(second.size()); }, 2000));
    bool returned = runWithin(word, 1000, [&] { feeding = true; });
    EXPECT_TRUE(returned) << "the overlapping task waited inside the request";
    if (returned) {
        EXPECT_EQ(pendingBytes(serverSide), static_cast<int>(second.size())) << "both tasks read";
    }

    feeding = true;
    EXPECT_EQ(harness::readReply(fd, 200, 10000), harness::okReply() + harness::okReply())
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
    int fd = client();
    uint64_t word = acceptAndSend(fd, request("talumesko", "first"));
    run(word);
    EXPECT_EQ(harness::readReply(fd), harness::okReply());
    std::string next = request("talumesko", "second");
    EXPECT_TRUE(runWithin(word, 1000, [&] { harness::sendAll(fd, next); })) << "a read without data blocked";
    EXPECT_TRUE(isOpen(serverFd(word)));
    if (pendingBytes(serverFd(word)) == 0) {
        ASSERT_TRUE(harness::sendAll(fd, next));
    }
    EXPECT_EQ(nextClientWord(), word);
    run(word);
    EXPECT_EQ(harness::readReply(fd), harness::okReply());
}

// A client that sends but never reads: once its replies no longer fit, the
// server must give the connection up rather than wait for it.
TEST_F(Connections, ReplyThatCannotBeWrittenEndsTheConnection) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int small = 4096;
    ASSERT_EQ(setsockopt(listenFd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    int fd = client(false);
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    ASSERT_TRUE(connectClient(fd));
    uint64_t word = acceptAndSend(fd, "junk");
    int serverSide = serverFd(word);

    std::string junk(512, 'j');
    auto done = std::async(std::launch::async, [&] {
        for (int i = 0; i < 5000 && isOpen(serverSide); i++) {
            send(fd, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            run(word);
        }
    });
    if (done.wait_for(std::chrono::seconds(8)) != std::future_status::ready) {
        ADD_FAILURE() << "a reply write blocked the task";
        resetOnClose(fd);  // a reset is what fails the blocked write
        close(fd);
        clients_.pop_back();
    }
    done.wait();
    EXPECT_FALSE(isOpen(serverSide)) << "the connection was kept although its replies could not be written";
}

TEST_F(Connections, ClientThatCannotBeWatchedIsClosed) {
    SKIP_UNLESS_PRIVATE_WORLD();
    int notEpoll = open("/dev/null", O_RDONLY | O_CLOEXEC);
    clients_.push_back(notEpoll);
    int fd = client();
    int before = openDescriptors();
    testing::internal::CaptureStdout();
    run(listenWord(), notEpoll);
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("add event to epoll failed"), std::string::npos) << log;
    EXPECT_EQ(openDescriptors(), before);
    char c;
    EXPECT_TRUE(eventually([&] { return recv(fd, &c, 1, MSG_DONTWAIT) == 0; }, 1000)) << "not closed";
}

// Workers serve events from a loop like the server's while clients come and
// go quickly; replies must match their requests one for one.
TEST_F(Connections, ClosingRaceKeepsRepliesApartAndDescriptorsBalanced) {
    SKIP_UNLESS_PRIVATE_WORLD();
    const std::string blocks[] = {request("brenquolar", "race"), request("mallory", "race"), std::string(256, 'g')};
    int baseline = openDescriptors();
    std::atomic<bool> stopLoop{false};
    std::atomic<int> answered{0}, wrong{0};
    std::mutex errorLock;
    std::string firstError;
    auto note = [&](const std::string& what) {
        wrong++;
        std::lock_guard<std::mutex> guard(errorLock);
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
        auto deadline = Clock::now() + std::chrono::seconds(3);
        std::vector<std::thread> clients;
        for (int t = 0; t < 4; t++) {
            clients.emplace_back([&, t] {
                for (int round = t; Clock::now() < deadline; round++) {
                    int kind = round % 5;  // 0 ok, 1 refused, 2 garbage, 3 leaves after sending, 4 sends nothing
                    int fd = harness::connectServer(ntohs(addr_.sin_port));
                    if (fd < 0) {
                        note("connect failed");
                        continue;
                    }
                    if (kind < 4) harness::sendAll(fd, blocks[kind % 3]);
                    if (kind >= 3) {
                        if (round % 2) resetOnClose(fd);
                        close(fd);
                        continue;
                    }
                    std::string reply = harness::readReply(fd, 100, 5000);
                    shutdown(fd, SHUT_WR);
                    std::string extra = harness::readReply(fd, 1, 5000);
                    close(fd);
                    if (reply == (kind == 0 ? harness::okReply() : harness::failedReply()) && extra.empty()) {
                        answered++;
                    } else {
                        note("kind " + std::to_string(kind) + " got " + reply.c_str() + ", then " + extra);
                    }
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

}  // namespace
