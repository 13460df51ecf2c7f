#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

namespace {

bool privateWorld = false;
std::string refusal = "the test program did not try to enter one";

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool bringLoopbackUp(std::string& why) {
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        why = std::string("socket: ") + strerror(errno);
        return false;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
        ok = ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    }
    if (!ok) why = std::string("bringing lo up: ") + strerror(errno);
    close(s);
    return ok;
}

// Runs argv in the child after the standard streams are set up.
[[noreturn]] void execOrDie(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    fprintf(stderr, "exec %s: %s\n", args[0], strerror(errno));
    _exit(127);
}

void redirect(const std::string& path, int target) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) _exit(126);
    dup2(fd, target);
    close(fd);
}

// stdbuf works by preloading a library, which AddressSanitizer must be told
// to accept. Leaks are not looked for in the server: it is killed or ends
// through exit() with its workers still running, so what it leaves is no
// leak. Appended, so that the caller's other options (halt_on_error, ...) hold.
void allowPreloadedRuntime() {
    const char* given = getenv("ASAN_OPTIONS");
    std::string options = given ? given : "";
    if (!options.empty()) options += ":";
    options += "verify_asan_link_order=0:detect_leaks=0";
    setenv("ASAN_OPTIONS", options.c_str(), 1);
}

// The first line of a sanitizer's report in a child's standard error, or "".
// A report in the server only reaches a test through this text (the server
// may well be killed before its exit status could tell), so every way of
// reaping a child looks for one.
std::string sanitizerReportLine(const std::string& text) {
    static const char* const markers[] = {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                                          "WARNING: ThreadSanitizer", "ERROR: ThreadSanitizer",
                                          ": runtime error: ", "SUMMARY: UndefinedBehaviorSanitizer"};
    for (const char* marker : markers) {
        size_t at = text.find(marker);
        if (at == std::string::npos) continue;
        size_t begin = text.rfind('\n', at);
        begin = begin == std::string::npos ? 0 : begin + 1;
        return text.substr(begin, text.find('\n', at) - begin);
    }
    return "";
}

void failOnSanitizerReport(const std::string& who, const std::string& stderrText) {
    std::string line = sanitizerReportLine(stderrText);
    if (!line.empty()) ADD_FAILURE() << who << " reported a sanitizer finding: " << line;
}

int statusOf(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Waits for pid up to timeoutMs; -1 when it is still running.
int waitFor(pid_t pid, int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return statusOf(status);
        if (r < 0) return -1;
        if (nowMs() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

std::string makeTempDir(const std::string& tag) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base ? base : "/tmp") + "/keyreg-" + tag + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return std::string(buf.data());
}

void removeTree(const std::string& dir) {
    if (dir.empty()) return;
    runCommand({"rm", "-rf", dir});
}

void writeKeyPair(const std::string& dir, int bits, bool traditional) {
    EVP_PKEY* pkey = EVP_RSA_gen(static_cast<unsigned>(bits));
    if (pkey == nullptr) throw std::runtime_error("RSA key generation failed");
    std::string privPath = dir + "/private.pem";
    std::string pubPath = dir + "/public.pem";
    FILE* priv = fopen(privPath.c_str(), "w");
    FILE* pub = fopen(pubPath.c_str(), "w");
    if (priv == nullptr || pub == nullptr) throw std::runtime_error("cannot write key files in " + dir);
    bool ok;
    if (traditional) {
        const RSA* rsa = EVP_PKEY_get0_RSA(pkey);
        ok = PEM_write_RSAPrivateKey(priv, const_cast<RSA*>(rsa), nullptr, nullptr, 0, nullptr, nullptr) == 1;
    } else {
        ok = PEM_write_PrivateKey(priv, pkey, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    }
    ok = ok && PEM_write_PUBKEY(pub, pkey) == 1;
    fclose(priv);
    fclose(pub);
    EVP_PKEY_free(pkey);
    if (!ok) throw std::runtime_error("writing key files failed");
}

bool enterPrivateWorld(std::string& why) {
    if (unshare(CLONE_NEWNET | CLONE_NEWIPC) != 0) {
        why = std::string("unshare(CLONE_NEWNET | CLONE_NEWIPC): ") + strerror(errno);
        refusal = why;
        return false;
    }
    if (!bringLoopbackUp(why)) {
        refusal = why;
        return false;
    }
    privateWorld = true;
    return true;
}

bool inPrivateWorld() { return privateWorld; }
std::string privateWorldRefusal() { return refusal; }

bool ServerProcess::start(const std::string& workDir, const std::vector<std::string>& prefix) {
    dir = workDir;
    std::vector<std::string> argv = prefix;
    // Line-buffered output, so a server that is killed loses no log line.
    argv.insert(argv.end(), {"stdbuf", "-oL", "-eL", KEYREG_SERVER_PATH});
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
        if (chdir(workDir.c_str()) != 0) _exit(125);
        redirect(workDir + "/stdout.log", STDOUT_FILENO);
        redirect(workDir + "/stderr.log", STDERR_FILENO);
        // The server must live with what a real start gives it: the test
        // program ignores SIGPIPE, and its descriptors are none of the server's.
        signal(SIGPIPE, SIG_DFL);
        close_range(3, ~0U, 0);
        allowPreloadedRuntime();
        execOrDie(argv);
    }
    return true;
}

bool ServerProcess::waitReady(int timeoutMs) {
    long long deadline = nowMs() + timeoutMs;
    while (nowMs() < deadline) {
        int fd = connectServer();
        if (fd >= 0) {
            close(fd);
            return true;
        }
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid) {
            pid = -1;
            failOnSanitizerReport("the server", stderrText());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int ServerProcess::stop(int sig) {
    if (pid <= 0) return -1;
    kill(pid, sig);
    int status = waitFor(pid, 10000);
    if (status < 0) {
        kill(pid, SIGKILL);
        status = waitFor(pid, 10000);
    }
    pid = -1;
    failOnSanitizerReport("the server", stderrText());
    return status;
}

int ServerProcess::waitExit(int timeoutMs) {
    if (pid <= 0) return -1;
    int status = waitFor(pid, timeoutMs);
    if (status >= 0) {
        pid = -1;
        failOnSanitizerReport("the server", stderrText());
    }
    return status;
}

std::string ServerProcess::stdoutText() const { return readFile(dir + "/stdout.log"); }
std::string ServerProcess::stderrText() const { return readFile(dir + "/stderr.log"); }

int ServerProcess::openDescriptorCount() const {
    std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return -1;
    int count = 0;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') count++;
    }
    closedir(d);
    return count;
}

ServerProcess::~ServerProcess() {
    if (pid > 0) stop(SIGKILL);
}

int runCommand(const std::vector<std::string>& argv, std::string* out, std::string* err, const std::string& workDir,
               int timeoutMs) {
    char outPath[] = "/tmp/keyreg-cmd-out-XXXXXX";
    char errPath[] = "/tmp/keyreg-cmd-err-XXXXXX";
    int outFd = mkstemp(outPath);
    int errFd = mkstemp(errPath);
    pid_t pid = fork();
    if (pid == 0) {
        if (!workDir.empty() && chdir(workDir.c_str()) != 0) _exit(125);
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, STDIN_FILENO);
        dup2(outFd, STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        execOrDie(argv);
    }
    close(outFd);
    close(errFd);
    int status = waitFor(pid, timeoutMs);
    if (status < 0) {
        kill(pid, SIGKILL);
        waitFor(pid, 5000);
        status = -1;
    }
    if (out) *out = readFile(outPath);
    std::string errText = readFile(errPath);
    failOnSanitizerReport(argv.empty() ? "a command" : argv[0], errText);
    if (err) *err = errText;
    unlink(outPath);
    unlink(errPath);
    return status;
}

int connectServer(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string encryptFor(const std::string& publicKeyPath, const std::string& plaintext) {
    FILE* fp = fopen(publicKeyPath.c_str(), "r");
    if (fp == nullptr) throw std::runtime_error("cannot open " + publicKeyPath);
    EVP_PKEY* pkey = PEM_read_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    if (pkey == nullptr) throw std::runtime_error("no public key in " + publicKeyPath);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
    std::string block(static_cast<size_t>(EVP_PKEY_get_size(pkey)), '\0');
    size_t outLen = block.size();
    bool ok = ctx && EVP_PKEY_encrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING) == 1 &&
              EVP_PKEY_encrypt(ctx, reinterpret_cast<unsigned char*>(&block[0]), &outLen,
                               reinterpret_cast<const unsigned char*>(plaintext.data()), plaintext.size()) == 1;
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(pkey);
    if (!ok) throw std::runtime_error("encryption failed (plaintext too long?)");
    block.resize(outLen);
    return block;
}

std::string requestJson(const std::string& userid, const std::string& key) {
    return nlohmann::json{{"userid", userid}, {"key", key}}.dump();
}

bool sendAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readReply(int fd, size_t n, int timeoutMs) {
    std::string reply;
    long long deadline = nowMs() + timeoutMs;
    while (reply.size() < n) {
        long long left = deadline - nowMs();
        if (left <= 0) break;
        struct pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[4096];
        ssize_t got = recv(fd, buf, std::min(sizeof buf, n - reply.size()), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        reply.append(buf, static_cast<size_t>(got));
    }
    return reply;
}

std::string okReply() {
    std::string r(100, '\0');
    r.replace(0, 2, "ok");
    return r;
}

std::string failedReply() {
    std::string r(100, '\0');
    r.replace(0, 18, "communicate failed");
    return r;
}

std::string registerOnce(const std::string& publicKeyPath, const std::string& userid, const std::string& key) {
    int fd = connectServer();
    if (fd < 0) return "";
    std::string reply;
    if (sendAll(fd, encryptFor(publicKeyPath, requestJson(userid, key)))) reply = readReply(fd);
    close(fd);
    return reply;
}

shareMemoryItem record(const std::string& userid, const std::string& key, int id) {
    shareMemoryItem item(-1);
    item.id = id;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    return item;
}

std::vector<shareMemoryItem> readTable(int ipcKey) {
    std::vector<shareMemoryItem> records;
    int id = shmget(ipcKey, 0, 0);
    if (id < 0) return records;
    struct shmid_ds info;
    if (shmctl(id, IPC_STAT, &info) != 0) return records;
    void* addr = shmat(id, nullptr, SHM_RDONLY);
    if (addr == reinterpret_cast<void*>(-1)) return records;
    size_t count = info.shm_segsz / sizeof(shareMemoryItem);
    const shareMemoryItem* items = static_cast<const shareMemoryItem*>(addr);
    records.assign(items, items + count);
    shmdt(addr);
    return records;
}

shareMemoryItem findRecord(const std::string& userid, int ipcKey) {
    for (const shareMemoryItem& item : readTable(ipcKey)) {
        if (item.id != -1 && strncmp(item.userid, userid.c_str(), sizeof item.userid) == 0) return item;
    }
    return shareMemoryItem(-1);
}

}  // namespace harness
