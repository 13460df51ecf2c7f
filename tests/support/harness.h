// What every test program shares: bounded waits, key pairs, the key table
// read from outside, a raw client, the real server as a child process, and
// the fixture of every test that runs it. Its main (harness.cpp) gives each
// test process a network and IPC world and a working folder of its own.
#ifndef KEYREG_TEST_HARNESS_H
#define KEYREG_TEST_HARNESS_H

#include "epoll_et_server.h"
#include "shared.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

// A test that cannot run here says why and is skipped; under CI (CI=true) it
// fails instead, since the suite must not report success for what it did
// not check.
bool underCi();
#define KEYREG_SKIP(why)                                                  \
    do {                                                                  \
        if (harness::underCi()) FAIL() << "cannot run here: " << (why);  \
        GTEST_SKIP() << (why);                                            \
    } while (0)

// Why this process is not in its own world; "" when it is.
const std::string& privateWorldRefusal();
#define SKIP_UNLESS_PRIVATE_WORLD()                                                                             \
    if (!harness::privateWorldRefusal().empty())                                                               \
    KEYREG_SKIP("needs private network and IPC namespaces (run as root): " + harness::privateWorldRefusal())

// The prefix that runs the server under strace, or a skip (a failure under CI).
#define STRACE_OR_SKIP(prefix, ...)                                                    \
    std::vector<std::string> prefix = harness::underStrace({__VA_ARGS__});             \
    if (prefix.empty()) KEYREG_SKIP("strace is missing or may not trace here")

const std::vector<std::string>& allowedIds();

// Polls done() until it holds; false once timeoutMs has passed. The time-out
// only bounds the test: it is never a speed requirement.
bool waitUntil(const std::function<bool()>& done, int timeoutMs = 10000);

std::string readFile(const std::string& path);
// How often what occurs in text.
size_t count(const std::string& text, const std::string& what);
void writeFile(const std::string& path, const std::string& bytes);
std::string makeTempDir();
void removeTree(const std::string& dir);
// private.pem (PKCS #8) and public.pem in dir, made by the openssl command;
// options go to its genpkey (the default: 2048 bits).
void writeKeyPair(const std::string& dir, const std::vector<std::string>& options = {});

// The key table as another process sees it.
void removeTable();
std::vector<shareMemoryItem> readTable();
bool sameRecord(const shareMemoryItem& a, const shareMemoryItem& b);

// A TCP connection to 127.0.0.1:port (of socket fd, made beforehand with
// options, if given); -1 on failure. A non-blocking one may still be connecting.
int connectTo(int port = kServerPort, bool nonblocking = false, int fd = -1);
bool sendAll(int fd, const std::string& bytes);
// Up to n bytes: fewer when the stream ends or timeoutMs passes.
std::string readReply(int fd, size_t n = kReplySize, int timeoutMs = 10000);
// True when the peer closed or reset the connection within timeoutMs.
bool closedByPeer(int fd, int timeoutMs = 10000);
extern const std::string kOk, kFailed;  // the two replies, padded with NULs to the reply size
// The RSA block of plaintext, made by the openssl command, not the server's code.
std::string encryptFor(const std::string& publicKeyPath, const std::string& plaintext);

// Runs argv to its end (stdin on /dev/null); its exit status, or 128 + signal.
int runCommand(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr);

// The server started in dir, logging to dir/stdout.log and dir/stderr.log,
// line-buffered. prefix runs it under another program (prlimit, strace, ...).
struct ServerProcess {
    pid_t pid = -1;
    std::string dir;
    std::string program = KEYREG_SERVER_PATH;
    std::vector<std::string> args;  // given to the program

    bool start(const std::string& workDir, const std::vector<std::string>& prefix = {});
    bool waitReady();
    int stop(int sig = 15);
    int waitExit(int timeoutMs);
    bool alive();
    std::string log() const;
    ~ServerProcess();
};

// The prefix that runs the server under strace with these "-e inject="
// specifications; empty where strace is missing or may not trace.
std::vector<std::string> underStrace(const std::vector<std::string>& injections);

class ServerTest : public ::testing::Test {
protected:
    // A key pair in the working folder, and no table left from before.
    void SetUp() override;
    void startServer(const std::vector<std::string>& prefix = {});
    std::string request(const std::string& userid, const std::string& key);
    std::string registerOnce(const std::string& userid, const std::string& key);
    // The reply to one request block on a connection of its own.
    std::string replyTo(const std::string& block);

    std::string dir;
    std::string publicKey;
    ServerProcess server;
};

}  // namespace harness

#endif
