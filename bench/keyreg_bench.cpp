// Load generator for the registration server.
//
// C connections share one epoll loop; each keeps exactly one request in
// flight, because the server takes whatever one read returns as one RSA
// block. Every reply is checked byte for byte. After the load the program
// measures, with the same key, how many RSA private-key operations per second
// this machine can do: the server decrypts every request, so that figure is
// the ceiling its throughput is read against.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "epoll_et_server.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const int kExitClean = 0;
const int kExitErrors = 1;
const int kExitUsage = 2;

const int kReplyBytes = kReplySize;
// New connections at a time. A connect completes as soon as the kernel has
// queued the connection, long before the server accepts it; only the first
// reply proves it was accepted. Keeping fewer than the listen backlog (128)
// unanswered means the backlog never overflows, where the kernel would drop
// SYNs and the client would wait a second or more to retry.
const int kConnectBatch = 64;
const long kDefaultTimePool = 16384;
const long kMaxPool = 262144;
const double kSingleCoreSeconds = 0.7;
const double kAllCoresSeconds = 2.0;

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// ---------------------------------------------------------------------------
// Command line.

struct Options {
    long connections = 1;
    long requests = 0;  // per connection; 0 when the run is timed instead
    double seconds = 0;
    double timeout = 0;  // 0: derived from the run
    long pool = 0;       // 0: derived from the run
    std::string host = "127.0.0.1";
    long port = kServerPort;
    std::string pubkey = "public.pem";
    std::string privkey;  // empty: private.pem beside the public key
    std::string userid = "dorvanek";
};

void printUsage(FILE* out) {
    fprintf(out,
            "usage: keyreg-bench [options]\n"
            "  --connections C   connections, each with one request in flight (default 1)\n"
            "  --requests N      requests per connection, then it closes (default 100)\n"
            "  --seconds S       keep every connection busy for S seconds instead; no new\n"
            "                    connection is opened after that\n"
            "  --host ADDR       server address, loopback only: 127.0.0.0/8 (default 127.0.0.1)\n"
            "  --port P          server port (default %d)\n"
            "  --pubkey FILE     the server's public key (default public.pem)\n"
            "  --privkey FILE    the server's private key, only for measuring the RSA limit\n"
            "                    (default: private.pem beside the public key)\n"
            "  --userid ID       user id in every request (default dorvanek)\n"
            "  --pool K          requests encrypted before the clock starts; every request\n"
            "                    carries its own key. With --requests the default is C*N, so\n"
            "                    each request is distinct (up to %ld); with --seconds the\n"
            "                    default is max(%ld, 4*C) and the connections cycle through\n"
            "                    that pool, so ciphertexts repeat once it is used up\n"
            "  --timeout T       stop after T seconds whatever is outstanding, counting it as\n"
            "                    errors (default: --seconds + 60, or 120 with --requests)\n"
            "  --help            this text\n"
            "The last line of output is key=value pairs for scripts. Exit status: 0 when\n"
            "every reply was right, 1 on any wrong or missing reply or connection error,\n"
            "2 on a usage error.\n",
            kServerPort, kMaxPool, kDefaultTimePool);
}

[[noreturn]] void usageError(const std::string& why) {
    fprintf(stderr, "keyreg-bench: %s (see --help)\n", why.c_str());
    exit(kExitUsage);
}

long parseCount(const std::string& name, const char* text, long min, long max) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < min || value > max)
        usageError(name + " needs a whole number from " + std::to_string(min) + " to " + std::to_string(max));
    return value;
}

double parseSeconds(const std::string& name, const char* text) {
    char* end = nullptr;
    errno = 0;
    double value = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !(value > 0) || value > 86400)
        usageError(name + " needs a number of seconds above 0");
    return value;
}

Options parseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        std::string name = argv[i];
        if (name == "--help") {
            printUsage(stdout);
            exit(kExitClean);
        }
        if (i + 1 >= argc) usageError(name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name);
        const char* value = argv[++i];
        if (name == "--connections") o.connections = parseCount(name, value, 1, 1000000);
        else if (name == "--requests") o.requests = parseCount(name, value, 1, 1000000000);
        else if (name == "--seconds") o.seconds = parseSeconds(name, value);
        else if (name == "--timeout") o.timeout = parseSeconds(name, value);
        else if (name == "--pool") o.pool = parseCount(name, value, 1, kMaxPool);
        else if (name == "--port") o.port = parseCount(name, value, 1, 65535);
        else if (name == "--host") o.host = value;
        else if (name == "--pubkey") o.pubkey = value;
        else if (name == "--privkey") o.privkey = value;
        else if (name == "--userid") o.userid = value;
        else usageError("unknown option " + name);
    }
    if (o.requests > 0 && o.seconds > 0) usageError("give --requests or --seconds, not both");
    if (o.requests == 0 && o.seconds == 0) o.requests = 100;
    if (o.timeout == 0) o.timeout = o.seconds > 0 ? o.seconds + 60 : 120;
    if (o.pool == 0) {
        long wanted = o.seconds > 0 ? std::max(kDefaultTimePool, 4 * o.connections)
                                    : (o.requests > kMaxPool / o.connections ? kMaxPool : o.connections * o.requests);
        o.pool = std::min(wanted, kMaxPool);
    }
    if (o.privkey.empty()) {
        size_t slash = o.pubkey.rfind('/');
        o.privkey = (slash == std::string::npos ? std::string() : o.pubkey.substr(0, slash + 1)) + "private.pem";
    }
    return o;
}

// Load is only ever aimed at a server on this machine: anything else would
// turn the generator into a flooding tool against someone else's host.
sockaddr_in loopbackTarget(const Options& o) {
    sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.port));
    if (inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr) != 1 || (ntohl(addr.sin_addr.s_addr) >> 24) != 127)
        usageError("--host " + o.host +
                   " refused: only numeric loopback addresses (127.0.0.0/8) may be loaded, never another machine");
    return addr;
}

// ---------------------------------------------------------------------------
// Keys and requests.

int noPassphrase(char*, int, int, void*) { return 0; }

RSA* readPublicKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSA_PUBKEY(fp, nullptr, noPassphrase, nullptr);
    if (key == nullptr) {  // also take the PKCS #1 "RSA PUBLIC KEY" form
        rewind(fp);
        key = PEM_read_RSAPublicKey(fp, nullptr, noPassphrase, nullptr);
    }
    fclose(fp);
    ERR_clear_error();
    return key;
}

RSA* readPrivateKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSAPrivateKey(fp, nullptr, noPassphrase, nullptr);
    fclose(fp);
    ERR_clear_error();
    return key;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char ch : text) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// Each request carries a key of its own, so no two plaintexts are alike.
std::string requestText(const std::string& userid, long index) {
    return "{\"userid\":" + jsonString(userid) + ",\"key\":\"bench-" + std::to_string(getpid()) + "-" +
           std::to_string(index) + "\"}";
}

// Encrypts the whole pool on every core; false if any encryption failed.
bool encryptPool(RSA* pub, const std::string& userid, std::vector<std::string>& pool) {
    unsigned threads = std::max(1u, std::thread::hardware_concurrency());
    std::atomic<bool> failed{false};
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            std::vector<unsigned char> block(static_cast<size_t>(RSA_size(pub)));
            for (size_t i = t; i < pool.size(); i += threads) {
                std::string text = requestText(userid, static_cast<long>(i));
                int n = RSA_public_encrypt(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                           block.data(), pub, RSA_PKCS1_PADDING);
                if (n <= 0) failed = true;
                else pool[i].assign(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(n));
            }
        });
    }
    for (std::thread& w : workers) w.join();
    return !failed;
}

// ---------------------------------------------------------------------------
// The load.

enum class State { Unopened, Connecting, Waiting, Closed };

struct Connection {
    int fd = -1;
    State state = State::Unopened;
    long sent = 0;
    bool answered = false;
    int replyBytes = 0;
    unsigned char reply[kReplyBytes];
    Clock::time_point sentAt;
};

struct Tally {
    long ok = 0;
    long wrong = 0;        // a full reply that is not "ok"
    long failed = 0;       // no full reply: closed, reset, short write or time-out
    long connectErrors = 0;
    std::vector<double> latencyUs;
    double elapsed = 0;    // clock start to the last reply
    long errors() const { return wrong + failed + connectErrors; }
};

class LoadRun {
public:
    LoadRun(const Options& o, const sockaddr_in& target, const std::vector<std::string>& pool)
        : o_(o), target_(target), pool_(pool), conns_(static_cast<size_t>(o.connections)) {
        memset(expected_, 0, sizeof expected_);
        memcpy(expected_, "ok", 2);
    }

    Tally run() {
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epfd_ < 0) {
            perror("keyreg-bench: epoll_create1");
            exit(kExitErrors);
        }
        start_ = Clock::now();
        lastReply_ = start_;
        Clock::time_point deadline = start_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.timeout));
        epoll_event events[1024];
        while (live_ > 0 || moreToOpen()) {
            openMore();
            if (Clock::now() >= deadline) break;
            int n = epoll_wait(epfd_, events, 1024, 100);
            if (n < 0 && errno != EINTR) {
                perror("keyreg-bench: epoll_wait");
                break;
            }
            for (int i = 0; i < n; i++) onEvent(conns_[events[i].data.u32], events[i].data.u32);
        }
        countOutstanding();
        close(epfd_);
        tally_.elapsed = std::chrono::duration<double>(lastReply_ - start_).count();
        return tally_;
    }

private:
    const Options& o_;
    sockaddr_in target_;
    const std::vector<std::string>& pool_;
    std::vector<Connection> conns_;
    unsigned char expected_[kReplyBytes];
    int epfd_ = -1;
    size_t nextToOpen_ = 0;
    size_t nextRequest_ = 0;
    long opening_ = 0;  // opened, not yet answered once
    long live_ = 0;
    bool wrongShown_ = false;
    Clock::time_point start_, lastReply_;
    Tally tally_;

    // The first few problems are shown; the tally counts them all.
    void note(const char* what, int err) {
        static int shown = 0;
        if (shown++ >= 5) return;
        if (err == 0) fprintf(stderr, "keyreg-bench: %s\n", what);
        else fprintf(stderr, "keyreg-bench: %s: %s\n", what, strerror(err));
    }

    // A timed run opens no connection once its time is up.
    bool moreToOpen() const { return nextToOpen_ < conns_.size() && !timeIsUp(); }

    bool timeIsUp() const { return o_.seconds > 0 && secondsSince(start_) >= o_.seconds; }

    void openMore() {
        while (moreToOpen() && opening_ < kConnectBatch) {
            uint32_t index = static_cast<uint32_t>(nextToOpen_++);
            openConnection(conns_[index], index);
        }
    }

    void openConnection(Connection& c, uint32_t index) {
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c.fd < 0) return connectFailed(c, "socket", errno);
        int one = 1;
        if (setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0) note("TCP_NODELAY", errno);
        epoll_event ev;
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = index;
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, c.fd, &ev) < 0) return connectFailed(c, "epoll_ctl", errno);
        live_++;
        c.state = State::Connecting;
        opening_++;
        if (connect(c.fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) == 0) return connected(c, index);
        if (errno != EINPROGRESS) connectFailed(c, "connect", errno);
    }

    void connectFailed(Connection& c, const char* what, int err) {
        note(what, err);
        tally_.connectErrors++;
        closeConnection(c);
    }

    void closeConnection(Connection& c) {
        if (c.fd >= 0) {
            if (c.state != State::Unopened) {
                live_--;
                if (!c.answered) opening_--;
            }
            close(c.fd);  // also takes it out of the epoll set
        }
        c.fd = -1;
        c.state = State::Closed;
    }

    void onEvent(Connection& c, uint32_t index) {
        if (c.state == State::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
            if (err != 0) return connectFailed(c, "connect", err);
            return connected(c, index);
        }
        if (c.state == State::Waiting) readReply(c);
    }

    void connected(Connection& c, uint32_t index) {
        epoll_event ev;
        ev.events = EPOLLIN;
        ev.data.u32 = index;
        c.state = State::Waiting;
        if (epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev) < 0) return connectFailed(c, "epoll_ctl", errno);
        sendNext(c);
    }

    bool wantsAnother(const Connection& c) const { return o_.seconds > 0 ? !timeIsUp() : c.sent < o_.requests; }

    // The server takes one read as one whole block, so a request that does
    // not leave in a single write is lost anyway: it counts as failed.
    void sendNext(Connection& c) {
        if (!wantsAnother(c)) return closeConnection(c);
        const std::string& block = pool_[nextRequest_++ % pool_.size()];
        c.state = State::Waiting;
        c.replyBytes = 0;
        c.sent++;
        c.sentAt = Clock::now();
        ssize_t n = send(c.fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n == static_cast<ssize_t>(block.size())) return;
        note("send", n < 0 ? errno : EMSGSIZE);
        tally_.failed++;
        closeConnection(c);
    }

    void readReply(Connection& c) {
        ssize_t n = read(c.fd, c.reply + c.replyBytes, static_cast<size_t>(kReplyBytes - c.replyBytes));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            note(n == 0 ? "server closed a connection before its reply" : "read", n == 0 ? 0 : errno);
            tally_.failed++;
            return closeConnection(c);
        }
        c.replyBytes += static_cast<int>(n);
        if (c.replyBytes < kReplyBytes) return;
        lastReply_ = Clock::now();
        if (!c.answered) opening_--;
        c.answered = true;
        tally_.latencyUs.push_back(std::chrono::duration<double, std::micro>(lastReply_ - c.sentAt).count());
        if (memcmp(c.reply, expected_, kReplyBytes) == 0) {
            tally_.ok++;
        } else {
            tally_.wrong++;
            showWrongReply(c.reply);
        }
        sendNext(c);
    }

    void showWrongReply(const unsigned char* reply) {
        if (wrongShown_) return;
        wrongShown_ = true;
        std::string text;
        for (int i = 0; i < kReplyBytes && reply[i] != 0; i++) text += isprint(reply[i]) ? static_cast<char>(reply[i]) : '?';
        fprintf(stderr, "keyreg-bench: first wrong reply: \"%s\" (the \"ok\" reply expected)\n", text.c_str());
    }

    // At the deadline whatever has not finished is an error of the server.
    // A timed run that ended before opening them all leaves the rest unopened;
    // that is no fault of the server, but is said.
    void countOutstanding() {
        long waiting = 0, unconnected = 0, unopened = 0;
        for (Connection& c : conns_) {
            if (c.state == State::Waiting) waiting++;
            if (c.state == State::Connecting) unconnected++;
            if (c.state == State::Unopened) unopened++;
            closeConnection(c);
        }
        if (timeIsUp() && unopened > 0) printf("connections never opened: %ld (the %g s ran out first)\n", unopened, o_.seconds);
        if (!timeIsUp()) unconnected += unopened;
        if (waiting + unconnected > 0)
            fprintf(stderr, "keyreg-bench: stopped at the %.0f s deadline: %ld replies and %ld connections outstanding\n",
                    o_.timeout, waiting, unconnected);
        tally_.failed += waiting;
        tally_.connectErrors += unconnected;
    }
};

// ---------------------------------------------------------------------------
// The RSA limit.

struct RsaLimit {
    double opsPerSecond = 0;
    double opMicros = 0;
    double opCpuMicros = 0;  // what preemption by other work cannot inflate
    unsigned threads = 0;
    long invalid = 0;
};

double threadCpuSeconds() {
    timespec ts;
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) < 0) return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Private-key operations done in about `seconds`; bad blocks counted apart.
long decryptFor(RSA* key, const std::vector<std::string>& blocks, double seconds, long& invalid, double& took) {
    unsigned char out[1024];
    Clock::time_point start = Clock::now();
    long ops = 0;
    while ((took = secondsSince(start)) < seconds) {
        const std::string& b = blocks[static_cast<size_t>(ops) % blocks.size()];
        if (RSA_private_decrypt(static_cast<int>(b.size()), reinterpret_cast<const unsigned char*>(b.data()), out, key,
                                RSA_PKCS1_PADDING) < 0)
            invalid++;
        ops++;
    }
    return ops;
}

// Each thread parses its own copy of the key, as every server worker keeps
// its own parsed key.
RsaLimit measureRsaLimit(const std::string& privPath, RSA* pub, const std::vector<std::string>& pool) {
    RsaLimit limit;
    std::vector<std::string> blocks(pool.begin(), pool.begin() + static_cast<long>(std::min<size_t>(pool.size(), 256)));
    RSA* key = readPrivateKey(privPath);
    if (key == nullptr) {
        fprintf(stderr, "keyreg-bench: cannot read the private key %s: RSA limit not measured\n", privPath.c_str());
        return limit;
    }
    if (BN_cmp(RSA_get0_n(key), RSA_get0_n(pub)) != 0)
        fprintf(stderr, "keyreg-bench: %s does not belong to the public key: the RSA limit means little\n", privPath.c_str());
    double took = 0;
    double cpuStart = threadCpuSeconds();
    long ops = decryptFor(key, blocks, kSingleCoreSeconds, limit.invalid, took);
    double cpu = threadCpuSeconds() - cpuStart;
    RSA_free(key);
    limit.opMicros = took * 1e6 / static_cast<double>(std::max(1L, ops));
    limit.opCpuMicros = cpu * 1e6 / static_cast<double>(std::max(1L, ops));

    limit.threads = std::max(1u, std::thread::hardware_concurrency());
    std::vector<long> counts(limit.threads, 0), invalid(limit.threads, 0);
    std::vector<double> times(limit.threads, 0);
    std::vector<std::thread> workers;
    for (unsigned t = 0; t < limit.threads; t++) {
        workers.emplace_back([&, t] {
            RSA* own = readPrivateKey(privPath);
            if (own == nullptr) return;
            counts[t] = decryptFor(own, blocks, kAllCoresSeconds, invalid[t], times[t]);
            RSA_free(own);
        });
    }
    for (std::thread& w : workers) w.join();
    for (unsigned t = 0; t < limit.threads; t++) {
        if (times[t] > 0) limit.opsPerSecond += static_cast<double>(counts[t]) / times[t];
        limit.invalid += invalid[t];
    }
    if (limit.invalid > 0) fprintf(stderr, "keyreg-bench: %ld test blocks did not decrypt\n", limit.invalid);
    return limit;
}

// ---------------------------------------------------------------------------
// Report.

double percentile(const std::vector<double>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<size_t>(rank, 1)) - 1];
}

void report(const Options& o, Tally& t, const RsaLimit& limit) {
    std::sort(t.latencyUs.begin(), t.latencyUs.end());
    double p50 = percentile(t.latencyUs, 0.50), p90 = percentile(t.latencyUs, 0.90);
    double p99 = percentile(t.latencyUs, 0.99), max = t.latencyUs.empty() ? 0 : t.latencyUs.back();
    double throughput = t.elapsed > 0 ? static_cast<double>(t.ok) / t.elapsed : 0;
    double ratio = limit.opsPerSecond > 0 ? throughput / limit.opsPerSecond : 0;
    double p50Ratio = limit.opMicros > 0 ? p50 / limit.opMicros : 0;
    printf("registrations:       %ld ok in %.2f s = %.1f /s\n", t.ok, t.elapsed, throughput);
    printf("latency (us):        p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n", p50, p90, p99, max);
    printf("wrong replies:       %ld\nfailed requests:     %ld\nconnection errors:   %ld\n", t.wrong, t.failed,
           t.connectErrors);
    printf("RSA limit:           %.1f private-key ops/s on %u threads\n", limit.opsPerSecond, limit.threads);
    printf("one private-key op:  %.0f us wall, %.0f us CPU, on one core\n", limit.opMicros, limit.opCpuMicros);
    printf("throughput / limit:  %.3f\np50 / one op:        %.2f\n", ratio, p50Ratio);
    printf("throughput=%.1f rsa_limit=%.1f ratio=%.3f p50_us=%.0f p90_us=%.0f p99_us=%.0f max_us=%.0f rsa_op_us=%.0f "
           "errors=%ld connections=%ld\n",
           throughput, limit.opsPerSecond, ratio, p50, p90, p99, max, limit.opMicros, t.errors(), o.connections);
}

std::string runLength(const Options& o) {
    if (o.requests > 0) return std::to_string(o.requests) + " requests each";
    char text[32];
    snprintf(text, sizeof text, "%g s", o.seconds);
    return text;
}

void raiseDescriptorLimit(long connections) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) < 0) {
        perror("keyreg-bench: getrlimit");
        return;
    }
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) < 0) perror("keyreg-bench: setrlimit");
    if (lim.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(connections) + 32 > lim.rlim_cur)
        fprintf(stderr, "keyreg-bench: only %llu descriptors allowed: some connections will fail\n",
                static_cast<unsigned long long>(lim.rlim_cur));
}

}  // namespace

int main(int argc, char** argv) {
    Options o = parseOptions(argc, argv);
    sockaddr_in target = loopbackTarget(o);
    RSA* pub = readPublicKey(o.pubkey);
    if (pub == nullptr) usageError("cannot read an RSA public key from " + o.pubkey);
    if (requestText(o.userid, kMaxPool).size() + 11 > static_cast<size_t>(RSA_size(pub))) usageError("--userid too long for the key");
    raiseDescriptorLimit(o.connections);

    std::vector<std::string> pool(static_cast<size_t>(o.pool));
    Clock::time_point t0 = Clock::now();
    if (!encryptPool(pub, o.userid, pool)) {
        fprintf(stderr, "keyreg-bench: encrypting the requests failed\n");
        return kExitErrors;
    }
    printf("keyreg-bench: %ld connections, %s, %ld distinct requests encrypted in %.2f s, target %s:%ld\n",
           o.connections,
           runLength(o).c_str(),
           o.pool, secondsSince(t0), o.host.c_str(), o.port);
    fflush(stdout);

    Tally tally = LoadRun(o, target, pool).run();
    RsaLimit limit = measureRsaLimit(o.privkey, pub, pool);
    report(o, tally, limit);
    RSA_free(pub);
    return tally.errors() == 0 ? kExitClean : kExitErrors;
}
