// Stop signals through a signalfd, and stops asked for by the server itself.
#include "server/signals.h"

#include "wrap.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace {

sigset_t serverSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

void blockServerSignalsOrDie() {
    sigset_t set = serverSignals();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) perr_exit("pthread_sigmask error");
}

int watchServerSignalsOrDie(int epollFd) {
    sigset_t set = serverSignals();
    int fd = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) perr_exit("signalfd error");
    struct epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u64 = static_cast<uint32_t>(fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) perr_exit("epoll_ctl error");
    return fd;
}

// A stop of the server's own is a SIGTERM that it queued to itself with the
// status, so that it takes the road of any stop and nothing else is shared.
ServerSignal takeServerSignal(int fd, int& exitStatus) {
    struct signalfd_siginfo info;
    ssize_t n;
    do {
        n = read(fd, &info, sizeof info);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(sizeof info)) return ServerSignal::None;
    if (info.ssi_signo == SIGHUP) return ServerSignal::Reload;
    if (info.ssi_code == SI_QUEUE && static_cast<pid_t>(info.ssi_pid) == getpid()) {
        exitStatus = info.ssi_int;
    } else {
        fprintf(stderr, "keyreg-server: stopping on a signal\n");
    }
    return ServerSignal::Stop;
}

void stopServerWithStatus(int status) {
    union sigval value;
    value.sival_int = status;
    if (sigqueue(getpid(), SIGTERM, value) != 0) perr_exit("sigqueue error");
}
