// Wrappers over the socket and descriptor calls. Each one settles failure in
// one fixed way: it ends the process through perr_exit, repeats a call that a
// signal interrupted, or returns -1 with errno left as the call set it.
#ifndef KEYREG_WRAP_H
#define KEYREG_WRAP_H

#include <sys/socket.h>
#include <sys/types.h>

void perr_exit(const char* s);

int Accept(int fd, struct sockaddr* sa, socklen_t* salenptr);
int Bind(int fd, const struct sockaddr* sa, socklen_t salen);
int Connect(int fd, const struct sockaddr* sa, socklen_t salen);
int Listen(int fd, int backlog);
int Socket(int family, int type, int protocol);
ssize_t Read(int fd, void* ptr, size_t nbytes);
ssize_t Write(int fd, const void* ptr, size_t nbytes);
int Close(int fd);
ssize_t Readn(int fd, void* vptr, size_t n);
ssize_t Writen(int fd, const void* vptr, size_t n);
ssize_t Readline(int fd, void* vptr, size_t maxlen);
int tcp4bind(short port, const char* IP);

// Accept for a non-blocking listener, handing back a non-blocking client.
// Unlike Accept it never ends the process: an interrupted call and a
// connection that died in the backlog (ECONNABORTED and the network errors
// that accept(2) says to treat like EAGAIN) are retried at once; any other
// failure returns -1 with errno set, EAGAIN meaning the backlog is empty.
int AcceptNonblock(int fd, struct sockaddr* sa, socklen_t* salenptr);

// True for the errors of a process that ran short of descriptors or memory.
bool isShortageError(int err);

#endif
