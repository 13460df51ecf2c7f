// Socket utilities over short local streams. Every blocking call works on a
// descriptor with a receive/send time-out, so a broken wrapper fails a test
// instead of hanging it.
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

namespace {

std::atomic<int> interruptions{0};
void countInterruption(int) { interruptions++; }

// A connected stream pair whose blocking calls give up after two seconds.
struct StreamPair {
    int a = -1, b = -1;
    StreamPair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        a = fds[0];
        b = fds[1];
        struct timeval tv = {2, 0};
        for (int fd : fds)
            for (int opt : {SO_RCVTIMEO, SO_SNDTIMEO}) setsockopt(fd, SOL_SOCKET, opt, &tv, sizeof tv);
    }
    void closeB() { close(b), b = -1; }
    ~StreamPair() { close(a), close(b); }
    void send(const std::string& s) { ASSERT_EQ(write(b, s.data(), s.size()), static_cast<ssize_t>(s.size())); }
};

// "n:text" for one Readline call.
std::string readLine(int fd, size_t maxlen = 100) {
    char buf[513];
    memset(buf, 'X', sizeof buf);
    buf[512] = '\0';
    ssize_t n = Readline(fd, buf, maxlen);
    return std::to_string(n) + ":" + buf;
}

char threadState(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Runs call on a thread, interrupts it with a signal once it sleeps in the
// kernel (no SA_RESTART, so the system call fails with EINTR), then runs
// unblock and returns the call's result.
ssize_t interruptedCall(std::function<ssize_t()> call, std::function<void()> unblock) {
    struct sigaction sa = {}, old;
    sa.sa_handler = countInterruption;
    EXPECT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    interruptions = 0;
    std::atomic<pid_t> tid{0};
    ssize_t result = -2;
    std::thread worker([&] {
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        result = call();
    });
    for (int i = 0; i < 200 && (tid == 0 || threadState(tid) != 'S'); i++) usleep(5000);
    EXPECT_EQ(threadState(tid), 'S') << "the call never blocked";
    EXPECT_EQ(pthread_kill(worker.native_handle(), SIGUSR1), 0);
    for (int i = 0; i < 200 && interruptions == 0; i++) usleep(5000);
    usleep(20000);  // time for a faulty wrapper to return early
    unblock();
    worker.join();
    EXPECT_EQ(interruptions, 1);
    sigaction(SIGUSR1, &old, nullptr);
    return result;
}

sockaddr_in boundAddress(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return addr;
}

TEST(Readn, ZeroCountThenPiecesThenShortAtEndOfStream) {
    StreamPair p;
    char buf[16] = {0};
    EXPECT_EQ(Readn(p.a, buf, 0), 0);
    std::thread writer([&] {
        p.send("abc");
        usleep(20000);
        p.send("defg");
        p.closeB();
    });
    EXPECT_EQ(Readn(p.a, buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "abcde");
    writer.join();
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(Readn(p.a, buf, 10), 2);
    EXPECT_STREQ(buf, "fg");
}

TEST(Writen, ZeroCountWritesNothingAndClosedPeerGivesEpipe) {
    sighandler_t old = signal(SIGPIPE, SIG_IGN);
    StreamPair p;
    EXPECT_EQ(Writen(p.a, "abc", 0), 0);
    char c;
    EXPECT_EQ(recv(p.b, &c, 1, MSG_DONTWAIT), -1);
    p.closeB();
    EXPECT_EQ(Writen(p.a, "abc", 3), -1);
    EXPECT_EQ(errno, EPIPE);
    signal(SIGPIPE, old);
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

TEST(Interrupted, ReadsAreRepeatedAfterASignal) {
    StreamPair p;
    char buf[16] = {0};
    EXPECT_EQ(interruptedCall([&] { return Read(p.a, buf, sizeof buf); }, [&] { p.send("hello"); }), 5);
    EXPECT_STREQ(buf, "hello");
    memset(buf, 0, sizeof buf);
    p.send("ab");
    EXPECT_EQ(interruptedCall([&] { return Readn(p.a, buf, 5); }, [&] { p.send("cde"); }), 5);
    EXPECT_STREQ(buf, "abcde");
    memset(buf, 0, sizeof buf);
    EXPECT_EQ(interruptedCall([&] { return Readline(p.a, buf, sizeof buf); }, [&] { p.send("hi\n"); }), 3);
    EXPECT_STREQ(buf, "hi\n");
}

// Readline's read-ahead buffer is shared by the whole process, so every
// Readline test reads its stream to the end and leaves the buffer empty.
TEST(Readline, SplitsLinesAndEndsWithEmptyString) {
    StreamPair p;
    std::string longLine(250, 'L');  // longer than the read-ahead buffer
    p.send("ab\ncd\n" + longLine + "\nef");
    p.closeB();
    EXPECT_EQ(readLine(p.a), "3:ab\n");
    EXPECT_EQ(readLine(p.a), "3:cd\n");
    EXPECT_EQ(readLine(p.a, 512), "251:" + longLine + "\n");
    EXPECT_EQ(readLine(p.a), "2:ef");
    EXPECT_EQ(readLine(p.a), "0:");
}

TEST(Readline, SmallMaxlenFillsTheBufferAndKeepsTheRest) {
    StreamPair p;
    p.send("abcdefg\nxy\n");
    p.closeB();
    char buf[16];
    memset(buf, 'X', sizeof buf);
    EXPECT_EQ(Readline(p.a, buf, 4), 4);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(buf[4], 'X');
    EXPECT_EQ(readLine(p.a), "5:defg\n");
    EXPECT_EQ(Readline(p.a, buf, 1), 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'b');
    buf[0] = 'A';
    errno = 0;
    EXPECT_EQ(Readline(p.a, buf, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(buf[0], 'A');
    EXPECT_EQ(readLine(p.a), "3:xy\n");
    EXPECT_EQ(readLine(p.a), "0:");
}

TEST(Tcp4bind, NullMeansEveryAddressAndLoopbackTextOnlyLoopback) {
    int any = tcp4bind(0, nullptr);
    EXPECT_EQ(boundAddress(any).sin_addr.s_addr, htonl(INADDR_ANY));
    EXPECT_NE(boundAddress(any).sin_port, 0);
    EXPECT_EQ(Close(any), 0);
    // Ports from 32768 up do not fit a positive short and must still work.
    int probe = tcp4bind(0, "127.0.0.1");
    uint16_t port = ntohs(boundAddress(probe).sin_port);
    Close(probe);
    int fd = tcp4bind(static_cast<short>(port), "127.0.0.1");
    EXPECT_EQ(boundAddress(fd).sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(boundAddress(fd).sin_port), port);
    Close(fd);
}

TEST(WrapDeath, FatalFailuresEndTheProcessWithTheirMessage) {
    EXPECT_EXIT(tcp4bind(0, "300.1.2.3"), testing::ExitedWithCode(1), "300\\.1\\.2\\.3");
    int holder = tcp4bind(0, "127.0.0.1");
    ASSERT_EQ(listen(holder, 1), 0);
    short port = static_cast<short>(ntohs(boundAddress(holder).sin_port));
    EXPECT_EXIT(tcp4bind(port, "127.0.0.1"), testing::ExitedWithCode(255), "bind error: Address already in use");
    close(holder);
    int fd = open("/dev/null", O_RDONLY);
    ASSERT_EQ(close(fd), 0);
    EXPECT_EXIT(Close(fd), testing::ExitedWithCode(255), "close error: Bad file descriptor");
}

}  // namespace
