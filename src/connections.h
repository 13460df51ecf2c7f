// Client connections: the table of open connections, the claim that lets one
// task at a time serve a connection, and the read path of one request.
// Touches client descriptors and the epoll set; hands each plaintext to the
// registration exchange.
#ifndef KEYREG_CONNECTIONS_H
#define KEYREG_CONNECTIONS_H

#include <atomic>
#include <cstdint>
#include <mutex>

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
    // connection stays claimed until releaseHeldReply.
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

// The epoll data word of a descriptor: its generation above, the descriptor
// below (the listening socket is registered with generation 0).
uint64_t eventWord(uint32_t generation, int fd);
int eventFd(uint64_t word);

// Registers an accepted client with the epoll set; a connection that cannot
// be watched is closed, since it would never be read.
void watchClient(int epollFd, int fd);

// Serves the client of an epoll data word: the requests that have arrived,
// one read each, unless another task serves it already.
void serveClient(uint64_t word);

// Tells the task serving fd that its reply did not go out whole.
void markReplyFailed(int fd);

// A reply that goes out after the serving task has returned. Until then the
// connection stays claimed, so no later request on it is read, and its
// descriptor cannot change hands.
struct ReplyTicket {
    int fd;
    uint32_t generation;
};

// Called by the serving task, from the exchange: holds the reply to the
// request just read.
ReplyTicket holdReply(int fd);

// After the held reply was written (whole or not): releases the connection,
// or closes it when the reply did not go out whole; a request that arrived
// meanwhile raises a new event.
void releaseHeldReply(const ReplyTicket& ticket, bool replyWhole);

#endif
