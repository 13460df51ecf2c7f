// Start-up and the ways out of it: the listening socket, a port already
// taken, a port left in TIME_WAIT, the numbering of dispatched events, and
// the daemon routine.
#include "epoll_et_server.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <climits>
#include <csignal>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// One row of /proc/net/tcp of this network namespace.
struct TcpRow {
    std::string local;   // "AABBCCDD:PPPP", address in host order hex
    std::string state;  // "0A" LISTEN, "06" TIME_WAIT
};

std::vector<TcpRow> tcpRows() {
    std::ifstream in("/proc/net/tcp");
    std::vector<TcpRow> rows;
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        rows.push_back({local, state});
    }
    return rows;
}

bool hasRow(const std::string& local, const std::string& state) {
    for (const TcpRow& row : tcpRows())
        if (row.local == local && row.state == state) return true;
    return false;
}

// The accept backlog of the listener on port 8800 as ss reports it (its
// Send-Q column); -1 when ss is not there.
int listenBacklog() {
    std::string out;
    if (harness::runCommand({"ss", "-ltnH", "sport = :8800"}, &out) != 0) return -1;
    std::istringstream fields(out);
    std::string state;
    int received = 0, backlog = -1;
    fields >> state >> received >> backlog;
    return backlog;
}

int connectTo(uint32_t address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kServerPort);
    addr.sin_addr.s_addr = htonl(address);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

size_t countOf(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

bool waitForLog(const harness::ServerProcess& server, const std::string& what, size_t times, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (countOf(server.stdoutText(), what) >= times) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The log once it has stopped growing (a quiet server), at most after ms.
std::string settledLog(const harness::ServerProcess& server, int ms = 5000) {
    std::string last = server.stdoutText();
    for (int waited = 0, quiet = 0; waited < ms && quiet < 300; waited += 50) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string now = server.stdoutText();
        quiet = now == last ? quiet + 50 : 0;
        last = now;
    }
    return last;
}

std::vector<int> taskIds(const std::string& log) {
    std::vector<int> ids;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("task id:", 0) == 0) ids.push_back(std::stoi(line.substr(8)));
    return ids;
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
        dir = harness::makeTempDir("startup");
        harness::writeKeyPair(dir);
    }
    void TearDown() override {
        if (!HasFailure()) harness::removeTree(dir);
    }
    std::string dir;
};

TEST_F(Startup, AnnouncesItselfAndListensOnEveryAddress) {
    SKIP_UNLESS_PRIVATE_WORLD();
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir));
    ASSERT_TRUE(server.waitReady());
    EXPECT_TRUE(waitForLog(server, "Server start!\n", 1));
    ASSERT_TRUE(hasRow("00000000:2260", "0A")) << "no listener on 0.0.0.0:8800";
    int backlog = listenBacklog();
    if (backlog >= 0) {
        EXPECT_EQ(backlog, 128);
    }
    EXPECT_FALSE(hasRow("0100007F:2260", "0A"));
    // 127.0.0.2 is local too but is not 127.0.0.1: only a wildcard bind answers.
    int fd = connectTo(0x7f000002);
    EXPECT_GE(fd, 0);
    if (fd >= 0) close(fd);
    EXPECT_EQ(server.stop(), 128 + SIGTERM);
}

TEST_F(Startup, SecondInstanceEndsWithBindError) {
    SKIP_UNLESS_PRIVATE_WORLD();
    harness::ServerProcess first, second;
    ASSERT_TRUE(first.start(dir));
    ASSERT_TRUE(first.waitReady());
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
    SKIP_UNLESS_PRIVATE_WORLD();
    harness::ServerProcess server;
    ASSERT_TRUE(server.start(dir));
    ASSERT_TRUE(server.waitReady());  // the probe connection is the first event
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(harness::registerOnce(dir + "/public.pem", "tuvi", "k" + std::to_string(i)), harness::okReply());
    // Each registration makes at least an accept and a request event; the
    // probe an accept and a close.
    ASSERT_TRUE(waitForLog(server, "task id:", 8));
    std::string log = settledLog(server);
    server.stop();
    std::vector<int> ids = taskIds(log);
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.front(), 0);
    std::set<int> distinct(ids.begin(), ids.end());
    EXPECT_EQ(distinct.size(), ids.size()) << "a number was given twice";
    EXPECT_EQ(*distinct.begin(), 0);
    EXPECT_EQ(*distinct.rbegin(), static_cast<int>(ids.size()) - 1) << "numbers have gaps";
    EXPECT_NE(log.find("receive n:1\n"), std::string::npos);
}

TEST_F(Startup, RestartsWhileThePortIsInTimeWait) {
    SKIP_UNLESS_PRIVATE_WORLD();
    harness::ServerProcess first;
    ASSERT_TRUE(first.start(dir));
    ASSERT_TRUE(first.waitReady());
    int client = harness::connectServer();
    ASSERT_GE(client, 0);
    ASSERT_TRUE(waitForLog(first, "finish add conect", 2)) << "the connection was never accepted";
    // The server's end closes first, so it is the end that enters TIME_WAIT.
    first.stop(SIGKILL);
    ASSERT_EQ(harness::readReply(client, 1, 2000), "");
    close(client);
    bool timeWait = false;
    for (int i = 0; i < 200 && !timeWait; i++) {
        timeWait = hasRow("0100007F:2260", "06");
        if (!timeWait) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_TRUE(timeWait) << "no connection of port 8800 in TIME_WAIT";
    harness::ServerProcess second;
    ASSERT_TRUE(second.start(dir));
    EXPECT_TRUE(second.waitReady()) << second.stderrText();
    EXPECT_EQ(second.stderrText().find("bind error"), std::string::npos);
}

TEST(Daemon, CallerEndsWithZeroAndTheChildDetaches) {
    SKIP_UNLESS_PRIVATE_WORLD();
    char startDir[PATH_MAX];
    ASSERT_NE(getcwd(startDir, sizeof startDir), nullptr);
    int report[2];
    ASSERT_EQ(pipe(report), 0);
    fflush(nullptr);
    pid_t caller = fork();
    ASSERT_GE(caller, 0);
    if (caller == 0) {
        close(report[0]);
        createDamon();
        // Only the daemon gets here; it reports on the pipe, as its standard
        // streams now lead to /dev/null.
        struct stat null, s0, s1, s2;
        bool onNull = stat("/dev/null", &null) == 0 && fstat(0, &s0) == 0 && fstat(1, &s1) == 0 &&
                      fstat(2, &s2) == 0 && s0.st_rdev == null.st_rdev && s1.st_rdev == null.st_rdev &&
                      s2.st_rdev == null.st_rdev;
        mode_t mask = umask(077);
        char cwd[PATH_MAX] = "";
        if (getcwd(cwd, sizeof cwd) == nullptr) strcpy(cwd, "?");
        std::string line = std::to_string(getsid(0) == getpid()) + " " + std::to_string(onNull) + " " +
                           std::to_string(mask) + " " + cwd + "\n";
        if (write(report[1], line.data(), line.size()) < 0) _exit(2);
        _exit(0);
    }
    close(report[1]);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && done == 0; i++) {
        done = waitpid(caller, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) kill(caller, SIGKILL);
    ASSERT_EQ(done, caller);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    pollfd p = {report[0], POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1) << "the daemon never reported";
    char buf[PATH_MAX + 32] = {0};
    ASSERT_GT(read(report[0], buf, sizeof buf - 1), 0);
    close(report[0]);
    std::istringstream fields(buf);
    int leader = 0, onNull = 0, mask = -1;
    std::string cwd;
    fields >> leader >> onNull >> mask >> cwd;
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
