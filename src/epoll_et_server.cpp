// The registration server: its object (pool, listener, epoll set), the event
// loop that turns every ready event into a task, the task callback that sends
// each task down the accept path or the read path, the exchange's entry
// points and the daemon routine. The README's "How it works" follows a
// request from main down.
#include "epoll_et_server.h"

#include "log/log_lines.h"
#include "secretkey_union.h"
#include "server/accept_path.h"
#include "server/allow_list.h"
#include "server/connections.h"
#include "server/registration.h"
#include "server/signals.h"
#include "wrap.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

std::vector<std::string> TcpServer::legalIdList = builtInAllowList();

namespace {

const int kQueueBound = 10;
const int kBacklog = 128;
const int kMaxEvents = 1024;

void setNonblockingOrDie(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) perr_exit("fcntl error");
}

// Once the last worker has left, the process may exit and run the crypto
// library's exit handlers: a worker's parsed keys must be gone by then, not
// freed at thread exit, after the pool stopped waiting.
void releaseWorkerKeys() { SecretKeyUnion::forgetThreadKeys(); }

}  // namespace

TcpServer::TcpServer(int workers, const ListenAddress& where)
    : listenFd(-1), epollFd(-1), pool(workers, kQueueBound, releaseWorkerKeys), stopFd(-1), exitStatus(0) {
    listenFd = Socket(where.addr.ss_family, SOCK_STREAM, 0);
    int opt = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &opt, sizeof opt);
    setNonblockingOrDie(listenFd);
    Bind(listenFd, reinterpret_cast<const struct sockaddr*>(&where.addr), where.len);
    Listen(listenFd, kBacklog);

    epollFd = epoll_create(kMaxEvents);
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(0, listenFd);
    epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev);
    watchAcceptRetryTimer(epollFd, listenFd);
    watchPartialBlockTimerOrDie(epollFd);
    stopFd = watchServerSignalsOrDie(epollFd);
}

// The pool's own destructor stops the workers and waits for them to leave.
TcpServer::~TcpServer() = default;

// A stop signal ends the loop like a failed wait: no event after it is
// dispatched, and the caller's teardown answers what is under way.
void TcpServer::start() {
    struct epoll_event events[kMaxEvents];
    int32_t taskCount = 0;
    Task task;
    memset(&task, 0, sizeof task);
    logLine("Server start!\n");
    flushLog();
    for (bool stopping = false; !stopping;) {
        // Without a time-out while nothing is left to log.
        int n = epoll_wait(epollFd, events, kMaxEvents, logPending() ? kLogLagMillis : -1);
        if (n == 0) {
            flushLog();
            continue;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        logLine("receive n:%d\n", n);
        for (int i = 0; i < n && !stopping; i++) {
            if (eventFd(events[i].data.u64) == stopFd) {
                ServerSignal signal;
                while ((signal = takeServerSignal(stopFd, exitStatus)) != ServerSignal::None) {
                    if (signal == ServerSignal::Reload) readAllowListFileAgain();
                    stopping = stopping || signal == ServerSignal::Stop;
                }
                continue;
            }
            task.taskId = taskCount;
            task.epollFd = epollFd;
            task.listenFd = listenFd;
            task.event = events[i];
            task.callback = processRequest;
            pool.addTask(task);
            taskCount = static_cast<int32_t>(static_cast<uint32_t>(taskCount) + 1u);
        }
        if (logOverdue()) flushLog();
    }
    flushLog();
    close(listenFd);
}

bool TcpServer::ifContainId(std::string userid) { return isAllowed(userid); }

void processMes(unsigned char* mes, int len, int fd) { registerRequest(mes, len, fd); }

void processRequest(void* arg) {
    const Task* task = static_cast<const Task*>(arg);
    logLine("thread %ld is runing\n", static_cast<long>(pthread_self()));
    uint64_t word = task->event.data.u64;
    if (eventFd(word) == task->listenFd) {
        acceptClients(task->listenFd, task->epollFd);
    } else {
        serveClient(word, processMes);
    }
}

void createDamon() {
    pid_t pid = fork();
    if (pid < 0) {
        perror("fork error");
        exit(1);
    }
    if (pid > 0) exit(0);
    setsid();
    if (chdir("/var/lib/secretkey_workspace") != 0) {
        // The directory is optional; the daemon stays where it was.
    }
    umask(0);
    int fd = open("/dev/null", O_RDWR);
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
}
