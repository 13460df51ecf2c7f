// The registration server: listening socket, epoll event loop, connection
// handling and the registration exchange.
#ifndef KEYREG_EPOLL_ET_SERVER_H
#define KEYREG_EPOLL_ET_SERVER_H

#include "mythreadpool.h"

#include <string>
#include <vector>

const int kServerPort = 8800;
const int kReplySize = 100;
const int kMaxKeyBytes = 99;
const int kDefaultWorkers = 3;

class TcpServer {
public:
    explicit TcpServer(int workers = kDefaultWorkers);
    ~TcpServer();
    TcpServer(const TcpServer&) = delete;
    TcpServer& operator=(const TcpServer&) = delete;

    void start();
    static bool ifContainId(std::string userid);

    int listenFd;
    int epollFd;
    ThreadPool pool;

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
