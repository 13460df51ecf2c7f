// The load client; every connection keeps one request in flight, as the server takes one read as one RSA block.
#include "load_client.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <nlohmann/json.hpp>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// New connections at a time. A connect completes as soon as the kernel has
// queued the connection, long before the server accepts it; only the first
// reply proves it was accepted. Keeping fewer than the listen backlog (128)
// unanswered means the backlog never overflows, where the kernel would drop
// SYNs and the client would wait a second or more to retry.
const long kConnectBatch = 64;
const int kEventsPerWait = 1024;
const int kProblemsShown = 5;

Clock::duration after(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

sockaddr_in target(const Options& o) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(o.port));
    inet_pton(AF_INET, o.host.c_str(), &addr.sin_addr);  // checked with the options
    return addr;
}

// No two plaintexts are alike: the key names this process and the request.
// OpenSSL encrypts them, never the server's code, lest a fault there cancel
// itself out.
std::string requestText(const std::string& userid, long index) {
    std::string key = "bench-" + std::to_string(getpid()) + "-" + std::to_string(index);
    nlohmann::json request{{"userid", userid}, {"key", key}};
    return request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

RSA* readPublicKey(const std::string& path) {
    FILE* fp = fopen(path.c_str(), "r");
    if (fp == nullptr) return nullptr;
    RSA* key = PEM_read_RSA_PUBKEY(fp, nullptr, nullptr, nullptr);
    fclose(fp);
    ERR_clear_error();
    return key;
}

// Ten thousand connections need more descriptors than a shell usually grants.
void raiseDescriptorLimit(long connections) {
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) < 0) return perror("keyreg-bench: getrlimit");
    lim.rlim_cur = lim.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &lim) < 0) perror("keyreg-bench: setrlimit");
    if (lim.rlim_cur != RLIM_INFINITY && static_cast<rlim_t>(connections) + 32 > lim.rlim_cur)
        fprintf(stderr, "keyreg-bench: only %llu descriptors allowed: some connections will fail\n",
                static_cast<unsigned long long>(lim.rlim_cur));
}

enum class State { Unopened, Connecting, Waiting, Closed };

struct Connection {
    int fd = -1;
    State state = State::Unopened;
    long sent = 0;
    bool answered = false;
    int replyBytes = 0;
    unsigned char reply[kReplySize];
    Clock::time_point sentAt;
};

class LoadRun {
public:
    LoadRun(const Options& o, const std::vector<std::string>& pool)
        : o_(o), target_(target(o)), pool_(pool), conns_(static_cast<size_t>(o.connections)) {}

    Tally run() {
        epfd_ = epoll_create1(EPOLL_CLOEXEC);
        if (epfd_ < 0) {
            perror("keyreg-bench: epoll_create1");
            exit(kExitErrors);
        }
        start_ = lastReply_ = Clock::now();
        Clock::time_point deadline = start_ + after(o_.timeout);
        epoll_event events[kEventsPerWait];
        while (live_ > 0 || moreToOpen()) {
            openMore();
            if (Clock::now() >= deadline) break;
            int n = epoll_wait(epfd_, events, kEventsPerWait, 100);
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
    const sockaddr_in target_;
    const std::vector<std::string>& pool_;
    std::vector<Connection> conns_;
    const std::string expected_ = std::string(kReplyOk).append(kReplySize - strlen(kReplyOk), '\0');
    int epfd_ = -1;
    size_t nextToOpen_ = 0, nextRequest_ = 0;
    long opening_ = 0;  // opened, not yet answered once
    long live_ = 0;
    int problems_ = 0;
    Clock::time_point start_, lastReply_;
    Tally tally_;

    // The first few problems are shown; the tally counts them all.
    void note(const char* what, int err) {
        if (problems_++ < kProblemsShown)
            fprintf(stderr, "keyreg-bench: %s%s%s\n", what, err != 0 ? ": " : "", err != 0 ? strerror(err) : "");
    }

    bool timeIsUp() const { return o_.seconds > 0 && Clock::now() - start_ >= after(o_.seconds); }

    // A timed run opens no connection once its time is up.
    bool moreToOpen() const { return nextToOpen_ < conns_.size() && !timeIsUp(); }

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
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev{EPOLLIN | EPOLLOUT, {}};
        ev.data.u32 = index;
        if (epoll_ctl(epfd_, EPOLL_CTL_ADD, c.fd, &ev) < 0) return connectFailed(c, "epoll_ctl", errno);
        live_++;
        opening_++;
        c.state = State::Connecting;
        if (connect(c.fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) == 0) return connected(c, index);
        if (errno != EINPROGRESS) connectFailed(c, "connect", errno);
    }

    void connectFailed(Connection& c, const char* what, int err) {
        note(what, err);
        tally_.connectErrors++;
        closeConnection(c);
    }

    void closeConnection(Connection& c) {
        if (c.fd >= 0 && c.state != State::Unopened) {
            live_--;
            opening_ -= !c.answered;
        }
        if (c.fd >= 0) close(c.fd);  // also takes it out of the epoll set
        c.fd = -1;
        c.state = State::Closed;
    }

    void onEvent(Connection& c, uint32_t index) {
        if (c.state == State::Waiting) return readReply(c);
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len) < 0) err = errno;
        if (err != 0) return connectFailed(c, "connect", err);
        connected(c, index);
    }

    void connected(Connection& c, uint32_t index) {
        epoll_event ev{EPOLLIN, {}};
        ev.data.u32 = index;
        c.state = State::Waiting;
        if (epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev) < 0) return connectFailed(c, "epoll_ctl", errno);
        sendNext(c);
    }

    // The server takes one read as one whole block, so a request that does
    // not leave in a single write is lost anyway: it counts as failed.
    void sendNext(Connection& c) {
        if (o_.seconds > 0 ? timeIsUp() : c.sent == o_.requests) return closeConnection(c);
        const std::string& block = pool_[nextRequest_++ % pool_.size()];
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
        ssize_t n = read(c.fd, c.reply + c.replyBytes, static_cast<size_t>(kReplySize - c.replyBytes));
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
        if (n <= 0) {
            note(n == 0 ? "server closed a connection before its reply" : "read", n == 0 ? 0 : errno);
            tally_.failed++;
            return closeConnection(c);
        }
        if ((c.replyBytes += static_cast<int>(n)) < kReplySize) return;
        lastReply_ = Clock::now();
        opening_ -= !c.answered;
        c.answered = true;
        tally_.latencyUs.push_back(std::chrono::duration<double, std::micro>(lastReply_ - c.sentAt).count());
        if (memcmp(c.reply, expected_.data(), kReplySize) == 0) tally_.ok++;
        else countWrongReply(c.reply);
        sendNext(c);
    }

    void countWrongReply(const unsigned char* reply) {
        std::string text;
        for (int i = 0; i < kReplySize && reply[i] != 0; i++)
            text += isprint(reply[i]) ? static_cast<char>(reply[i]) : '?';
        if (tally_.wrong++ == 0)
            fprintf(stderr, "keyreg-bench: first wrong reply: \"%s\" (\"%s\" expected)\n", text.c_str(), kReplyOk);
    }

    // At the deadline whatever has not finished is an error of the server.
    // A timed run that ended before opening them all leaves the rest unopened;
    // that is no fault of the server, but is said.
    void countOutstanding() {
        long waiting = 0, unconnected = 0, unopened = 0;
        for (Connection& c : conns_) {
            waiting += c.state == State::Waiting;
            unconnected += c.state == State::Connecting;
            unopened += c.state == State::Unopened;
            closeConnection(c);
        }
        if (timeIsUp() && unopened > 0)
            printf("connections never opened: %ld (the %g s ran out first)\n", unopened, o_.seconds);
        if (!timeIsUp()) unconnected += unopened;
        if (waiting + unconnected > 0)
            fprintf(stderr, "keyreg-bench: stopped at the %.0f s deadline: %ld replies and %ld connections "
                    "outstanding\n", o_.timeout, waiting, unconnected);
        tally_.failed += waiting;
        tally_.connectErrors += unconnected;
    }
};

}  // namespace

std::vector<std::string> encryptRequests(const Options& o) {
    RSA* key = readPublicKey(o.pubkey);
    if (key == nullptr) usageError("cannot read an RSA public key from " + o.pubkey);
    std::vector<std::string> pool(static_cast<size_t>(o.pool));
    std::vector<unsigned char> block(static_cast<size_t>(RSA_size(key)));
    for (size_t i = 0; i < pool.size(); i++) {
        std::string text = requestText(o.userid, static_cast<long>(i));
        int n = RSA_public_encrypt(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()),
                                   block.data(), key, RSA_PKCS1_PADDING);
        if (n <= 0) usageError("the requests do not fit in one block of " + o.pubkey + ": --userid is too long");
        pool[i].assign(reinterpret_cast<const char*>(block.data()), static_cast<size_t>(n));
    }
    RSA_free(key);
    return pool;
}

bool serverListens(const Options& o) {
    const sockaddr_in addr = target(o);
    Clock::time_point deadline = Clock::now() + after(o.wait);
    for (;; std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool listens = fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
        if (fd >= 0) close(fd);
        if (listens) return true;
        if (Clock::now() < deadline) continue;
        fprintf(stderr, "keyreg-bench: nothing listens at %s:%ld after %g s\n", o.host.c_str(), o.port, o.wait);
        return false;
    }
}

Tally runLoad(const Options& o, const std::vector<std::string>& pool) {
    raiseDescriptorLimit(o.connections);
    return LoadRun(o, pool).run();
}
