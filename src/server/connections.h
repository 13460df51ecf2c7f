// Client connections: the table of open connections, the claim that lets one
// task at a time serve a connection, the read path of a request, and the
// replies, written at once or held until the server has an answer. Touches
// client descriptors and the epoll set; hands each decrypted request to the
// handler that the server gives it.
#ifndef KEYREG_CONNECTIONS_H
#define KEYREG_CONNECTIONS_H

#include <sys/socket.h>

#include <cstdint>
#include <string>

// The epoll data word of a descriptor: its generation above, the descriptor
// below (the listening socket is registered with generation 0). A task only
// touches a connection whose generation its word still names, since the
// descriptor number may have changed hands meanwhile.
uint64_t eventWord(uint32_t generation, int fd);
int eventFd(uint64_t word);

// Makes the timer that serves blocks which stopped short, in the epoll set
// under its own descriptor.
void watchPartialBlockTimerOrDie(int epollFd);

// Registers an accepted client, from peer, with the epoll set; a connection
// that cannot be watched is closed, since it would never be read.
void watchClient(int epollFd, int fd, const struct sockaddr_storage& peer);

// What the server does with one decrypted request from the client on fd
// (len bytes of plain): answers it with sendReply, or holds its reply.
typedef void (*RequestHandler)(unsigned char* plain, int len, int fd);

// Serves the client of an epoll data word: the whole blocks that have
// arrived, each a request, unless another task serves it already; or, for
// the timer's word, the blocks that stopped short long enough ago.
void serveClient(uint64_t word, RequestHandler handle);

// Writes the 100-byte reply; a reply that does not go out whole ends the
// connection (the task serving it closes it afterwards).
void sendReply(int fd, const char* text);

// The client's address and port as ADDRESS:PORT (an IPv6 address in
// brackets), for the task serving it or the answer of its held reply.
std::string clientPeer(int fd);

// A reply that goes out after the serving task has returned. Until then the
// connection stays claimed, so no later request on it is read, and its
// descriptor cannot change hands. It names the connection as its event word
// does.
struct ReplyTicket {
    uint64_t word;
};

// Called by the handler, for the request just read: holds its reply, and
// keeps the request's userid (at most kMaxUseridBytes, no NUL) for its answer.
ReplyTicket holdReply(int fd, const std::string& userid);

// The user id kept with a held reply, for whoever answers it, before the answer.
std::string heldUserid(const ReplyTicket& ticket);

// Writes the held reply and releases the connection, or closes it when the
// reply did not go out whole; a request that arrived meanwhile raises a new
// event.
void answerHeldReply(const ReplyTicket& ticket, const char* text);

#endif
