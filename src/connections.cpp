// Client connections and the read path of a request. Touches the connection
// table, client descriptors and the epoll set; the registration exchange
// (processMes) writes the reply.
#include "connections.h"

#include "epoll_et_server.h"
#include "secretkey_union.h"
#include "log_lines.h"
#include "worker_shared.h"
#include "wrap.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    Connection* conn = workerShared().connections.slot(fd);
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

void markReplyFailed(int fd) {
    Connection* conn = workerShared().connections.slot(fd);
    if (conn != nullptr) conn->replyFailed = true;
}

ReplyTicket holdReply(int fd) {
    Connection* conn = workerShared().connections.slot(fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->held = true;
    return {fd, conn->generation};
}

namespace {

enum class ReadOutcome { Keep, Close };

ReadOutcome serveOneRequest(Connection* conn, int fd) {
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
    processMes(plain, len, fd);
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

void serveClient(uint64_t word) {
    int fd = eventFd(word);
    Connection* conn = workerShared().connections.slot(fd);
    if (conn == nullptr || !claimConnection(conn, eventGeneration(word))) return;
    ReadOutcome outcome;
    do {
        outcome = serveOneRequest(conn, fd);
    } while (releaseConnection(conn, fd, outcome));
}

// The serving task has returned, so a request that arrived meanwhile can
// only be read by a new task: re-arming the descriptor makes epoll report
// it again.
void releaseHeldReply(const ReplyTicket& ticket, bool replyWhole) {
    Connection* conn = workerShared().connections.slot(ticket.fd);
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->held = false;
    if (!replyWhole) {
        closeConnection(conn, ticket.fd);
        return;
    }
    conn->busy = false;
    if (!conn->pending) return;
    conn->pending = false;
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(ticket.generation, ticket.fd);
    if (epoll_ctl(conn->epollFd, EPOLL_CTL_MOD, ticket.fd, &ev) < 0) closeConnection(conn, ticket.fd);
}
