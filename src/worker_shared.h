// The state that the workers share across tasks. Touches nothing itself.
#ifndef KEYREG_WORKER_SHARED_H
#define KEYREG_WORKER_SHARED_H

#include "accept_path.h"
#include "connections.h"

#include <atomic>

// A task sees only its Task record (descriptors and event), never the server
// object, so what the tasks share lives here, once per process, as the server
// itself is. Owner: the process. It is made on first use (the server's
// constructor, before any worker runs a task) and lives until the process
// exits; every worker has left the pool by then, since the server's
// destructor waits for them.
struct WorkerShared {
    ConnectionTable connections;
    SpareDescriptor spare;
    // The accept retry timer; -1 when it could not be made.
    int acceptRetryTimer = -1;
    // The last accept error logged, 0 after a successful accept.
    std::atomic<int> lastAcceptError{0};
};

WorkerShared& workerShared();

#endif
