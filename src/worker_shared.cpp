// The one WorkerShared of the process.
#include "worker_shared.h"

WorkerShared& workerShared() {
    static WorkerShared shared;
    return shared;
}
