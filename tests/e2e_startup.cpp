// Start-up and the ways out of it: the listening socket, a port already
// taken, a port left in TIME_WAIT, the numbering of dispatched events, and
// the daemon routine.
#include "epoll_et_server.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Whether /proc/net/tcp of this network namespace has a socket on local
// ("AABBCCDD:PPPP", address in host order hex) in state ("0A" LISTEN,
// "06" TIME_WAIT).
bool hasTcpRow(const std::string& local, const std::string& state) {
    std::ifstream in("/proc/net/tcp");
    std::string line, slot, address, remote, st;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream(line) >> slot >> address >> remote >> st;
        if (address == local && st == state) return true;
    }
    return false;
}

bool waitForLog(const harness::ServerProcess& server, const std::string& what, size_t times) {
    for (int waited = 0; waited < 5000; waited += 10, sleepMs(10)) {
        std::string log = server.stdoutText();
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) n++;
        if (n >= times) return true;
    }
    return false;
}

// From here on every fork of this process fails with EAGAIN.
bool forksRefused = false;

bool refuseForks() {
    forksRefused = true;
    struct sock_filter filter[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 3, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 2, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_fork, 1, 0),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EAGAIN),
    };
    struct sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
    return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 && prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        SKIP_UNLESS_PRIVATE_WORLD();
        dir = harness::makeTempDir("startup");
        harness::writeKeyPair(dir);
        ASSERT_TRUE(server.start(dir));
        ASSERT_TRUE(server.waitReady());
    }
    void TearDown() override {
        if (!dir.empty() && !HasFailure()) harness::removeTree(dir);
    }
    std::string dir;
    harness::ServerProcess server;
};

TEST_F(Startup, AnnouncesItselfAndListensOnEveryAddress) {
    EXPECT_TRUE(waitForLog(server, "Server start!\n", 1));
    EXPECT_TRUE(hasTcpRow("00000000:2260", "0A")) << "no listener on 0.0.0.0:8800";
    // 127.0.0.2 is local too but is not 127.0.0.1: only a wildcard bind answers.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kServerPort);
    addr.sin_addr.s_addr = htonl(0x7f000002);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    EXPECT_EQ(server.stop(), 128 + SIGTERM);
}

TEST_F(Startup, SecondInstanceEndsWithBindError) {
    harness::ServerProcess second;
    std::string otherDir = dir + "/second";
    ASSERT_EQ(mkdir(otherDir.c_str(), 0700), 0);
    ASSERT_TRUE(second.start(otherDir));
    EXPECT_EQ(second.waitExit(5000), 255);
    EXPECT_NE(second.stderrText().find("bind error: Address already in use"), std::string::npos)
        << second.stderrText();
    EXPECT_EQ(second.stdoutText().find("Server start!"), std::string::npos);
    EXPECT_GE(harness::connectServer(), 0) << "the first server must keep running";
}

TEST_F(Startup, EventsAreNumberedFromZeroWithoutGaps) {
    // The readiness probe is the first event.
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(harness::registerOnce(dir + "/public.pem", "tuvi", "k" + std::to_string(i)), harness::okReply());
    // Each registration makes at least an accept and a request event; the
    // probe an accept and a close.
    ASSERT_TRUE(waitForLog(server, "task id:", 8));
    sleepMs(300);  // workers may still be printing the last numbers
    server.stop();
    std::string log = server.stdoutText();
    std::vector<int> ids;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("task id:", 0) == 0) ids.push_back(std::stoi(line.substr(8)));
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 0);
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); i++) ASSERT_EQ(ids[i], static_cast<int>(i)) << "numbers repeat or have gaps";
    EXPECT_NE(log.find("receive n:1\n"), std::string::npos);
}

TEST_F(Startup, RestartsWhileThePortIsInTimeWait) {
    int client = harness::connectServer();
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitForLog(server, "finish add conect", 2)) << "the connection was never accepted";
    // The server's end closes first, so it is the end that enters TIME_WAIT.
    server.stop(SIGKILL);
    ASSERT_EQ(harness::readReply(client, 1, 2000), "");
    close(client);
    bool timeWait = false;
    for (int i = 0; i < 200 && !(timeWait = hasTcpRow("0100007F:2260", "06")); i++) sleepMs(10);
    ASSERT_TRUE(timeWait) << "no connection of port 8800 in TIME_WAIT";
    harness::ServerProcess second;
    ASSERT_TRUE(second.start(dir));
    EXPECT_TRUE(second.waitReady()) << second.stderrText();
    EXPECT_EQ(second.stderrText().find("bind error"), std::string::npos);
}

// The daemon reports on a pipe, as its standard streams lead to /dev/null:
// "<session leader> <streams on /dev/null> <umask> <working directory>".
[[noreturn]] void becomeDaemonAndReport(int report) {
    createDamon();
    struct stat null, s0, s1, s2;
    bool onNull = stat("/dev/null", &null) == 0 && fstat(0, &s0) == 0 && fstat(1, &s1) == 0 && fstat(2, &s2) == 0 &&
                  s0.st_rdev == null.st_rdev && s1.st_rdev == null.st_rdev && s2.st_rdev == null.st_rdev;
    char cwd[PATH_MAX] = "?";
    if (getcwd(cwd, sizeof cwd) == nullptr) strcpy(cwd, "?");
    std::string line = std::to_string(getsid(0) == getpid()) + " " + std::to_string(onNull) + " " +
                       std::to_string(umask(077)) + " " + cwd + "\n";
    _exit(write(report, line.data(), line.size()) < 0 ? 2 : 0);
}

TEST(Daemon, CallerEndsWithZeroAndTheChildDetaches) {
    SKIP_UNLESS_PRIVATE_WORLD();
    char startDir[PATH_MAX];
    ASSERT_NE(getcwd(startDir, sizeof startDir), nullptr);
    int report[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, report), 0);
    fflush(nullptr);
    pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(report[0]);
        becomeDaemonAndReport(report[1]);
    }
    close(report[1]);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && (done = waitpid(caller, &status, WNOHANG)) == 0; i++) sleepMs(10);
    if (done == 0) kill(caller, SIGKILL);
    ASSERT_EQ(done, caller);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string text = harness::readReply(report[0], PATH_MAX + 32, 5000);  // to the daemon's end
    close(report[0]);
    int leader = 0, onNull = 0, mask = -1;
    std::string cwd;
    ASSERT_TRUE(std::istringstream(text) >> leader >> onNull >> mask >> cwd) << "the daemon never reported";
    EXPECT_EQ(leader, 1) << "not a session leader";
    EXPECT_EQ(onNull, 1) << "standard streams not on /dev/null";
    EXPECT_EQ(mask, 0);
    // Its fixed directory may not exist here; then it stays where it was.
    bool inWorkspace = cwd.size() >= 19 && cwd.compare(cwd.size() - 19, 19, "secretkey_workspace") == 0;
    EXPECT_TRUE(inWorkspace || cwd == startDir) << cwd;
}

// A fork that failed is no success: the caller says so and ends with a
// status that a supervisor can see.
TEST(Daemon, CallerReportsAFailedFork) {
    SKIP_UNLESS_PRIVATE_WORLD();
    EXPECT_EXIT(
        {
            if (!refuseForks()) _exit(3);
            createDamon();
            _exit(4);  // only a daemon that was forked after all gets here
        },
        testing::ExitedWithCode(1), "fork error");
}

}  // namespace

// LeakSanitizer's check at exit starts a thread, which a process that may not
// fork cannot do: it would end the daemon test with its own status.
extern "C" int __lsan_is_turned_off() { return forksRefused ? 1 : 0; }
