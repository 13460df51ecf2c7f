#include "harness.h"

#include "table/table_segment.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

namespace {

std::string refusal = "not tried";
std::string processFolder;

[[noreturn]] void execOrDie(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

void redirect(const std::string& path, int target, int flags = O_WRONLY | O_CREAT | O_TRUNC) {
    int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0 || dup2(fd, target) < 0) _exit(126);
}

// A sanitizer's report reaches a test only through a child's standard error
// (the child may be killed before its status could tell).
void failOnSanitizerReport(const std::string& who, const std::string& err) {
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "WARNING: ThreadSanitizer",
                               ": runtime error: "}) {
        size_t at = err.find(marker);
        if (at != std::string::npos) ADD_FAILURE() << who << ": " << err.substr(at, err.find('\n', at) - at);
    }
}

// The exit status of pid (128 + signal when killed), or -1 while it still
// runs after timeoutMs.
int waitFor(pid_t pid, int timeoutMs) {
    int status = -1;
    if (!waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, timeoutMs)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

bool underCi() {
    const char* ci = getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

const std::string& privateWorldRefusal() { return refusal; }
const std::vector<std::string>& allowedIds() { return TcpServer::legalIdList; }

bool waitUntil(const std::function<bool()>& done, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(2)))
        if (std::chrono::steady_clock::now() >= deadline) return false;
    return true;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

std::string makeTempDir() {
    std::string pattern = std::filesystem::temp_directory_path().string() + "/keyreg-test-XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void removeTree(const std::string& dir) {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

void writeKeyPair(const std::string& dir, const std::vector<std::string>& options) {
    std::vector<std::string> make = {"openssl", "genpkey", "-algorithm", "RSA", "-out", dir + "/private.pem"};
    make.insert(make.end(), options.begin(), options.end());
    if (runCommand(make) != 0 ||
        runCommand({"openssl", "pkey", "-in", dir + "/private.pem", "-pubout", "-out", dir + "/public.pem"}) != 0)
        throw std::runtime_error("cannot make a key pair in " + dir);
}

void removeTable() {
    int id = shmget(kTableIpcKey, 0, 0);
    if (id >= 0) shmctl(id, IPC_RMID, nullptr);
}

std::vector<shareMemoryItem> readTable() {
    TableSegment segment = openTableSegment(kTableIpcKey, kTableSlots * kRecordBytes, SegmentAccess::ReadOnly);
    if (segment.base == nullptr) return {};
    const shareMemoryItem* items = static_cast<const shareMemoryItem*>(segment.base);
    std::vector<shareMemoryItem> records(items, items + kTableSlots);
    closeTableSegment(segment);
    return records;
}

bool sameRecord(const shareMemoryItem& a, const shareMemoryItem& b) { return memcmp(&a, &b, sizeof a) == 0; }

int connectTo(int port, bool nonblocking, int fd) {
    if (fd < 0) fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readReply(int fd, size_t n, int timeoutMs) {
    std::string got;
    char buf[4096];
    struct pollfd p = {fd, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, timeoutMs) > 0) {
        ssize_t r = recv(fd, buf, std::min(sizeof buf, n - got.size()), MSG_DONTWAIT);
        if (r <= 0) break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

bool closedByPeer(int fd, int timeoutMs) {
    return waitUntil([fd] {
        char c;
        ssize_t r = recv(fd, &c, 1, MSG_DONTWAIT | MSG_PEEK);
        return r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR);
    }, timeoutMs);
}

static std::string padded(const std::string& text) { return text + std::string(kReplySize - text.size(), '\0'); }
const std::string kOk = padded("ok"), kFailed = padded("communicate failed");

std::string encryptFor(const std::string& publicKeyPath, const std::string& plaintext) {
    std::string tmp = makeTempDir();
    writeFile(tmp + "/in", plaintext);
    int status = runCommand({"openssl", "pkeyutl", "-encrypt", "-pubin", "-inkey", publicKeyPath, "-pkeyopt",
                             "rsa_padding_mode:pkcs1", "-in", tmp + "/in", "-out", tmp + "/out"});
    std::string block = readFile(tmp + "/out");
    removeTree(tmp);
    if (status != 0) throw std::runtime_error("cannot encrypt for " + publicKeyPath);
    return block;
}

int runCommand(const std::vector<std::string>& argv, std::string* out, std::string* err) {
    std::string tmp = makeTempDir();
    pid_t pid = fork();
    if (pid == 0) {
        redirect("/dev/null", STDIN_FILENO, O_RDONLY);
        redirect(tmp + "/out", STDOUT_FILENO);
        redirect(tmp + "/err", STDERR_FILENO);
        execOrDie(argv);
    }
    int status = waitFor(pid, 30000);
    if (status < 0 && kill(pid, SIGKILL) == 0) waitpid(pid, nullptr, 0);
    if (out) *out = readFile(tmp + "/out");
    if (err) *err = readFile(tmp + "/err");
    failOnSanitizerReport(argv[0], readFile(tmp + "/err"));
    removeTree(tmp);
    return status;
}

bool ServerProcess::start(const std::string& workDir, const std::vector<std::string>& prefix) {
    dir = workDir;
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {"stdbuf", "-oL", "-eL", program});
    argv.insert(argv.end(), args.begin(), args.end());
    // Emptied here, not by the child: what an earlier server logged must be
    // gone before anyone looks for this one's lines.
    for (const char* log : {"/stdout.log", "/stderr.log"}) writeFile(workDir + log, "");
    pid = fork();
    if (pid != 0) return pid > 0;
    if (chdir(workDir.c_str()) != 0) _exit(125);
    redirect(workDir + "/stdout.log", STDOUT_FILENO, O_WRONLY | O_APPEND);
    redirect(workDir + "/stderr.log", STDERR_FILENO, O_WRONLY | O_APPEND);
    // The server gets what a real start gives it: SIGPIPE at its default
    // (the test program ignores it), none of the test's descriptors.
    signal(SIGPIPE, SIG_DFL);
    close_range(3, ~0U, 0);
    // stdbuf preloads a library, which AddressSanitizer must accept. A server
    // that is killed leaves no leak worth a report.
    const char* asan = getenv("ASAN_OPTIONS");
    std::string options = asan ? std::string(asan) + ":" : "";
    setenv("ASAN_OPTIONS", (options + "verify_asan_link_order=0:detect_leaks=0").c_str(), 1);
    execOrDie(argv);
}

// The port listens before the table is ready; the loop's first line says
// that the server collects connections.
bool ServerProcess::waitReady() {
    return waitUntil([this] {
        return !alive() || readFile(dir + "/stdout.log").find("Server start!") != std::string::npos;
    }) && alive();
}

// The server itself: pid, or its child when a tracer started it.
static pid_t serverPid(pid_t pid) {
    std::string proc = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
    pid_t child = 0;
    return std::istringstream(readFile(proc)) >> child ? child : pid;
}

int ServerProcess::stop(int sig) {
    pid_t target = serverPid(pid);
    if (pid > 0) kill(target, sig);
    int status = waitExit(10000);
    if (status < 0 && pid > 0) {
        kill(target, SIGKILL);
        kill(pid, SIGKILL);
        status = waitExit(10000);
    }
    return status;
}

int ServerProcess::waitExit(int timeoutMs) {
    int status = pid > 0 ? waitFor(pid, timeoutMs) : -1;
    if (status >= 0) {
        pid = -1;
        failOnSanitizerReport("the server", readFile(dir + "/stderr.log"));
    }
    return status;
}

bool ServerProcess::alive() { return pid > 0 && waitExit(0) < 0; }

std::string ServerProcess::log() const { return readFile(dir + "/stdout.log") + readFile(dir + "/stderr.log"); }

ServerProcess::~ServerProcess() { stop(SIGKILL); }

std::vector<std::string> underStrace(const std::vector<std::string>& injections) {
    std::vector<std::string> prefix = {"strace", "-f", "-qq", "-o", "/dev/null", "true"};
    if (runCommand(prefix) != 0) return {};
    prefix.pop_back();
    for (const std::string& injection : injections) prefix.insert(prefix.end(), {"-e", "inject=" + injection});
    prefix.push_back("--");
    return prefix;
}

// A folder of the test's own inside the process's, so that nothing a test
// leaves (logs, key and state files) meets the next one in the same process.
void ServerTest::SetUp() {
    SKIP_UNLESS_PRIVATE_WORLD();
    removeTable();
    dir = processFolder + "/" + testing::UnitTest::GetInstance()->current_test_info()->name();
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    writeKeyPair(dir);
    publicKey = dir + "/public.pem";
}

void ServerTest::startServer(const std::vector<std::string>& prefix) {
    ASSERT_TRUE(server.start(dir, prefix));
    ASSERT_TRUE(server.waitReady()) << server.log();
}

std::string ServerTest::request(const std::string& userid, const std::string& key) {
    return encryptFor(publicKey, nlohmann::json{{"userid", userid}, {"key", key}}.dump());
}

std::string ServerTest::registerOnce(const std::string& userid, const std::string& key) {
    return replyTo(request(userid, key));
}

std::string ServerTest::replyTo(const std::string& block) {
    int fd = connectTo();
    std::string got = fd >= 0 && sendAll(fd, block) ? readReply(fd) : "";
    if (fd >= 0) close(fd);
    return got;
}

}  // namespace harness

// Every test program: each test runs in a process of its own (CTest starts
// one per test), which first moves into its own network and IPC world and a
// working folder of its own.
int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!testing::GTEST_FLAG(list_tests)) harness::refusal = harness::enterPrivateWorld(false);
    signal(SIGPIPE, SIG_IGN);
    // A working folder of its own (key files, server logs), kept when a test fails.
    std::string dir = harness::makeTempDir();
    // Other users (a service's, a reader's) must pass through to the folders
    // of the tests, which open themselves to them where needed.
    chmod(dir.c_str(), 0711);
    std::filesystem::current_path(dir);
    harness::processFolder = dir;
    int failed = RUN_ALL_TESTS();
    if (failed) fprintf(stderr, "working folder kept: %s\n", dir.c_str());
    else harness::removeTree(dir);
    return failed;
}
