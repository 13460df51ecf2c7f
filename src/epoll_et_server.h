// The registration server's face: the server object with its event loop, the
// task callback, the registration exchange and the daemon routine. Behind it,
// in server/: the accept path, connections and their replies, the
// registration exchange with its allow list, and the command line. The road
// of a request is drawn in the README ("How it works").
#ifndef KEYREG_EPOLL_ET_SERVER_H
#define KEYREG_EPOLL_ET_SERVER_H

#include "mythreadpool.h"
#include "protocol.h"
#include "server/listen_address.h"
#include "server/server_options.h"

#include <string>
#include <vector>

class TcpServer {
public:
    explicit TcpServer(int workers = kDefaultWorkers, const ListenAddress& where = everyIpv4Address());
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    void start();
    static bool ifContainId(std::string userid);

    int listenFd;
    int epollFd;
    ThreadPool pool;
    // SIGTERM and SIGINT, which the caller has blocked, as a descriptor in
    // the epoll set: either ends the loop, as does the server's own stop.
    int stopFd;
    // What the process exits with once the loop has ended: 0, or the status
    // of the failure that stopped it.
    int exitStatus;

    static std::vector<std::string> legalIdList;
};

// The task callback: accepts on the listening socket, serves one request on a
// client socket.
void processRequest(void* arg);

// Parses one decrypted request, stores the key of an allowed user and writes
// the 100-byte reply on fd.
void processMes(unsigned char* mes, int len, int fd);

void createDamon();

#endif
