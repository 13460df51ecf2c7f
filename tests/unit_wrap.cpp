// The socket wrappers, over local stream pairs whose blocking calls give up
// after a few seconds, so a broken wrapper fails a test instead of hanging it.
#include "harness.h"
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/time.h>

#include <csignal>
#include <cstring>
#include <thread>

namespace {

void streamPair(int fds[2]) {
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    struct timeval limit = {5, 0};
    for (int i : {0, 1})
        for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(fds[i], SOL_SOCKET, opt, &limit, sizeof limit);
}

// The second piece is sent only once the first has been read on its own;
// then the peer is gone.
TEST(ReadnWriten, GatherPiecesAndReportAShortStreamOrAClosedPeer) {
    int p[2];
    streamPair(p);
    char buf[16] = {};
    std::thread writer([&] {
        harness::sendAll(p[1], "abc");
        EXPECT_TRUE(harness::waitUntil([&] {
            int unread = -1;
            return ioctl(p[0], FIONREAD, &unread) == 0 && unread == 0;
        }));
        harness::sendAll(p[1], "defg");
        close(p[1]);
    });
    EXPECT_EQ(Readn(p[0], buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    writer.join();
    EXPECT_EQ(Readn(p[0], buf, 10), 2) << "the stream ended after two more bytes";
    EXPECT_EQ(std::string(buf, 2), "fg");
    EXPECT_EQ(Writen(p[0], "abc", 3), -1);
    EXPECT_EQ(errno, EPIPE);
    int q[2];
    streamPair(q);
    EXPECT_EQ(Writen(q[0], "xyz", 3), 3) << "a whole write reported short";
}

// Readline's read-ahead buffer belongs to the whole process: the stream is
// read to its end.
TEST(Readline, StopsAtMaxlen) {
    int p[2];
    streamPair(p);
    harness::sendAll(p[1], "abcdefg\n");
    close(p[1]);
    char buf[8];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(Readline(p[0], buf, 4), 4);
    EXPECT_EQ(std::string(buf, 5), std::string("abc\0X", 5));
    EXPECT_EQ(Readline(p[0], buf, sizeof buf), 5);
    EXPECT_STREQ(buf, "defg\n");
    EXPECT_EQ(Readline(p[0], buf, sizeof buf), 0);
}

// A timer interrupts the blocked read (no SA_RESTART) twice before its
// handler finally writes the data.
int dataPipe[2];
volatile sig_atomic_t ticks = 0;
void tick(int) {
    if (++ticks == 3 && write(dataPipe[1], "x\n", 2) != 2) _exit(9);
}

TEST(Interrupted, ReadsAreRepeated) {
    struct Row {
        const char* name;
        ssize_t (*call)(int, void*, size_t);
        size_t size;
    } rows[] = {{"Read", Read, 8}, {"Readn", Readn, 2}, {"Readline", Readline, 8}};
    struct sigaction action = {};
    action.sa_handler = tick;
    ASSERT_EQ(sigaction(SIGALRM, &action, nullptr), 0);
    for (const Row& row : rows) {
        ASSERT_EQ(pipe2(dataPipe, O_CLOEXEC), 0);
        ticks = 0;
        struct itimerval every = {{0, 2000}, {0, 2000}}, off = {};
        setitimer(ITIMER_REAL, &every, nullptr);
        char buf[8] = {};
        ssize_t n = row.call(dataPipe[0], buf, row.size);
        setitimer(ITIMER_REAL, &off, nullptr);
        EXPECT_EQ(n, 2) << row.name;
        EXPECT_STREQ(buf, "x\n") << row.name;
        close(dataPipe[0]);
        close(dataPipe[1]);
    }
}

TEST(Tcp4bind, BindsTheAddressGivenAndEndsOnABadOne) {
    SKIP_UNLESS_PRIVATE_WORLD();
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ASSERT_EQ(getsockname(tcp4bind(0, "127.0.0.1"), reinterpret_cast<sockaddr*>(&addr), &len), 0);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EXIT(tcp4bind(0, "300.1.2.3"), testing::ExitedWithCode(1), "300.1.2.3");
}

TEST(Close, FailureEndsTheProcessWithStatus255) {
    EXPECT_EXIT(Close(-1), testing::ExitedWithCode(255), "close error");
}

}  // namespace
