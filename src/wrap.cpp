// The socket and descriptor wrappers. Touches only the descriptors it is given,
// and ends the process where a wrapper says so.
#include "wrap.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <unistd.h>

void perr_exit(const char* s) {
    perror(s);
    exit(-1);
}

int Accept(int fd, struct sockaddr* sa, socklen_t* salenptr) {
    int n;
    while ((n = accept(fd, sa, salenptr)) < 0) {
        if (errno != ECONNABORTED && errno != EINTR) perr_exit("accept error");
    }
    return n;
}

bool isShortageError(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

// Linux hands a connection's pending network error out of accept; accept(2)
// says to treat these like EAGAIN and accept again.
static bool isPendingNetworkError(int err) {
    switch (err) {
        case ENETDOWN: case EPROTO: case ENOPROTOOPT: case EHOSTDOWN:
        case ENONET: case EHOSTUNREACH: case EOPNOTSUPP: case ENETUNREACH:
            return true;
    }
    return false;
}

int AcceptNonblock(int fd, struct sockaddr* sa, socklen_t* salenptr) {
    for (;;) {
        socklen_t len = salenptr ? *salenptr : 0;
        int n = accept4(fd, sa, salenptr ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (n >= 0) {
            if (salenptr) *salenptr = len;
            return n;
        }
        if (errno == ECONNABORTED || errno == EINTR || isPendingNetworkError(errno)) continue;
        return -1;
    }
}

int Bind(int fd, const struct sockaddr* sa, socklen_t salen) {
    int n = bind(fd, sa, salen);
    if (n < 0) perr_exit("bind error");
    return n;
}

int Connect(int fd, const struct sockaddr* sa, socklen_t salen) {
    int n = connect(fd, sa, salen);
    if (n < 0) perr_exit("connect error");
    return n;
}

int Listen(int fd, int backlog) {
    int n = listen(fd, backlog);
    if (n < 0) perr_exit("listen error");
    return n;
}

int Socket(int family, int type, int protocol) {
    int n = socket(family, type, protocol);
    if (n < 0) perr_exit("socket error");
    return n;
}

ssize_t Read(int fd, void* ptr, size_t nbytes) {
    ssize_t n;
    while ((n = read(fd, ptr, nbytes)) == -1) {
        if (errno != EINTR) return -1;
    }
    return n;
}

ssize_t Write(int fd, const void* ptr, size_t nbytes) {
    ssize_t n;
    while ((n = write(fd, ptr, nbytes)) == -1) {
        if (errno != EINTR) return -1;
    }
    return n;
}

int Close(int fd) {
    int n = close(fd);
    if (n == -1) perr_exit("close error");
    return n;
}

ssize_t Readn(int fd, void* vptr, size_t n) {
    size_t nleft = n;
    char* ptr = static_cast<char*>(vptr);
    while (nleft > 0) {
        ssize_t nread = read(fd, ptr, nleft);
        if (nread < 0) {
            if (errno != EINTR) return -1;
            nread = 0;
        } else if (nread == 0) {
            break;
        }
        nleft -= static_cast<size_t>(nread);
        ptr += nread;
    }
    return static_cast<ssize_t>(n - nleft);
}

ssize_t Writen(int fd, const void* vptr, size_t n) {
    size_t nleft = n;
    const char* ptr = static_cast<const char*>(vptr);
    while (nleft > 0) {
        ssize_t nwritten = write(fd, ptr, nleft);
        if (nwritten <= 0) {
            if (nwritten < 0 && errno == EINTR) {
                nwritten = 0;
            } else {
                return -1;
            }
        }
        nleft -= static_cast<size_t>(nwritten);
        ptr += nwritten;
    }
    return static_cast<ssize_t>(n);
}

// One read-ahead buffer for the whole process: Readline is meant for one
// thread and one descriptor at a time.
static ssize_t my_read(int fd, char* ptr) {
    static int read_cnt;
    static char* read_ptr;
    static char read_buf[100];

    if (read_cnt <= 0) {
        for (;;) {
            read_cnt = static_cast<int>(read(fd, read_buf, sizeof(read_buf)));
            if (read_cnt >= 0) break;
            if (errno != EINTR) return -1;
        }
        if (read_cnt == 0) return 0;
        read_ptr = read_buf;
    }
    read_cnt--;
    *ptr = *read_ptr++;
    return 1;
}

ssize_t Readline(int fd, void* vptr, size_t maxlen) {
    // Not even the terminating NUL would fit.
    if (maxlen == 0) {
        errno = EINVAL;
        return -1;
    }
    char* ptr = static_cast<char*>(vptr);
    size_t n;
    for (n = 1; n < maxlen; n++) {
        char c;
        ssize_t rc = my_read(fd, &c);
        if (rc == 1) {
            *ptr++ = c;
            if (c == '\n') break;
        } else if (rc == 0) {
            *ptr = 0;
            return static_cast<ssize_t>(n - 1);
        } else {
            return -1;
        }
    }
    *ptr = 0;
    return static_cast<ssize_t>(n);
}

int tcp4bind(short port, const char* IP) {
    int lfd = Socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in serv_addr;
    memset(&serv_addr, 0, sizeof(serv_addr));
    if (IP != nullptr && inet_pton(AF_INET, IP, &serv_addr.sin_addr.s_addr) <= 0) {
        perror(IP);
        exit(1);
    }
    serv_addr.sin_family = AF_INET;
    serv_addr.sin_port = htons(static_cast<unsigned short>(port));
    Bind(lfd, reinterpret_cast<struct sockaddr*>(&serv_addr), sizeof(serv_addr));
    return lfd;
}
