// The registration server. A request's road:
//
//   main ─ parseCommandLineOrExit, TcpServer() (pool, listener, epoll), start()
//   start ─ epoll_wait; every ready event becomes one Task → pool.addTask
//   worker (threadRun) ─ processRequest(its own copy of the task)
//     listener or retry timer → acceptClients: accept until EAGAIN, watch each
//       client; at the descriptor limit shed a pending connection
//     client → serveClient: claim the connection, serveOneRequest (one read,
//       rsaDecode) → processMes (parse, allow list, storeKey) → sendReply,
//       release the connection (read again if an event came meanwhile, close
//       on end of stream or a reply that could not go out)
#include "epoll_et_server.h"

#include "Util.h"
#include "secretkey_union.h"
#include "wrap.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <nlohmann/json.hpp>

std::vector<std::string> TcpServer::legalIdList = {"dorvanek", "talumesko", "tuvi", "brenquolar", "vestimorank"};

namespace {

const int kQueueBound = 10;
const int kBacklog = 128;
const int kMaxEvents = 1024;
const int kRequestBytes = 1024;
// How soon the listener is tried again when a waiting connection could be
// neither accepted nor shed.
const long kAcceptRetryNanos = 50 * 1000 * 1000;

const char kReplyOk[] = "ok";
const char kReplyFailed[] = "communicate failed";

// ---------------------------------------------------------------------------
// Connections. Client registrations are edge-triggered without one-shot, so
// two tasks for one client can run at once, and a task may still be queued
// when its connection has been closed and the descriptor number reused.
// Every accepted connection gets a generation number, kept in the high 32
// bits of its epoll data word; a task only touches a descriptor whose slot
// still holds that generation, and only one task serves a connection at a
// time: a task that finds it busy leaves a note and the busy one reads again.

struct Connection {
    std::mutex lock;
    uint32_t generation = 0;
    bool open = false;
    bool busy = false;
    bool pending = false;
    // Set when a reply could not go out whole; the serving task then closes.
    std::atomic<bool> replyFailed{false};
};

class ConnectionTable {
public:
    // Null when fd lies beyond what the table can hold.
    Connection* slot(int fd) {
        if (fd < 0 || fd >= kChunkSize * kChunks) return nullptr;
        std::atomic<Connection*>& chunk = chunks_[fd / kChunkSize];
        Connection* block = chunk.load(std::memory_order_acquire);
        if (block == nullptr) block = makeChunk(chunk);
        return &block[fd % kChunkSize];
    }

private:
    // Made on first use, so a high descriptor limit costs no memory until used.
    static const int kChunkSize = 1024;
    static const int kChunks = 1024;

    Connection* makeChunk(std::atomic<Connection*>& chunk) {
        std::lock_guard<std::mutex> guard(growLock_);
        Connection* block = chunk.load(std::memory_order_acquire);
        if (block == nullptr) {
            block = new Connection[kChunkSize];
            chunk.store(block, std::memory_order_release);
        }
        return block;
    }

    std::atomic<Connection*> chunks_[kChunks] = {};
    std::mutex growLock_;
};

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

// ---------------------------------------------------------------------------
// The state that the workers share. The task callback is a free function
// that sees only its task (the epoll and listening descriptors and the
// event), never the server object, so what the callbacks share lives here,
// once per process, as the server itself is.

ConnectionTable& connections() {
    static ConnectionTable table;
    return table;
}

SpareDescriptor& spareDescriptor() {
    static SpareDescriptor spare;
    return spare;
}

// A one-shot timer watched under the listening socket's own event word: it
// wakes the loop to accept again when a connection is still waiting but
// could not be taken (no event would come for it once the backlog is full).
int& acceptRetryTimer() {
    static int fd = -1;
    return fd;
}

// The last accept error logged, 0 after a successful accept: an error that
// repeats on every retry is logged once.
std::atomic<int>& lastAcceptError() {
    static std::atomic<int> err{0};
    return err;
}

// ---------------------------------------------------------------------------

uint64_t eventWord(uint32_t generation, int fd) {
    return (static_cast<uint64_t>(generation) << 32) | static_cast<uint32_t>(fd);
}

int eventFd(uint64_t word) { return static_cast<int>(static_cast<uint32_t>(word)); }

uint32_t eventGeneration(uint64_t word) { return static_cast<uint32_t>(word >> 32); }

void flushLine(const char* line) {
    printf("%s\n", line);
    fflush(stdout);
}

void setNonblockingOrDie(int fd) {
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) perr_exit("fcntl error");
}

// ---------------------------------------------------------------------------
// Descriptor exhaustion and accept errors.

// Caller holds spare.lock.
void reopenSpare(SpareDescriptor& spare) {
    if (spare.fd < 0) spare.fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void watchAcceptRetryTimer(int epollFd, int listenFd) {
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (fd < 0) {
        perror("timerfd_create error");
        return;
    }
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = static_cast<uint32_t>(listenFd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        perror("epoll_ctl error");
        close(fd);
        return;
    }
    acceptRetryTimer() = fd;
}

void retryAcceptLater() {
    struct itimerspec when;
    memset(&when, 0, sizeof when);
    when.it_value.tv_nsec = kAcceptRetryNanos;
    if (acceptRetryTimer() >= 0 && timerfd_settime(acceptRetryTimer(), 0, &when, nullptr) < 0)
        perror("timerfd_settime error");
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
    if (shed >= 0) return ShedOutcome::Shed;
    return err == EAGAIN || err == EWOULDBLOCK ? ShedOutcome::NothingPending : ShedOutcome::Failed;
}

void logAcceptError(int err) {
    if (lastAcceptError().exchange(err) == err) return;
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

// ---------------------------------------------------------------------------
// Accept path.

void logPeer(const struct sockaddr_in& peer) {
    char ip[16];
    memset(ip, 0, sizeof ip);
    inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    printf("client connect,ip:%s port:%d\n", ip, ntohs(peer.sin_port));
}

// A connection that cannot be watched would never be read or closed.
void watchClient(int epollFd, int fd) {
    Connection* conn = connections().slot(fd);
    if (conn == nullptr) {
        flushLine("add event to epoll failed");
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> guard(conn->lock);
    conn->generation++;
    conn->busy = false;
    conn->pending = false;
    conn->replyFailed = false;
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = eventWord(conn->generation, fd);
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) < 0) {
        flushLine("add event to epoll failed");
        close(fd);
        conn->open = false;
        return;
    }
    conn->open = true;
}

// The listening socket is edge-triggered: take every pending connection now,
// since no new edge comes for those already waiting.
void acceptClients(int listenFd, int epollFd) {
    SpareDescriptor& spare = spareDescriptor();
    std::lock_guard<std::mutex> guard(spare.lock);
    // Also after a shed whose reopen lost the freed descriptor to a file
    // that a request opened meanwhile.
    reopenSpare(spare);
    for (;;) {
        struct sockaddr_in peer;
        socklen_t peerLen = sizeof peer;
        int fd = AcceptNonblock(listenFd, reinterpret_cast<struct sockaddr*>(&peer), &peerLen);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            if (acceptFailed(listenFd, errno, spare)) return;
            continue;
        }
        lastAcceptError() = 0;
        logPeer(peer);
        watchClient(epollFd, fd);
        flushLine("finish add conect");
    }
}

// ---------------------------------------------------------------------------
// Read path.

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

    int len = static_cast<int>(n);
    len = SecretKeyUnion::getSingleTon()->rsaDecode(request, plain, len);
    printf("decode buf mes:%s  size:%d\n", reinterpret_cast<char*>(plain), len);
    printf("receive message from fd = [%d]  mes:%s  len:%ld\n", fd, reinterpret_cast<char*>(plain),
           static_cast<long>(strlen(reinterpret_cast<char*>(plain))));
    processMes(plain, len, fd);
    flushLine("finish communicate");
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

// Releases the connection, closing it if asked. True when another event
// arrived meanwhile and the caller must read again.
bool releaseConnection(Connection* conn, int epollFd, int fd, ReadOutcome outcome) {
    std::lock_guard<std::mutex> guard(conn->lock);
    if (outcome == ReadOutcome::Close) {
        epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        conn->open = false;
        conn->busy = false;
        conn->pending = false;
        return false;
    }
    if (conn->pending) {
        conn->pending = false;
        return true;
    }
    conn->busy = false;
    return false;
}

void serveClient(int epollFd, uint64_t word) {
    int fd = eventFd(word);
    Connection* conn = connections().slot(fd);
    if (conn == nullptr || !claimConnection(conn, eventGeneration(word))) return;
    ReadOutcome outcome;
    do {
        outcome = serveOneRequest(conn, fd);
    } while (releaseConnection(conn, epollFd, fd, outcome));
}

// ---------------------------------------------------------------------------
// Registration exchange.

// The exchange's log lines are flushed together here, before the reply: a
// client that holds its reply finds the whole exchange in the log, and the
// request costs one write to the log instead of one for every line.
// A reply that cannot go out whole (a peer that stopped reading, or one that
// is gone) ends the connection: the task serving it closes it afterwards.
void sendReply(int fd, const char* text) {
    fflush(stdout);
    char reply[kReplySize];
    memset(reply, 0, sizeof reply);
    memcpy(reply, text, strlen(text));
    if (Write(fd, reply, sizeof reply) == static_cast<ssize_t>(sizeof reply)) return;
    Connection* conn = connections().slot(fd);
    if (conn != nullptr) conn->replyFailed = true;
}

nlohmann::json parseRequest(const std::string& text) {
    nlohmann::json request;
    try {
        request = parseJsonText(text.c_str());
    } catch (const nlohmann::json::parse_error& e) {
        std::cerr << "parse error " << e.what() << std::endl;
    }
    std::cout << "json unserilaze finish\n";
    return request;
}

// False unless the request is an object with string members "userid" and "key".
bool readRequest(const nlohmann::json& request, std::string& userid, std::string& key) {
    if (!request.is_object()) return false;
    auto useridMember = request.find("userid");
    auto keyMember = request.find("key");
    if (useridMember == request.end() || keyMember == request.end()) return false;
    if (!useridMember->is_string() || !keyMember->is_string()) return false;
    userid = useridMember->get<std::string>();
    key = keyMember->get<std::string>();
    return true;
}

shareMemoryItem makeRecord(const std::string& userid, const std::string& key) {
    shareMemoryItem item(-1);
    item.id = 0;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    return item;
}

// True when the pair was stored. Both texts must keep a NUL in their fields.
bool storeKey(const std::string& userid, const std::string& key) {
    if (key.size() > static_cast<size_t>(kMaxKeyBytes) || userid.size() >= sizeof(shareMemoryItem::userid)) return false;
    shareMemoryItem item = makeRecord(userid, key);
    return shareMemoryHandle::getSingleTon()->addItem(item) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------

TcpServer::TcpServer(int workers) : listenFd(-1), epollFd(-1), pool(workers, kQueueBound) {
    listenFd = Socket(AF_INET, SOCK_STREAM, 0);
    int opt = 1;
    setsockopt(listenFd, SOL_SOCKET, SO_REUSEADDR, &opt, sizeof opt);
    setNonblockingOrDie(listenFd);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(kServerPort);
    Bind(listenFd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
    Listen(listenFd, kBacklog);

    epollFd = epoll_create(kMaxEvents);
    struct epoll_event ev;
    ev.events = EPOLLIN | EPOLLET;
    ev.data.u64 = static_cast<uint32_t>(listenFd);
    epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev);
    watchAcceptRetryTimer(epollFd, listenFd);
}

// The pool's own destructor stops the workers and waits for them to leave.
TcpServer::~TcpServer() = default;

void TcpServer::start() {
    struct epoll_event events[kMaxEvents];
    int32_t taskCount = 0;
    Task task;
    memset(&task, 0, sizeof task);
    flushLine("Server start!");
    for (;;) {
        int n = epoll_wait(epollFd, events, kMaxEvents, -1);
        if (n <= 0) {
            if (errno == EINTR) continue;
            break;
        }
        printf("receive n:%d\n", n);
        fflush(stdout);
        for (int i = 0; i < n; i++) {
            task.taskId = taskCount;
            task.epollFd = epollFd;
            task.listenFd = listenFd;
            task.event = events[i];
            task.callback = processRequest;
            pool.addTask(task);
            taskCount = static_cast<int32_t>(static_cast<uint32_t>(taskCount) + 1u);
        }
    }
    close(listenFd);
}

bool TcpServer::ifContainId(std::string userid) {
    std::cout << userid << '\n';
    for (const std::string& legal : legalIdList) {
        if (legal == userid) return true;
    }
    return false;
}

void processRequest(void* arg) {
    const Task* task = static_cast<const Task*>(arg);
    printf("thread %ld is runing\n", static_cast<long>(pthread_self()));
    uint64_t word = task->event.data.u64;
    if (eventFd(word) == task->listenFd) {
        acceptClients(task->listenFd, task->epollFd);
    } else {
        serveClient(task->epollFd, word);
    }
}

// Every request that is not a valid registration of an allowed user gets the
// same failure reply, whatever went wrong: a client learns nothing about
// padding or parsing from it.
void processMes(unsigned char* mes, int len, int fd) {
    std::string text;
    if (len > 0) text.assign(reinterpret_cast<const char*>(mes), static_cast<size_t>(len));
    std::cout << "mes:" << text << '\n';
    nlohmann::json request = parseRequest(text);

    std::string userid;
    std::string key;
    if (!readRequest(request, userid, key)) {
        sendReply(fd, kReplyFailed);
        return;
    }
    std::cout << "userid:" << userid << '\n';
    if (!TcpServer::ifContainId(userid) || !storeKey(userid, key)) {
        sendReply(fd, kReplyFailed);
        return;
    }
    sendReply(fd, kReplyOk);
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

#ifndef KEYREG_NO_MAIN
#include <CLI/CLI.hpp>

namespace {

const int kMaxWorkers = 256;
const int kExitUsage = 2;

// "auto" asks for one worker per online CPU, so that the RSA work can use
// every core of a larger machine.
int workerCount(const std::string& text) {
    if (text == "auto") {
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        return cpus < 1 ? kDefaultWorkers : static_cast<int>(std::min<long>(cpus, kMaxWorkers));
    }
    return std::stoi(text);
}

// The worker count from the command line; ends the process after --help,
// --version (status 0) or a usage error (status 2).
int parseCommandLineOrExit(int argc, char** argv) {
    CLI::App app{"Registers secret keys for user ids: each request on TCP port " + std::to_string(kServerPort) +
                     " is one RSA block (PKCS #1 v1.5) holding {\"userid\":..,\"key\":..}, decrypted with "
                     "private.pem from the working directory; allowed pairs go to the System V shared-memory "
                     "table with IPC key " + std::to_string(kTableIpcKey) + ".",
                 "keyreg-server"};
    app.set_version_flag("--version", std::string("keyreg-server ") + KEYREG_VERSION);
    std::string workers = std::to_string(kDefaultWorkers);
    app.add_option("--workers", workers, "worker threads: 1 to " + std::to_string(kMaxWorkers) +
                                             ", or auto for one per online CPU")
        ->type_name("N|auto")
        ->capture_default_str()
        ->check((CLI::Range(1, kMaxWorkers) | CLI::IsMember({"auto"})).description(""));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        exit(app.exit(e) == 0 ? 0 : kExitUsage);
    }
    return workerCount(workers);
}

}  // namespace

int main(int argc, char** argv) {
    int workers = parseCommandLineOrExit(argc, argv);
    // A client that goes away before its reply must not end the server.
    signal(SIGPIPE, SIG_IGN);
    TcpServer server(workers);
    server.start();
    return 0;
}
#endif
