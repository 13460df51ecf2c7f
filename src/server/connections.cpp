// Client connections, the read path of a request and the replies. Touches
// the connection table, client descriptors and the epoll set.
#include "server/connections.h"

#include "log/log_lines.h"
#include "protocol.h"
#include "secretkey_union.h"
#include "wrap.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// Client registrations are edge-triggered without one-shot, so two tasks for
// one client can run at once, and a task may still be queued when its
// connection has been closed and the descriptor number reused. Every accepted
// connection gets a generation number, kept in the high 32 bits of its epoll
// data word; a task only touches a descriptor whose slot still holds that
// generation, and only one task serves a connection at a time: a task that
// finds it busy leaves a note and the busy one reads again.
struct Connection {
    std::mutex lock;
    uint32_t generation = 0;
    bool open = false;
    bool busy = false;
    bool pending = false;
    // Set while the reply to the request just read is held back: the
    // connection stays claimed until answerHeldReply.
    bool held = false;
    int epollFd = -1;
    // Set when a reply could not go out whole; the serving task then closes.
    std::atomic<bool> replyFailed{false};
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

static uint32_t eventGeneration(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

void watchClient(int epollFd, int fd) {
    Connection* conn = connections().slot(fd);
    if (conn == nullptr) {
        logLine("add event to epoll failed\n");
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->generation++;
    conn->busy = false;
    conn->pending = false;
    conn->held = false;
    conn->epollFd = epollFd;
    conn->replyFailed = false;
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(conn->generation, fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        logLine("add event to epoll failed\n");
        close(fd);
        conn->open = false;
        return;
    }
    conn->open = true;
}

namespace {

bool writeReply(int fd, const char* text) {
    char reply[kReplySize];
    memset(reply, 0, sizeof reply);
    memcpy(reply, text, strlen(text));
    return Write(fd, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply);
}

}  // namespace

void sendReply(int fd, const char* text) {
    if (writeReply(fd, text)) return;
    Connection* conn = connections().slot(fd);
    if (conn != nullptr) conn->replyFailed = true;
}

ReplyTicket holdReply(int fd) {
    Connection* conn = connections().slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->held = true;
    return {eventWord(conn->generation, fd)};
}

namespace {

enum class ReadOutcome { Keep, Close };

ReadOutcome serveOneRequest(Connection* conn, int fd, RequestHandler handle) {
    unsigned char request[kRequestBytes];
    unsigned char plain[kRequestBytes];
    memset(request, 0, sizeof request);
    memset(plain, 0, sizeof plain);

    errno = 0;
    ssize_t n = Read(fd, request, sizeof request);
    // Another task for this connection may have taken the data already.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return ReadOutcome::Keep;
    if (n <= 0) {
        perror("read error or connect close \n");
        return ReadOutcome::Close;
    }

    // Implicit rejection: a block that does not decrypt goes on with a
    // synthetic plaintext down the same road as one that does (JSON, allow
    // list, reply), so that neither the reply nor its time tells a client
    // whether the padding was good. The log's size is then the synthetic one.
    int len = static_cast<int>(n);
    len = SecretKeyUnion::getSingleTon()->rsaDecodeImplicit(request, plain, len);
    logLine("decode buf mes:%s  size:%d\n", reinterpret_cast<char*>(plain), len);
    logLine("receive message from fd = [%d]  mes:%s  len:%ld\n", fd, reinterpret_cast<char*>(plain),
           static_cast<long>(strlen(reinterpret_cast<char*>(plain))));
    handle(plain, len, fd);
    logLine("finish communicate\n");
    return conn->replyFailed.exchange(false) ? ReadOutcome::Close : ReadOutcome::Keep;
}

// Claims the connection for this task. False when the task is stale (its
// connection is gone, the descriptor perhaps reused) or another task is
// serving it; that one is told to read once more.
bool claimConnection(Connection* conn, uint32_t generation) {
    std::lock_guard<std::mutex> guard(conn->lock);
    if (!conn->open || conn->generation != generation) return false;
    if (conn->busy) {
        conn->pending = true;
        return false;
    }
    conn->busy = true;
    return true;
}

// Caller holds conn->lock.
void closeConnection(Connection* conn, int fd) {
    epoll_ctl(conn->epollFd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    conn->open = false;
    conn->busy = false;
    conn->pending = false;
}

// Releases the connection, closing it if asked. True when another event
// arrived meanwhile and the caller must read again. A held reply keeps the
// connection claimed.
bool releaseConnection(Connection* conn, int fd, ReadOutcome outcome) {
    std::lock_guard<std::mutex> guard(conn->lock);
    if (outcome == ReadOutcome::Close) {
        closeConnection(conn, fd);
        return false;
    }
    if (conn->held) return false;
    if (conn->pending) {
        conn->pending = false;
        return true;
    }
    conn->busy = false;
    return false;
}

}  // namespace

void serveClient(uint64_t word, RequestHandler handle) {
    int fd = eventFd(word);
    Connection* conn = connections().slot(fd);
    if (conn == nullptr || !claimConnection(conn, eventGeneration(word))) return;
    ReadOutcome outcome;
    do {
        outcome = serveOneRequest(conn, fd, handle);
    } while (releaseConnection(conn, fd, outcome));
}

// The serving task has returned, so a request that arrived meanwhile can
// only be read by a new task: re-arming the descriptor makes epoll report
// it again.
void answerHeldReply(const ReplyTicket& ticket, const char* text) {
    int fd = eventFd(ticket.word);
    bool replyWhole = writeReply(fd, text);
    Connection* conn = connections().slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->held = false;
    if (!replyWhole) {
        closeConnection(conn, fd);
        return;
    }
    conn->busy = false;
    if (!conn->pending) return;
    conn->pending = false;
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = ticket.word;
    if (epoll_ctl(conn->epollFd, EPOLL_CTL_MOD, fd, &ev) < 0) closeConnection(conn, fd);
}
