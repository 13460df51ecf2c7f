// Client connections, the read path of a request and the replies. Touches
// the connection table, client descriptors, the epoll set and the timer of
// blocks that stopped halfway.
//
// A request is one RSA block of the private key's modulus size. TCP keeps
// no writer's pieces, so a connection gathers bytes until a whole block is
// there; it never reads beyond the block it is gathering, so that whatever
// follows stays in the socket, where epoll sees it. A block that stops
// short (one made for another key's size) is taken as a request once no
// byte has come for kPartialBlockWait.
#include "server/connections.h"

#include "log/log_lines.h"
#include "metrics/metrics.h"
#include "protocol.h"
#include "secretkey_union.h"
#include "server/listen_address.h"
#include "server/server_options.h"
#include "server/signals.h"
#include "wrap.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Longer than any gap inside one block on a slow network; a client that
// sent a block for another key's size still gets its answer.
const std::chrono::milliseconds kPartialBlockWait(2000);

// Who may touch a connection now. Client registrations are edge-triggered
// without one-shot, so a second task for a connection may come while one
// serves it, or after it was closed and its descriptor number reused.
enum class ConnState {
    Closed,   // no client here; a task that still names it leaves it alone
    Idle,     // watched; the task of its next event serves it
    Serving,  // one task reads and answers its requests
    Again,    // serving, and an event came meanwhile: the task reads once more
    Held,     // serving, but the last reply waits for an answer: nothing more is read
    Parked,   // the reply waits and no task runs: the answer hands the connection back
    Doomed,   // held, and the answer could not go out whole: the task closes it
};

struct Connection {
    std::mutex lock;
    ConnState state = ConnState::Closed;
    // Counts the clients that held this descriptor number; the high half of
    // the epoll data word, so that a task knows whether its client is still here.
    uint32_t generation = 0;
    int epollFd = -1;
    // Owned by the task that serves it:
    std::unique_ptr<unsigned char[]> partial;  // the bytes of a block begun
    int partialLen = 0;
    bool replyFailed = false;
    uint64_t requestStart = 0;  // when the request under way was read whole, for its reply's timing
    // Set at the accept, for the audit line:
    struct sockaddr_storage peer;
    // The user id of the request whose reply is held, for its answer's audit line.
    char heldUserid[kMaxUseridBytes + 1];
};

class ConnectionTable {
public:
    // Null when fd lies beyond what the table can hold.
    Connection* slot(int fd);

private:
    // Made on first use, so a high descriptor limit costs no memory until used.
    static const int kChunkSize = 1024;
    static const int kChunks = 1024;

    Connection* makeChunk(std::atomic<Connection*>& chunk);

    std::atomic<Connection*> chunks_[kChunks] = {};
    std::mutex growLock_;
};

// The process's one table; it lives until the process exits, as the
// descriptors it describes do.
ConnectionTable& connections() {
    static ConnectionTable& table = *new ConnectionTable;
    return table;
}

// The connections that hold part of a block, with the moment their wait
// ends, and the timer that fires at the earliest of them.
struct PartialBlocks {
    std::mutex lock;
    std::map<uint64_t, Clock::time_point> due;
    int timer = -1;
};

PartialBlocks& partialBlocks() {
    static PartialBlocks& blocks = *new PartialBlocks;
    return blocks;
}

}  // namespace

Connection* ConnectionTable::slot(int fd) {
    if (fd < 0 || fd >= kChunkSize * kChunks) return nullptr;
    std::atomic<Connection*>& chunk = chunks_[fd / kChunkSize];
    Connection* block = chunk.load(std::memory_order_acquire);
    if (block == nullptr) block = makeChunk(chunk);
    return &block[fd % kChunkSize];
}

Connection* ConnectionTable::makeChunk(std::atomic<Connection*>& chunk) {
    std::lock_guard<std::mutex> guard(growLock_);
    Connection* block = chunk.load(std::memory_order_acquire);
    if (block == nullptr) {
        block = new Connection[kChunkSize];
        chunk.store(block, std::memory_order_release);
    }
    return block;
}

uint64_t eventWord(uint32_t generation, int fd) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

int eventFd(uint64_t word) { return static_cast<int>(static_cast<uint32_t>(word)); }

namespace {

uint32_t eventGeneration(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

// The changes of state, each in one place. Caller holds conn.lock for all.

// A task's claim: true when it is to serve the connection.
bool claimLocked(Connection& conn, uint32_t generation) {
    if (conn.state == ConnState::Closed || conn.generation != generation) return false;
    if (conn.state == ConnState::Serving) conn.state = ConnState::Again;
    if (conn.state != ConnState::Idle) return false;
    conn.state = ConnState::Serving;
    return true;
}

void forgetPartialBlock(uint64_t word) {
    PartialBlocks& blocks = partialBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    blocks.due.erase(word);
}

void closeLocked(Connection& conn, int fd) {
    forgetPartialBlock(eventWord(conn.generation, fd));
    epoll_ctl(conn.epollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    countConnectionClosed();
    conn.state = ConnState::Closed;
    conn.partial.reset();
    conn.partialLen = 0;
}

// Hands a connection that nobody serves back to epoll, which reports any
// request that arrived meanwhile as a new event.
void rearmLocked(Connection& conn, int fd) {
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(conn.generation, fd);
    conn.state = ConnState::Idle;
    if (epoll_ctl(conn.epollFd, EPOLL_CTL_MOD, fd, &ev) < 0) closeLocked(conn, fd);
}

enum class Served {
    Drained,  // no more bytes for now
    Held,     // a reply waits: nothing more is read until it goes out
    Closed,   // end of stream, a read error, or a reply that did not go out
};

// The serving task lets go. True when it is to read again.
bool releaseLocked(Connection& conn, int fd, Served served) {
    switch (served) {
        case Served::Closed:
            closeLocked(conn, fd);
            return false;
        case Served::Drained:
            if (conn.state == ConnState::Again) {
                conn.state = ConnState::Serving;
                return true;
            }
            conn.state = ConnState::Idle;
            return false;
        case Served::Held:
            if (conn.state == ConnState::Held) conn.state = ConnState::Parked;
            if (conn.state == ConnState::Doomed) closeLocked(conn, fd);
            return conn.state == ConnState::Serving;
    }
    return false;
}

// The held reply has gone out (whole or not): the connection goes back to
// whoever holds it now, the task still serving it or nobody.
void answeredLocked(Connection& conn, int fd, bool whole) {
    if (conn.state == ConnState::Held) {
        conn.state = whole ? ConnState::Serving : ConnState::Doomed;
    } else if (!whole) {
        closeLocked(conn, fd);
    } else {
        rearmLocked(conn, fd);
    }
}

bool writeReply(int fd, const char* text) {
    char reply[kReplySize];
    memset(reply, 0, sizeof reply);
    memcpy(reply, text, strlen(text));
    return Write(fd, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply);
}

// Implicit rejection: a block that does not decrypt goes on with a synthetic
// plaintext down the same road as one that does (JSON, allow list, reply),
// so that neither the reply nor its time tells a client whether the padding
// was good. The log's size is then the synthetic one.
void serveRequest(Connection& conn, unsigned char* request, int len, int fd, RequestHandler handle) {
    conn.requestStart = metricsClock();
    unsigned char plain[kRequestBytes];
    memset(plain, 0, sizeof plain);
    len = SecretKeyUnion::getSingleTon()->rsaDecodeImplicit(request, plain, len);
    logLine("decode buf mes:%s  size:%d\n", reinterpret_cast<char*>(plain), len);
    logLine("receive message from fd = [%d]  mes:%s  len:%ld\n", fd, reinterpret_cast<char*>(plain),
            static_cast<long>(strlen(reinterpret_cast<char*>(plain))));
    handle(plain, len, fd);
    logLine("finish communicate\n");
}

// The private key frames the requests. Without one, whatever has arrived is
// answered as a request that failed, and a key that is gone, rather than out
// of reach for a moment (descriptors or memory short), stops the server.
Served serveWithoutKey(Connection& conn, int fd, RequestHandler handle) {
    bool gone = errno != EMFILE && errno != ENFILE && errno != ENOMEM;
    forgetPartialBlock(eventWord(conn.generation, fd));
    conn.partialLen = 0;
    unsigned char request[kRequestBytes];
    ssize_t n = Read(fd, request, sizeof request);
    conn.requestStart = metricsClock();
    if (n > 0) handle(request, -1, fd);
    if (gone) stopServerWithStatus(kExitCannotServe);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) || conn.replyFailed) return Served::Closed;
    return Served::Drained;
}

// The bytes of the block begun, with those of a read that came short.
void keepPartialBlock(Connection& conn, const unsigned char* bytes, int len) {
    if (!conn.partial) conn.partial.reset(new unsigned char[kRequestBytes]);
    if (bytes != conn.partial.get()) memcpy(conn.partial.get(), bytes, static_cast<size_t>(len));
    conn.partialLen = len;
}

// Waits kPartialBlockWait from now for the rest of the block begun.
void awaitRestOfBlock(uint64_t word) {
    PartialBlocks& blocks = partialBlocks();
    std::lock_guard<std::mutex> guard(blocks.lock);
    Clock::time_point due = Clock::now() + kPartialBlockWait;
    blocks.due[word] = due;
    struct itimerspec at;
    if (blocks.timer < 0 || timerfd_gettime(blocks.timer, &at) != 0) return;
    if (at.it_value.tv_sec != 0 || at.it_value.tv_nsec != 0) return;  // armed for an earlier one
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(kPartialBlockWait).count();
    at.it_value.tv_sec = static_cast<time_t>(wait / 1000000000);
    at.it_value.tv_nsec = static_cast<long>(wait % 1000000000);
    at.it_interval = {0, 0};
    if (timerfd_settime(blocks.timer, 0, &at, nullptr) != 0) perror("timerfd_settime error");
}

bool heldLocked(Connection& conn) {
    std::lock_guard<std::mutex> guard(conn.lock);
    return conn.state == ConnState::Held || conn.state == ConnState::Doomed;
}

// Reads and answers whole blocks, one read each, until the socket has no
// more, a reply is held, or the connection ends. remainderDue: the block
// begun has waited long enough and is a request as it stands.
Served serveRequests(Connection& conn, int fd, RequestHandler handle, bool remainderDue) {
    uint64_t word = eventWord(conn.generation, fd);
    if (remainderDue && conn.partialLen > 0) {
        forgetPartialBlock(word);
        int len = conn.partialLen;
        conn.partialLen = 0;
        serveRequest(conn, conn.partial.get(), len, fd, handle);
        if (conn.replyFailed) return Served::Closed;
        if (heldLocked(conn)) return Served::Held;
    }
    for (;;) {
        int k = SecretKeyUnion::getSingleTon()->rsaBlockBytes();
        if (k < 0) return serveWithoutKey(conn, fd, handle);
        k = std::min(k, kRequestBytes);
        unsigned char block[kRequestBytes];
        int have = std::min(conn.partialLen, k);
        if (have > 0) memcpy(block, conn.partial.get(), static_cast<size_t>(have));
        errno = 0;
        ssize_t n = Read(fd, block + have, static_cast<size_t>(k - have));
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (have > 0) awaitRestOfBlock(word);
            return Served::Drained;
        }
        if (n <= 0) {
            perror("read error or connect close \n");
            return Served::Closed;
        }
        have += static_cast<int>(n);
        if (have < k) {
            keepPartialBlock(conn, block, have);
            continue;
        }
        if (conn.partialLen > 0) forgetPartialBlock(word);
        conn.partialLen = 0;
        serveRequest(conn, block, k, fd, handle);
        if (conn.replyFailed) return Served::Closed;
        if (heldLocked(conn)) return Served::Held;
    }
}

void serveClaimed(Connection& conn, int fd, RequestHandler handle, bool remainderDue) {
    conn.replyFailed = false;
    for (bool again = true; again; remainderDue = false) {
        Served served = serveRequests(conn, fd, handle, remainderDue);
        std::lock_guard<std::mutex> guard(conn.lock);
        again = releaseLocked(conn, fd, served);
    }
}

// The timer of blocks begun: each whose wait is over is served as it
// stands, by this task, unless a task serves its connection already (which
// then waits for the rest itself); the timer is set for the next one due.
void serveDuePartialBlocks(RequestHandler handle) {
    PartialBlocks& blocks = partialBlocks();
    uint64_t expirations;
    if (read(blocks.timer, &expirations, sizeof expirations) < 0 && errno != EAGAIN) perror("timerfd read error");
    std::vector<uint64_t> due;
    {
        std::lock_guard<std::mutex> guard(blocks.lock);
        Clock::time_point now = Clock::now();
        for (const auto& entry : blocks.due)
            if (entry.second <= now) due.push_back(entry.first);
    }
    for (uint64_t word : due) {
        int fd = eventFd(word);
        Connection* conn = connections().slot(fd);
        bool claimed;
        {
            std::lock_guard<std::mutex> guard(conn->lock);
            claimed = conn->state == ConnState::Idle && claimLocked(*conn, eventGeneration(word));
        }
        if (claimed) serveClaimed(*conn, fd, handle, true);
        else forgetPartialBlock(word);
    }
    std::lock_guard<std::mutex> guard(blocks.lock);
    if (blocks.due.empty()) return;
    Clock::time_point next = blocks.due.begin()->second;
    for (const auto& entry : blocks.due) next = std::min(next, entry.second);
    auto wait = std::max<long long>(1, std::chrono::duration_cast<std::chrono::nanoseconds>(next - Clock::now()).count());
    struct itimerspec at = {{0, 0}, {static_cast<time_t>(wait / 1000000000), static_cast<long>(wait % 1000000000)}};
    if (timerfd_settime(blocks.timer, 0, &at, nullptr) != 0) perror("timerfd_settime error");
}

}  // namespace

void watchPartialBlockTimerOrDie(int epollFd) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(0, fd);
    if (fd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) perr_exit("partial block timer error");
    partialBlocks().timer = fd;
}

void watchClient(int epollFd, int fd, const struct sockaddr_storage& peer) {
    Connection* conn = connections().slot(fd);
    if (conn == nullptr) {
        logLine("add event to epoll failed\n");
        close(fd);
        countConnectionClosed();
        return;
    }
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->generation++;
    conn->epollFd = epollFd;
    conn->peer = peer;
    conn->partial.reset();
    conn->partialLen = 0;
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(conn->generation, fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        logLine("add event to epoll failed\n");
        close(fd);
        countConnectionClosed();
        conn->state = ConnState::Closed;
        return;
    }
    conn->state = ConnState::Idle;
}

void serveClient(uint64_t word, RequestHandler handle) {
    int fd = eventFd(word);
    if (fd == partialBlocks().timer) return serveDuePartialBlocks(handle);
    Connection* conn = connections().slot(fd);
    if (conn == nullptr) return;
    {
        std::lock_guard<std::mutex> guard(conn->lock);
        if (!claimLocked(*conn, eventGeneration(word))) return;
    }
    serveClaimed(*conn, fd, handle, false);
}

// The serving task's own: it alone writes while it serves.
void sendReply(int fd, const char* text) {
    bool whole = writeReply(fd, text);
    Connection* conn = connections().slot(fd);
    if (conn == nullptr) return;
    observeRequest(conn->requestStart);
    if (!whole) conn->replyFailed = true;
}

std::string clientPeer(int fd) {
    Connection* conn = connections().slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    return peerText(reinterpret_cast<const struct sockaddr*>(&conn->peer));
}

ReplyTicket holdReply(int fd, const std::string& userid) {
    Connection* conn = connections().slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->state = ConnState::Held;
    size_t len = std::min(userid.size(), sizeof conn->heldUserid - 1);
    memcpy(conn->heldUserid, userid.data(), len);
    conn->heldUserid[len] = '\0';
    return {eventWord(conn->generation, fd)};
}

std::string heldUserid(const ReplyTicket& ticket) {
    Connection* conn = connections().slot(eventFd(ticket.word));
    std::lock_guard<std::mutex> guard(conn->lock);
    return conn->heldUserid;
}

void answerHeldReply(const ReplyTicket& ticket, const char* text) {
    int fd = eventFd(ticket.word);
    Connection* conn = connections().slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    bool held = conn->state == ConnState::Held || conn->state == ConnState::Parked;
    if (!held || conn->generation != eventGeneration(ticket.word)) return;
    bool whole = writeReply(fd, text);
    observeRequest(conn->requestStart);
    answeredLocked(*conn, fd, whole);
}
