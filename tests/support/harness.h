// Helpers for tests that run the real server: key pairs, a private network
// and IPC world, the server as a child process, a TCP client and the shared
// table read from outside the server.
#ifndef KEYREG_TEST_HARNESS_H
#define KEYREG_TEST_HARNESS_H

#include "Util.h"

#include <sys/types.h>

#include <string>
#include <vector>

namespace harness {

// A fresh folder below the system's temporary folder, removed by the caller
// (or left for a post-mortem when a test fails).
std::string makeTempDir(const std::string& tag);
void removeTree(const std::string& dir);

// Writes "private.pem" (PKCS #8, or the traditional RSA form) and "public.pem"
// (SubjectPublicKeyInfo) into dir.
void writeKeyPair(const std::string& dir, int bits = 2048, bool traditional = false);

// Moves this process into new network and IPC namespaces with loopback up.
// False, with the reason, where the system does not allow it. e2e_main.cpp
// calls it before any test runs; every e2e test then starts with
// skipUnlessPrivateWorld() so that it never touches the host's port 8800 or
// segment 291.
bool enterPrivateWorld(std::string& why);
bool inPrivateWorld();
#define SKIP_UNLESS_PRIVATE_WORLD()                                                           \
    do {                                                                                      \
        if (!harness::inPrivateWorld())                                                       \
            GTEST_SKIP() << "needs private network and IPC namespaces (unshare, as root): " \
                         << harness::privateWorldRefusal();                                  \
    } while (0)
std::string privateWorldRefusal();

// The server binary, started in dir with stdout and stderr going to
// dir/stdout.log and dir/stderr.log (line-buffered). `prefix` is prepended
// to the command line (for example {"prlimit", "--nofile=64", "--"}).
struct ServerProcess {
    pid_t pid = -1;
    std::string dir;

    bool start(const std::string& workDir, const std::vector<std::string>& prefix = {});
    // Waits until 127.0.0.1:8800 accepts a connection (the probe connection
    // is closed at once). False after timeoutMs.
    bool waitReady(int timeoutMs = 5000);
    // SIGTERM (or the given signal), then the exit status as waitpid gives it.
    int stop(int sig = 15);
    // Waits for the process to end by itself; -1 on time-out.
    int waitExit(int timeoutMs);
    std::string stdoutText() const;
    std::string stderrText() const;
    int openDescriptorCount() const;
    ~ServerProcess();
};

// Runs a command to its end; returns its exit status (or 128 + signal),
// with its standard output and error caught.
int runCommand(const std::vector<std::string>& argv, std::string* out = nullptr, std::string* err = nullptr,
               const std::string& workDir = "", int timeoutMs = 30000);

// A blocking TCP connection to 127.0.0.1:port; -1 on failure.
int connectServer(int port = 8800);

// The RSA block of a plaintext under a public key file, made with OpenSSL
// directly (not through the server's code).
std::string encryptFor(const std::string& publicKeyPath, const std::string& plaintext);
std::string requestJson(const std::string& userid, const std::string& key);

// Sends bytes whole; false on failure.
bool sendAll(int fd, const std::string& bytes);
// Reads exactly n bytes or fewer when the stream ends or timeoutMs passes.
std::string readReply(int fd, size_t n = 100, int timeoutMs = 5000);
// The two replies, 100 bytes each.
std::string okReply();
std::string failedReply();

// One request on a fresh connection: its 100-byte reply (shorter on failure).
std::string registerOnce(const std::string& publicKeyPath, const std::string& userid, const std::string& key);

// A record as a registration lays it out: the texts copied by length, zeros
// after them, both lengths set.
shareMemoryItem record(const std::string& userid, const std::string& key, int id = 0);

// The records of segment 291 as this (other) process sees them, attached
// read-only; empty when there is no segment.
std::vector<shareMemoryItem> readTable(int ipcKey = 291);
// The record of a user id in that table, or an empty record (id -1).
shareMemoryItem findRecord(const std::string& userid, int ipcKey = 291);

}  // namespace harness

#endif
