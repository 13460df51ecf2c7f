// The one WorkerShared of the process. Touches nothing else.
#include "worker_shared.h"

WorkerShared& workerShared() {
    static WorkerShared shared;
    return shared;
}
