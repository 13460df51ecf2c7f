// Socket utilities over short local streams. Every blocking call works on a
// descriptor with a receive/send time-out, so a broken wrapper fails a test
// instead of hanging it.
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions++; }

void setTimeouts(int fd, int ms) {
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv), 0);
    ASSERT_EQ(setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv), 0);
}

// A connected stream pair whose blocking calls give up after two seconds.
struct StreamPair {
    int a = -1, b = -1;
    StreamPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a = fds[0];
        b = fds[1];
        setTimeouts(a, 2000);
        setTimeouts(b, 2000);
    }
    void closeB() {
        if (b >= 0) close(b);
        b = -1;
    }
    ~StreamPair() {
        if (a >= 0) close(a);
        closeB();
    }
    void send(const std::string& s) { ASSERT_EQ(write(b, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
};

std::string line(int fd, size_t maxlen) {
    char buf[512];
    memset(buf, 'X', sizeof buf);
    ssize_t n = Readline(fd, buf, maxlen);
    EXPECT_GE(n, 0);
    return std::string(buf);
}

char threadState(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Runs call on a thread, interrupts it with a signal once it sleeps in the
// kernel (the handler is installed without SA_RESTART, so the system call
// fails with EINTR), then runs unblock and returns the call's result.
ssize_t interruptedCall(std::function<ssize_t()> call, std::function<void()> unblock) {
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = countInterruption;
    sigemptyset(&sa.sa_mask);
    EXPECT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    interruptions = 0;
    std::atomic<pid_t> tid{0};
    ssize_t result = -2;
    std::thread worker([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = call();
    });
    pthread_t handle = worker.native_handle();
    for (int i = 0; i < 200 && (tid == 0 || threadState(tid) != 'S'); i++) usleep(5000);
    EXPECT_EQ(threadState(tid), 'S') << "the call never blocked";
    EXPECT_EQ(pthread_kill(handle, SIGUSR1), 0);
    for (int i = 0; i < 200 && interruptions == 0; i++) usleep(5000);
    usleep(20000);  // time for a faulty wrapper to return early
    unblock();
    worker.join();
    EXPECT_EQ(interruptions, 1);
    EXPECT_EQ(sigaction(SIGUSR1, &old, nullptr), 0);
    return result;
}

sockaddr_in boundAddress(int fd) {
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return addr;
}

TEST(Readn, ZeroCountReadsNothing) {
    StreamPair p;
    p.send("x");
    char c = 0;
    EXPECT_EQ(Readn(p.a, &c, 0), 0);
    ASSERT_EQ(read(p.a, &c, 1), 1);
    EXPECT_EQ(c, 'x');
}

TEST(Readn, CollectsPiecesAndStopsShortAtEndOfStream) {
    StreamPair p;
    std::thread writer([&] {
        p.send("abc");
        usleep(20000);
        p.send("defg");
        p.closeB();
    });
    char buf[16] = {0};
    EXPECT_EQ(Readn(p.a, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    writer.join();
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(Readn(p.a, buf, 10), 2);
    EXPECT_EQ(std::string(buf), "fg");
}

TEST(Writen, ZeroCountWritesNothing) {
    StreamPair p;
    EXPECT_EQ(Writen(p.a, "abc", 0), 0);
    char c;
    EXPECT_EQ(recv(p.b, &c, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST(Writen, ClosedPeerGivesMinusOne) {
    sighandler_t old = signal(SIGPIPE, SIG_IGN);
    StreamPair p;
    p.closeB();
    EXPECT_EQ(Writen(p.a, "abc", 3), -1);
    EXPECT_EQ(errno, EPIPE);
    signal(SIGPIPE, old);
}

TEST(Interrupted, ReadIsRepeated) {
    StreamPair p;
    char buf[16] = {0};
    ssize_t n = interruptedCall([&] { return Read(p.a, buf, sizeof buf); }, [&] { p.send("hello"); });
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(buf, "hello");
}

TEST(Interrupted, ReadnGoesOn) {
    StreamPair p;
    p.send("ab");
    char buf[8] = {0};
    ssize_t n = interruptedCall([&] { return Readn(p.a, buf, 5); }, [&] { p.send("cde"); });
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(buf, "abcde");
}

TEST(Interrupted, ReadlineRefillIsRepeated) {
    StreamPair p;
    char buf[16] = {0};
    ssize_t n = interruptedCall([&] { return Readline(p.a, buf, sizeof buf); }, [&] { p.send("hi\n"); });
    EXPECT_EQ(n, 3);
    EXPECT_STREQ(buf, "hi\n");
}

TEST(Interrupted, WritenDeliversEverything) {
    StreamPair p;
    int fill = fcntl(p.a, F_GETFL);
    ASSERT_EQ(fcntl(p.a, F_SETFL, fill | O_NONBLOCK), 0);
    size_t queued = 0;
    char chunk[4096];
    memset(chunk, 'q', sizeof chunk);
    for (ssize_t n; (n = write(p.a, chunk, sizeof chunk)) > 0;) queued += static_cast<size_t>(n);
    ASSERT_EQ(fcntl(p.a, F_SETFL, fill), 0);
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>('a' + i % 26);
    std::string received;
    ssize_t n = interruptedCall([&] { return Writen(p.a, data.data(), data.size()); },
                                [&] {
                                    char buf[65536];
                                    while (received.size() < queued + data.size()) {
                                        ssize_t got = read(p.b, buf, sizeof buf);
                                        if (got <= 0) break;
                                        received.append(buf, static_cast<size_t>(got));
                                    }
                                });
    EXPECT_EQ(n, static_cast<ssize_t>(data.size()));
    ASSERT_EQ(received.size(), queued + data.size());
    EXPECT_TRUE(received.compare(queued, data.size(), data) == 0);
}

TEST(Interrupted, AcceptRepeatsSilently) {
    EXPECT_EXIT(
        {
            int lfd = tcp4bind(0, "127.0.0.1");
            if (listen(lfd, 4) != 0) _exit(3);
            sockaddr_in addr = boundAddress(lfd);
            int conn = socket(AF_INET, SOCK_STREAM, 0);
            int fd = static_cast<int>(interruptedCall([&] { return Accept(lfd, nullptr, nullptr); },
                                                      [&] {
                                                          if (connect(conn, reinterpret_cast<sockaddr*>(&addr),
                                                                      sizeof addr) != 0)
                                                              _exit(4);
                                                      }));
            _exit(fd >= 0 && interruptions == 1 ? 0 : 5);
        },
        testing::ExitedWithCode(0), "^$");
}

// Readline's read-ahead buffer is shared by the whole process, so every
// Readline test reads its stream to the end and leaves the buffer empty.
TEST(Readline, SplitsLinesAndEndsWithEmptyString) {
    StreamPair p;
    std::string longLine(250, 'L');
    p.send("ab\ncd" + std::string("\n") + longLine + "\nef");
    p.closeB();
    char buf[512];
    EXPECT_EQ(Readline(p.a, buf, 100), 3);
    EXPECT_STREQ(buf, "ab\n");
    EXPECT_EQ(Readline(p.a, buf, 100), 3);
    EXPECT_STREQ(buf, "cd\n");
    EXPECT_EQ(Readline(p.a, buf, sizeof buf), 251);
    EXPECT_EQ(std::string(buf), longLine + "\n");
    EXPECT_EQ(Readline(p.a, buf, 100), 2);
    EXPECT_STREQ(buf, "ef");
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(Readline(p.a, buf, 100), 0);
    EXPECT_STREQ(buf, "");
}

TEST(Readline, FullBufferReturnsMaxlenAndKeepsTheRest) {
    StreamPair p;
    p.send("abcdefg\n");
    p.closeB();
    char buf[16];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(Readline(p.a, buf, 4), 4);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
    EXPECT_EQ(line(p.a, 100), "defg\n");
    EXPECT_EQ(line(p.a, 100), "");
}

TEST(Readline, MaxlenOneStoresOnlyTheTerminator) {
    StreamPair p;
    p.send("xy\n");
    p.closeB();
    char buf[4] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(Readline(p.a, buf, 1), 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'B');
    EXPECT_EQ(line(p.a, 100), "xy\n");
    EXPECT_EQ(line(p.a, 100), "");
}

TEST(Readline, MaxlenZeroIsRefused) {
    StreamPair p;
    p.send("xy\n");
    p.closeB();
    char buf[2] = {'A', 'B'};
    errno = 0;
    EXPECT_EQ(Readline(p.a, buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf[0], 'A');
    EXPECT_EQ(line(p.a, 100), "xy\n");
    EXPECT_EQ(line(p.a, 100), "");
}

TEST(Transfers, FailOnABadDescriptorWithItsError) {
    char buf[8];
    EXPECT_EQ(Readn(-1, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(Writen(-1, "x", 1), -1);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(Readline(-1, buf, sizeof buf), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST(Tcp4bind, NullAddressBindsEveryAddress) {
    int fd = tcp4bind(0, nullptr);
    sockaddr_in addr = boundAddress(fd);
    EXPECT_EQ(addr.sin_family, AF_INET);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(addr.sin_port, 0);
    EXPECT_EQ(Close(fd), 0);
}

TEST(Tcp4bind, LoopbackTextBindsLoopbackOnlyOnAnyPort) {
    // Ports from 32768 up do not fit a positive short and must still work.
    int probe = tcp4bind(0, "127.0.0.1");
    uint16_t port = ntohs(boundAddress(probe).sin_port);
    Close(probe);
    int fd = tcp4bind(static_cast<short>(port), "127.0.0.1");
    sockaddr_in addr = boundAddress(fd);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(addr.sin_port), port);
    Close(fd);
}

TEST(Tcp4bindDeath, BadAddressTextExitsWithOne) {
    EXPECT_EXIT(tcp4bind(0, "300.1.2.3"), testing::ExitedWithCode(1), "300\\.1\\.2\\.3");
}

TEST(Tcp4bindDeath, PortInUseEndsWithBindError) {
    int holder = tcp4bind(0, "127.0.0.1");
    ASSERT_EQ(listen(holder, 1), 0);
    short port = static_cast<short>(ntohs(boundAddress(holder).sin_port));
    EXPECT_EXIT(tcp4bind(port, "127.0.0.1"), testing::ExitedWithCode(255), "bind error: Address already in use");
    close(holder);
}

TEST(CloseDeath, BadDescriptorEndsWithCloseError) {
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(close(fd), 0);
    EXPECT_EXIT(Close(fd), testing::ExitedWithCode(255), "close error: Bad file descriptor");
}

}  // namespace
