// The load client. Every connection keeps one request in flight, since the
// server takes one read as one whole RSA block.
#include "bench.h"

#include "protocol.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

// A connect completes once the kernel has queued the connection, long before
// the server accepts it; only its first reply proves it was accepted. With
// fewer than the listen backlog (128) unanswered, the backlog never overflows,
// where the kernel would drop SYNs and the connect would wait a second or more
// for its retry: so a plain blocking connect never waits here.
const long kConnectBatch = 64;
const int kEventsPerWait = 1024;
const double kListenWaitSeconds = 30;
// Whatever is outstanding this long after the run should have ended is lost.
const double kGraceSeconds = 60;
const double kCountedRunLimitSeconds = 120;

sockaddr_in loopback() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(kServerPort);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

Clock::duration after(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// No two plaintexts are alike: the key names this process and the request.
std::string requestText(const std::string& userid, long index) {
    nlohmann::json request{{"userid", userid}, {"key", "bench-" + std::to_string(getpid()) + "-" + std::to_string(index)}};
    return request.dump();
}

struct Connection {
    int fd = -1;
    bool answered = false;
    long sent = 0;
    size_t got = 0;
    char reply[kReplySize];
    Clock::time_point sentAt;
};

class LoadRun {
public:
    LoadRun(const Options& o, const std::vector<std::string>& pool)
        : o_(o), pool_(pool), conns_(static_cast<size_t>(o.connections)) {}

    Tally run() {
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epfd_ < 0) return failed("epoll_create1");
        start_ = lastReply_ = Clock::now();
        Clock::time_point deadline = start_ + after(o_.seconds > 0 ? o_.seconds + kGraceSeconds : kCountedRunLimitSeconds);
        epoll_event events[kEventsPerWait];
        while ((live_ > 0 || moreToOpen()) && Clock::now() < deadline) {
            openMore();
            int n = epoll_wait(epfd_, events, kEventsPerWait, 100);
            if (n < 0 && errno != EINTR) return failed("epoll_wait");
            for (int i = 0; i < n; i++) readReply(conns_[events[i].data.u32]);
        }
        for (Connection& c : conns_)
            if (c.fd >= 0) lose(c, "outstanding at the deadline", 0);
        if (!timeIsUp()) tally_.errors += static_cast<long>(conns_.size() - opened_);
        close(epfd_);
        tally_.elapsed = std::chrono::duration<double>(lastReply_ - start_).count();
        return tally_;
    }

private:
    const Options& o_;
    const std::vector<std::string>& pool_;
    std::vector<Connection> conns_;
    // Byte for byte: the text, then NULs to the full size.
    const std::string expected_ = std::string(kReplyOk).append(kReplySize - strlen(kReplyOk), '\0');
    int epfd_ = -1;
    size_t opened_ = 0, nextRequest_ = 0;
    long unanswered_ = 0, live_ = 0;
    bool told_ = false;
    Clock::time_point start_, lastReply_;
    Tally tally_;

    Tally failed(const char* what) {
        perror(what);
        tally_.errors++;
        return tally_;
    }

    bool timeIsUp() const { return o_.seconds > 0 && Clock::now() - start_ >= after(o_.seconds); }
    bool moreToOpen() const { return opened_ < conns_.size() && !timeIsUp(); }

    void openMore() {
        for (; moreToOpen() && unanswered_ < kConnectBatch; opened_++) open(conns_[opened_], static_cast<uint32_t>(opened_));
    }

    void open(Connection& c, uint32_t index) {
        c.fd = connectToServer();
        if (c.fd < 0) return note(std::string("connect: ") + strerror(errno));
        live_++;
        unanswered_++;
        epoll_event ev{EPOLLIN, {}};
        ev.data.u32 = index;
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, c.fd, &ev) != 0) return lose(c, "epoll_ctl", errno);
        sendNext(c);
    }

    // The first problem of a run is shown; the tally counts them all.
    void note(const std::string& what) {
        if (!told_) fprintf(stderr, "keyreg-bench: %s\n", what.c_str());
        told_ = true;
        tally_.errors++;
    }

    void lose(Connection& c, const char* what, int err) {
        note(std::string(what) + (err != 0 ? std::string(": ") + strerror(err) : ""));
        finish(c);
    }

    void finish(Connection& c) {
        if (c.fd < 0) return;
        close(c.fd);  // also takes it out of the epoll set
        c.fd = -1;
        live_--;
        unanswered_ -= !c.answered;
    }

    // A request that does not leave in a single write would be lost anyway.
    void sendNext(Connection& c) {
        if (o_.seconds > 0 ? timeIsUp() : c.sent == o_.requests) return finish(c);
        const std::string& block = pool_[nextRequest_++ % pool_.size()];
        c.got = 0;
        c.sent++;
        c.sentAt = Clock::now();
        ssize_t n = send(c.fd, block.data(), block.size(), MSG_NOSIGNAL);
        if (n != static_cast<ssize_t>(block.size())) lose(c, "send", n < 0 ? errno : EMSGSIZE);
    }

    void readReply(Connection& c) {
        ssize_t n = read(c.fd, c.reply + c.got, sizeof c.reply - c.got);
        if (n < 0 && errno == EINTR) return;
        if (n <= 0) return lose(c, n == 0 ? "the server closed a connection before its reply" : "read", n < 0 ? errno : 0);
        if ((c.got += static_cast<size_t>(n)) < sizeof c.reply) return;
        lastReply_ = Clock::now();
        unanswered_ -= !c.answered;
        c.answered = true;
        tally_.latencyUs.push_back(std::chrono::duration<double, std::micro>(lastReply_ - c.sentAt).count());
        if (memcmp(c.reply, expected_.data(), sizeof c.reply) == 0) tally_.ok++;
        else note("a wrong reply: " + std::string(c.reply, strnlen(c.reply, sizeof c.reply)));
        sendNext(c);
    }
};

}  // namespace

RSA* readKey(const std::string& path, bool isPrivate) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = isPrivate ? PEM_read_RSAPrivateKey(fp, nullptr, nullptr, nullptr)
                         : PEM_read_RSA_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    ERR_clear_error();
    return key;
}

bool encryptRequests(const Options& o, long count, std::vector<std::string>& pool) {
    RSA* key = readKey(o.pubkey, false);
    if (key == nullptr) return false;
    std::vector<unsigned char> block(static_cast<size_t>(RSA_size(key)));
    for (long i = 0; i < count; i++) {
        std::string text = requestText(o.userid, i);
        int n = RSA_public_encrypt(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                   block.data(), key, RSA_PKCS1_PADDING);
        if (n <= 0) break;
        pool.emplace_back(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(n));
    }
    RSA_free(key);
    return static_cast<long>(pool.size()) == count;
}

int connectToServer() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    sockaddr_in addr = loopback();
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0)
        return fd;
    if (fd >= 0) close(fd);
    return -1;
}

bool serverListens() {
    for (Clock::time_point deadline = Clock::now() + after(kListenWaitSeconds); Clock::now() < deadline;) {
        int fd = connectToServer();
        if (fd >= 0) return close(fd) == 0;
        usleep(100000);
    }
    fprintf(stderr, "keyreg-bench: nothing listens on port %d after %g s\n", kServerPort, kListenWaitSeconds);
    return false;
}

Tally runLoad(const Options& o, const std::vector<std::string>& pool) { return LoadRun(o, pool).run(); }
