// The loop's own events besides sockets: the signals that stop the server
// or have it read its allow list again, through a signalfd, and the stop
// that a worker asks for after a failure the server cannot serve past. Touches the process's signal mask.
#ifndef KEYREG_SIGNALS_H
#define KEYREG_SIGNALS_H

// Blocks the server's signals in the calling thread and every thread it
// starts afterwards, so that only the loop sees them.
void blockServerSignalsOrDie();

// A signalfd for those signals, in the epoll set under its own descriptor.
int watchServerSignalsOrDie(int epollFd);

enum class ServerSignal {
    None,  // nothing was waiting
    Stop,    // SIGTERM or SIGINT, or a worker's stop
    Reload,  // SIGHUP: read the configuration again
};

// Reads what waits on fd. A stop that a worker asked for sets exitStatus.
ServerSignal takeServerSignal(int fd, int& exitStatus);

// From any thread: the loop stops as on SIGTERM, and the process then exits
// with status, once what was read is answered. The caller has said why.
void stopServerWithStatus(int status);

#endif
