// The worker pool: its queue, its workers and their end. Touches nothing
// outside the pool; what a task does is its callback's business.
#include "mythreadpool.h"

#include "log/log_lines.h"

#include <chrono>

ThreadPool::ThreadPool(int threadNum, int maxTaskNum, WorkerExitHook beforeWorkerEnds)
    : maxTaskNum(maxTaskNum), threadNum(threadNum), alive(true), runningWorkers(0), waitingWorkers(0),
      returningWorkers(0), beforeWorkerEnds(beforeWorkerEnds) {
    threadList.resize(static_cast<size_t>(threadNum));
    for (size_t i = 0; i < threadList.size(); i++) {
        {
            std::lock_guard<std::mutex> lock(queueMutex);
            runningWorkers++;
        }
        try {
            threadList[i] = new std::thread(threadRun, threadList[i], this);
        } catch (...) {
            // The workers already started must be gone before the members are.
            {
                std::lock_guard<std::mutex> lock(queueMutex);
                runningWorkers--;
            }
            destroyPool();
            std::unique_lock<std::mutex> lock(queueMutex);
            workersGoneCond.wait(lock, [this] { return runningWorkers == 0; });
            throw;
        }
        threadList[i]->detach();
    }
}

ThreadPool::~ThreadPool() {
    destroyPool();
    std::unique_lock<std::mutex> lock(queueMutex);
    workersGoneCond.wait(lock, [this] { return runningWorkers == 0; });
}

void ThreadPool::addTask(Task& task) {
    bool wake;
    {
        std::unique_lock<std::mutex> lock(queueMutex);
        if (!alive) return;
        logLine("add task, tasks size is %d\n", static_cast<int>(taskQueue.size()));
        while (static_cast<int32_t>(taskQueue.size()) == maxTaskNum && alive) notFullCond.wait(lock);
        // A stopped pool runs nothing, so there is no point queuing.
        if (!alive) return;
        taskQueue.push(task);
        logLine("after add task,tasks size is %d\n", static_cast<int>(taskQueue.size()));
        wake = waitingWorkers > 0 && static_cast<int32_t>(taskQueue.size()) > returningWorkers.load();
    }
    if (wake) notEmptyCond.notify_one();
}

Task ThreadPool::getTask() {
    Task task = taskQueue.front();
    taskQueue.pop();
    return task;
}

std::queue<Task>& ThreadPool::getTasks() { return taskQueue; }

bool ThreadPool::isalive() { return alive; }

void ThreadPool::destroyPool() {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        if (!alive) return;
        alive = false;
    }
    notEmptyCond.notify_all();
    // A producer blocked at the bound would otherwise wait forever.
    notFullCond.notify_all();
    for (std::thread*& thread : threadList) {
        delete thread;
        thread = nullptr;
    }
}

// Waits for a task; lines that the worker logged go out when none comes for
// a while. Caller holds pool->queueMutex.
static void waitForTask(ThreadPool* pool, std::unique_lock<std::mutex>& lock) {
    while (pool->getTasks().empty() && pool->isalive()) {
        bool pending = logPending();
        pool->waitingWorkers++;
        bool quiet = false;
        if (pending) {
            quiet = pool->notEmptyCond.wait_for(lock, std::chrono::milliseconds(kLogLagMillis)) ==
                    std::cv_status::timeout;
        } else {
            pool->notEmptyCond.wait(lock);
        }
        pool->waitingWorkers--;
        if (quiet && pool->getTasks().empty()) {
            lock.unlock();
            flushLog();
            lock.lock();
        }
    }
}

// Runs tasks until the pool stops. A worker back from a task looks at the
// queue before it waits, so the producer need not wake another for a task
// that this one takes.
static void runTasks(ThreadPool* pool) {
    for (bool returning = false;; returning = true) {
        std::unique_lock<std::mutex> lock(pool->queueMutex);
        if (returning) pool->returningWorkers--;
        waitForTask(pool, lock);
        if (!pool->isalive()) return;
        Task task = pool->getTask();
        lock.unlock();
        pool->notFullCond.notify_one();

        logLine("task id:%d\n", task.taskId);
        task.arg = &task;
        task.callback(task.arg);
        if (logOverdue()) flushLog();
        pool->returningWorkers++;
    }
}

static void leavePool(ThreadPool* pool) {
    std::lock_guard<std::mutex> lock(pool->queueMutex);
    pool->runningWorkers--;
    if (pool->runningWorkers == 0) pool->workersGoneCond.notify_all();
}

void threadRun(void* /*slot*/, void* arg) {
    ThreadPool* pool = static_cast<ThreadPool*>(arg);
    runTasks(pool);
    flushLog();
    if (pool->beforeWorkerEnds != nullptr) pool->beforeWorkerEnds();
    leavePool(pool);
}
