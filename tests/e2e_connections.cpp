// Connection handling, driven through processRequest on a listener and epoll
// set of the test's own, so that a task can run exactly when a race would
// have it run: late, twice at once, or for a descriptor that changed hands.
#include "harness.h"
#include "server/connections.h"
#include "server/registration.h"
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <atomic>
#include <climits>
#include <cstring>
#include <functional>
#include <future>
#include <thread>

namespace {

using harness::allowedIds;
const uint64_t kNoWord = UINT64_MAX;

int serverFd(uint64_t word) { return static_cast<int>(static_cast<uint32_t>(word)); }
bool isOpen(int fd) { return fcntl(fd, F_GETFD) >= 0; }
int unread(int fd) {
    int n = -1;
    return ioctl(fd, FIONREAD, &n) == 0 ? n : -1;
}

class Connections : public harness::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        if (IsSkipped()) return;
        // As the server's own: reusable while connections of an earlier test
        // in the same process still hold the port.
        listenFd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        int one = 1;
        ASSERT_EQ(setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one), 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(kServerPort);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(listen(listenFd, 128), 0);
        epollFd = epoll_create1(EPOLL_CLOEXEC);
        struct epoll_event ev = {EPOLLIN | EPOLLET, {}};
        ev.data.u64 = static_cast<uint32_t>(listenFd);
        ASSERT_EQ(epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev), 0);
    }

    // The port must be free for the next test when one process runs them all.
    void TearDown() override {
        for (int fd : {listenFd, epollFd})
            if (fd >= 0) close(fd);
    }

    void run(uint64_t word) {
        Task task{};
        task.epollFd = epollFd;
        task.listenFd = listenFd;
        task.event.data.u64 = word;
        task.arg = &task;
        processRequest(&task);
    }
    void acceptTask() { run(static_cast<uint32_t>(listenFd)); }

    // The next client event that epoll reports; kNoWord after the time-out.
    uint64_t nextClientWord() {
        uint64_t word = kNoWord;
        harness::waitUntil([&] {
            struct epoll_event event;
            word = epoll_wait(epollFd, &event, 1, 0) == 1 ? event.data.u64 : kNoWord;
            return word != kNoWord && serverFd(word) != listenFd;
        });
        return word;
    }

    // Accepts a client, sends bytes, and returns the connection's word, unserved.
    uint64_t acceptAndSend(int fd, const std::string& bytes) {
        acceptTask();
        EXPECT_TRUE(harness::sendAll(fd, bytes));
        return nextClientWord();
    }

    int listenFd = -1, epollFd = -1;
};

// A task that runs after its connection closed must not touch the client
// that now holds the descriptor number.
TEST_F(Connections, StaleTaskLeavesAReusedDescriptorAlone) {
    int a = harness::connectTo();
    uint64_t wordA = acceptAndSend(a, request(allowedIds()[0], "first"));
    run(wordA);
    EXPECT_EQ(harness::readReply(a), harness::kOk);
    int b = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made now, so that the server's accept takes A's number
    ASSERT_EQ(shutdown(a, SHUT_WR), 0);
    ASSERT_EQ(nextClientWord(), wordA);
    run(wordA);
    ASSERT_FALSE(isOpen(serverFd(wordA))) << "the end of A's stream did not close it";
    ASSERT_EQ(harness::connectTo(kServerPort, false, b), b);
    std::string requestB = request(allowedIds()[2], "for B");
    uint64_t wordB = acceptAndSend(b, requestB);
    ASSERT_EQ(serverFd(wordB), serverFd(wordA)) << "B did not get A's old descriptor";
    run(wordA);
    EXPECT_TRUE(isOpen(serverFd(wordB))) << "a stale task closed B";
    EXPECT_EQ(unread(serverFd(wordB)), static_cast<int>(requestB.size())) << "a stale task took B's request";
    run(wordB);
    EXPECT_EQ(harness::readReply(b), harness::kOk);
}

// A FIFO in place of private.pem holds the task of a connection's first
// event before it reads; meanwhile a second request arrives and a second
// task runs for the same connection: it must leave both requests to the
// first, which answers them in order once the key comes.
TEST_F(Connections, OverlappingTasksReadOnceAndNoEventIsLost) {
    int fd = harness::connectTo();
    uint64_t word = acceptAndSend(fd, request(allowedIds()[0], "one"));
    std::string pem = harness::readFile("private.pem");
    ASSERT_EQ(rename("private.pem", "private.pem.real"), 0);
    ASSERT_EQ(mkfifo("private.pem", 0600), 0);
    std::thread first([&] { run(word); });
    std::string second = request(allowedIds()[2], "two");
    ASSERT_TRUE(harness::sendAll(fd, second));
    EXPECT_TRUE(harness::waitUntil([&] { return unread(serverFd(word)) == static_cast<int>(2 * second.size()); }));
    auto overlapping = std::async(std::launch::async, [&] { run(word); });
    EXPECT_EQ(overlapping.wait_for(std::chrono::seconds(5)), std::future_status::ready) << "the second task waited";
    EXPECT_EQ(unread(serverFd(word)), static_cast<int>(2 * second.size())) << "a task read before it had the key";
    std::atomic<bool> served{false};
    std::thread feeder([&] {  // the key, to every read of the FIFO
        while (!served) {
            int w = open("private.pem", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (w >= 0 && write(w, pem.data(), pem.size()) != static_cast<ssize_t>(pem.size())) break;
            if (w >= 0) close(w);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    EXPECT_EQ(harness::readReply(fd, 2 * kReplySize), harness::kOk + harness::kOk);
    first.join();
    served = true;
    feeder.join();
    EXPECT_STREQ(harness::readTable().at(1).key, "two");
}

// With a state file, the committer may answer a held reply before the task
// that read the request has let the connection go, and the client may send
// its next request at once: a task for that request must then leave it to
// the one still serving, never serve beside it.
int handlersInside = 0, mostInside = 0, calls = 0;
std::function<void()> afterFirstReply;
void countingHandler(unsigned char* plain, int len, int fd) {
    mostInside = std::max(mostInside, __atomic_add_fetch(&handlersInside, 1, __ATOMIC_SEQ_CST));
    processMes(plain, len, fd);
    if (__atomic_add_fetch(&calls, 1, __ATOMIC_SEQ_CST) == 1) afterFirstReply();
    __atomic_sub_fetch(&handlersInside, 1, __ATOMIC_SEQ_CST);
}

TEST_F(Connections, AHeldReplyAnsweredFirstHandsTheConnectionToItsTask) {
    startDurableRegistrationsOrExit(dir + "/keys.state");
    int fd = harness::connectTo();
    uint64_t word = acceptAndSend(fd, request(allowedIds()[0], "one"));
    afterFirstReply = [&] {
        EXPECT_EQ(harness::readReply(fd), harness::kOk) << "the committer did not answer first";
        ASSERT_TRUE(harness::sendAll(fd, request(allowedIds()[1], "two")));
        std::thread second([&] { serveClient(nextClientWord(), countingHandler); });
        harness::waitUntil([] { return __atomic_load_n(&calls, __ATOMIC_SEQ_CST) > 1; }, 1000);
        second.join();
    };
    serveClient(word, countingHandler);
    EXPECT_EQ(harness::readReply(fd), harness::kOk);
    stopDurableRegistrations();
    EXPECT_EQ(mostInside, 1) << "two tasks served one connection at once";
    EXPECT_EQ(calls, 2);
}

// A client that sends but never reads: once its replies no longer fit, the
// connection is given up rather than kept.
TEST_F(Connections, ReplyThatCannotBeWrittenEndsTheConnection) {
    int small = 4096;
    ASSERT_EQ(setsockopt(listenFd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    ASSERT_EQ(harness::connectTo(kServerPort, false, fd), fd);
    uint64_t word = acceptAndSend(fd, "junk");
    std::string junk(512, 'j');
    for (int i = 0; i < 5000 && isOpen(serverFd(word)); i++) {
        send(fd, junk.data(), junk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        run(word);
    }
    EXPECT_FALSE(isOpen(serverFd(word))) << "the connection was kept although its replies could not be written";
}

}  // namespace
