// Accepting clients, shedding at the descriptor limit, and the retry timer.
// Touches the listening socket, the spare descriptor, the timer and the last
// accept error.
#include "server/accept_path.h"

#include "log/log_lines.h"
#include "metrics/metrics.h"
#include "server/connections.h"
#include "server/listen_address.h"
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// A descriptor held in reserve: when accept finds no descriptor left, it is
// given up for a moment to accept a pending connection and close it at once,
// so the connection is neither stranded in the backlog nor reported again
// and again. Its lock is held for a whole accept round: an accept in another
// round could otherwise take the freed descriptor for a client for good,
// leaving nothing to shed with while connections wait.
struct SpareDescriptor {
    std::mutex lock;
    int fd = -1;
};

// What the accept rounds share; it lives as long as the listener does.
struct AcceptState {
    SpareDescriptor spare;
    // The accept retry timer; -1 when it could not be made.
    int retryTimer = -1;
    // The last accept error logged, 0 after a successful accept.
    std::atomic<int> lastError{0};
};

AcceptState& acceptState() {
    static AcceptState& state = *new AcceptState;
    return state;
}

// How soon the listener is tried again when a waiting connection could be
// neither accepted nor shed.
const long kAcceptRetryNanos = 50 * 1000 * 1000;

// Caller holds spare.lock.
void reopenSpare(SpareDescriptor& spare) {
    if (spare.fd < 0) spare.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void retryAcceptLater() {
    int timer = acceptState().retryTimer;
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    when.it_value.tv_nsec = kAcceptRetryNanos;
    if (timer >= 0 && timerfd_settime(timer, 0, &when, nullptr) < 0) perror("timerfd_settime error");
}

// Linux reports EMFILE before it looks at the backlog, so only the listener
// itself can tell whether anybody is waiting.
bool connectionWaiting(int listenFd) {
    struct pollfd listener = {listenFd, POLLIN, 0};
    return poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN) != 0;
}

enum class ShedOutcome { Shed, NothingPending, Failed };

// Caller holds spare.lock.
ShedOutcome shedPendingConnection(int listenFd, SpareDescriptor& spare) {
    if (spare.fd >= 0) close(spare.fd);
    spare.fd = -1;
    int shed = AcceptNonblock(listenFd, nullptr, nullptr);
    int err = errno;
    if (shed >= 0) close(shed);
    reopenSpare(spare);
    if (shed >= 0) countConnectionShed();
    if (shed >= 0) return ShedOutcome::Shed;
    return err == EAGAIN || err == EWOULDBLOCK ? ShedOutcome::NothingPending : ShedOutcome::Failed;
}

// An error that repeats on every retry is logged once.
void logAcceptError(int err) {
    if (acceptState().lastError.exchange(err) == err) return;
    errno = err;
    perror("accept error");
}

// After a failed accept: false when accepting may go on at once. Otherwise
// the listener is tried again on the timer, and only while a connection is
// waiting, so that an idle server at its limit stays idle.
// Caller holds spare.lock.
bool acceptFailed(int listenFd, int err, SpareDescriptor& spare) {
    logAcceptError(err);
    if (isShortageError(err)) {
        ShedOutcome outcome = shedPendingConnection(listenFd, spare);
        if (outcome == ShedOutcome::Shed) return false;
        if (outcome == ShedOutcome::NothingPending) return true;
    }
    if (connectionWaiting(listenFd)) retryAcceptLater();
    return true;
}

void logPeer(const struct sockaddr_storage& peer) {
    int port = 0;
    std::string ip = addressText(reinterpret_cast<const struct sockaddr*>(&peer), port);
    logLine("client connect,ip:%s port:%d\n", ip.c_str(), port);
}

}  // namespace

void watchAcceptRetryTimer(int epollFd, int listenFd) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        perror("timerfd_create error");
        return;
    }
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(0, listenFd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        perror("epoll_ctl error");
        close(fd);
        return;
    }
    acceptState().retryTimer = fd;
}

// The listening socket is edge-triggered: take every pending connection now,
// since no new edge comes for those already waiting.
void acceptClients(int listenFd, int epollFd) {
    SpareDescriptor& spare = acceptState().spare;
    std::lock_guard<std::mutex> guard(spare.lock);
    // Also after a shed whose reopen lost the freed descriptor to a file
    // that a request opened meanwhile.
    reopenSpare(spare);
    for (;;) {
        struct sockaddr_storage peer;
        socklen_t peerLen = sizeof peer;
        int fd = AcceptNonblock(listenFd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (acceptFailed(listenFd, errno, spare)) return;
            continue;
        }
        acceptState().lastError = 0;
        countConnectionAccepted();
        logPeer(peer);
        watchClient(epollFd, fd, peer);
        logLine("finish add conect\n");
    }
}
