// A fixed set of worker threads fed from one bounded FIFO queue of tasks.
#ifndef KEYREG_MYTHREADPOOL_H
#define KEYREG_MYTHREADPOOL_H

#include <sys/epoll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

struct Task {
    int32_t taskId;
    int32_t epollFd;
    int32_t listenFd;
    struct epoll_event event;
    // Set by the worker to the address of its own copy just before the call.
    void* arg;
    void (*callback)(void*);
};

// Runs on each worker thread just before it leaves the pool, for what the
// thread keeps for itself and must let go while the process still waits for
// it (the process may exit as soon as the last worker has left).
typedef void (*WorkerExitHook)();

class ThreadPool {
public:
    ThreadPool(int threadNum, int maxTaskNum, WorkerExitHook beforeWorkerEnds = nullptr);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    void addTask(Task& task);
    // Caller holds queueMutex.
    Task getTask();
    // Caller holds queueMutex.
    std::queue<Task>& getTasks();
    // Caller holds queueMutex.
    bool isalive();
    void destroyPool();

    int32_t maxTaskNum;
    int32_t threadNum;
    std::vector<std::thread*> threadList;
    std::queue<Task> taskQueue;
    bool alive;
    std::condition_variable notFullCond;
    std::condition_variable notEmptyCond;
    std::mutex queueMutex;

    // The workers are detached, so the pool counts them itself: its members
    // may only be destroyed once the last worker has left threadRun.
    int32_t runningWorkers;
    std::condition_variable workersGoneCond;
    // A task is only worth a wake-up when no worker will look at the queue
    // anyway: workers waiting on notEmptyCond (guarded by queueMutex), and
    // workers done with a task and on their way back to the queue.
    int32_t waitingWorkers;
    std::atomic<int32_t> returningWorkers;
    const WorkerExitHook beforeWorkerEnds;
};

void threadRun(void* slot, void* pool);

#endif
