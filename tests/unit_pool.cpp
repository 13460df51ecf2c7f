// The worker pool: order, the queue bound, the task copy a callback sees, and
// stopping and destroying a pool with busy and idle workers. Callbacks that
// must stay busy wait on a gate the test opens; every wait has a time-out.
#include "mythreadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using std::chrono::milliseconds;
void sleepMs(int ms) { std::this_thread::sleep_for(milliseconds(ms)); }

// What the callbacks saw, shared with the test under one lock.
struct Board {
    std::mutex lock;
    std::condition_variable changed;
    int passes = 0;  // callbacks the gate still lets through
    int busy = 0;    // callbacks waiting at the gate
    std::vector<Task> copies;  // each callback's task, in run order

    template <class F>
    void update(F change) {
        std::lock_guard<std::mutex> guard(lock);
        change();
        changed.notify_all();
    }
    bool waitFor(std::function<bool()> done, int ms = 5000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, milliseconds(ms), done);
    }
    std::vector<int> ranIds() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<int> ids;
        for (const Task& t : copies) ids.push_back(t.taskId);
        return ids;
    }
};
Board board;

void record(void* arg) {
    Task* task = static_cast<Task*>(arg);
    EXPECT_EQ(task->arg, arg) << "arg must point at the callback's own copy";
    board.update([task] { board.copies.push_back(*task); });
}

// Stays busy until the gate opens (or five seconds pass), then records.
void waitAtGate(void* arg) {
    {
        std::unique_lock<std::mutex> guard(board.lock);
        board.busy++;
        board.changed.notify_all();
        if (board.changed.wait_for(guard, milliseconds(5000), [] { return board.passes > 0; })) board.passes--;
        board.busy--;
    }
    record(arg);
}

std::atomic<int> quickRuns{0};
void quickWork(void*) {
    if (++quickRuns % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

Task makeTask(int id, void (*callback)(void*)) {
    Task task{};
    task.taskId = id;
    task.epollFd = 1000 + id;
    task.listenFd = 2000 + id;
    task.event.events = EPOLLIN | EPOLLET;
    task.event.data.u64 = 0x1122334400000000ull + static_cast<unsigned>(id);
    task.arg = reinterpret_cast<void*>(0xdead);
    task.callback = callback;
    return task;
}

void add(ThreadPool& pool, int id, void (*callback)(void*) = record) {
    Task task = makeTask(id, callback);
    pool.addTask(task);
}

// Runs fn on a detached thread; the future is ready once fn has returned. A
// call that hangs is abandoned, so fn must not refer to the caller's stack.
std::shared_future<void> inBackground(std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::shared_future<void> finished = done->get_future().share();
    std::thread([fn, done] {
        fn();
        done->set_value();
    }).detach();
    return finished;
}

bool ready(const std::shared_future<void>& f, int ms = 5000) {
    return f.wait_for(milliseconds(ms)) == std::future_status::ready;
}

// Deletes the pool on another thread; false when that hangs, in which case
// the pool is left alive for whatever still uses it.
bool destroyedWithin(std::unique_ptr<ThreadPool>& pool) {
    ThreadPool* raw = pool.release();
    return ready(inBackground([raw] { delete raw; }));
}

int threadCount() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

bool threadCountBecomes(int n) {
    for (int waited = 0; waited < 5000 && threadCount() != n; waited += 5) sleepMs(5);
    return threadCount() == n;
}

// Queues a gated task and waits until a worker holds it.
void occupyWorker(ThreadPool& pool, int id) {
    int before;
    board.update([&] { before = board.busy; });
    add(pool, id, waitAtGate);
    ASSERT_TRUE(board.waitFor([&] { return board.busy == before + 1; }));
}

class Pool : public ::testing::Test {
protected:
    void SetUp() override {
        board.update([] {
            board.passes = board.busy = 0;
            board.copies.clear();
        });
    }
    void TearDown() override { openGate(); }
    static void openGate() { board.update([] { board.passes = 1 << 30; }); }
};

TEST_F(Pool, ProducerBlocksAtTheBoundUntilAWorkerTakesATask) {
    testing::internal::CaptureStdout();
    auto pool = std::make_unique<ThreadPool>(2, 10);
    occupyWorker(*pool, 100);
    occupyWorker(*pool, 101);
    for (int id = 0; id < 10; id++) add(*pool, id, waitAtGate);
    ThreadPool* raw = pool.get();
    auto added = inBackground([raw] { add(*raw, 10); });
    sleepMs(150);
    bool blocked = !ready(added, 0);
    // One worker finishes and takes exactly one task, which holds it again.
    board.update([] { board.passes++; });
    bool producerDone = ready(added);
    openGate();
    bool allRan = board.waitFor([] { return board.copies.size() == 13; });
    std::string log = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(blocked) << "an 11th task was queued past the bound";
    EXPECT_TRUE(allRan);
    if (!producerDone) {
        pool.release();  // the stuck producer still uses it
        FAIL() << "the producer stayed blocked after workers took tasks";
    }
    EXPECT_EQ(log.rfind("add task, tasks size is 0\nafter add task,tasks size is 1\n", 0), 0u) << log;
    EXPECT_NE(log.find("task id:100\n"), std::string::npos);
    size_t atBound = log.find("add task, tasks size is 10\n");
    ASSERT_NE(atBound, std::string::npos) << log;
    EXPECT_NE(log.find("after add task,tasks size is 10\n", atBound), std::string::npos) << log;
    EXPECT_TRUE(destroyedWithin(pool));
}

// One record reused for every task, refilled at once as the server does.
TEST_F(Pool, RunsTasksInQueueOrderEachOnItsOwnCopy) {
    auto pool = std::make_unique<ThreadPool>(1, 10);
    occupyWorker(*pool, 0);
    Task producerRecord;
    for (int id = 1; id <= 9; id++) {
        producerRecord = makeTask(id, record);
        pool->addTask(producerRecord);
    }
    producerRecord = makeTask(99, waitAtGate);
    openGate();
    EXPECT_TRUE(board.waitFor([] { return board.copies.size() == 10; }));
    EXPECT_TRUE(destroyedWithin(pool));
    EXPECT_EQ(board.ranIds(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    auto fields = [](const Task& t) {
        return std::make_tuple(t.taskId, t.epollFd, t.listenFd, t.event.events, t.event.data.u64, t.callback);
    };
    std::lock_guard<std::mutex> guard(board.lock);
    for (size_t i = 1; i < board.copies.size(); i++)
        EXPECT_EQ(fields(board.copies[i]), fields(makeTask(static_cast<int>(i), record)));
}

TEST_F(Pool, StopEndsIdleWorkers) {
    // ThreadSanitizer starts a thread of its own with the first thread made:
    // have that happen before the count is taken.
    std::thread([] {}).join();
    int baseline = -1;
    for (int i = 0; i < 100 && threadCount() != baseline; i++) {  // until other tests' leftovers end
        baseline = threadCount();
        sleepMs(20);
    }
    auto pool = std::make_unique<ThreadPool>(3, 10);
    EXPECT_TRUE(threadCountBecomes(baseline + 3));
    pool->destroyPool();
    EXPECT_TRUE(threadCountBecomes(baseline)) << "idle workers did not end";
    EXPECT_TRUE(destroyedWithin(pool));
}

TEST_F(Pool, StopWakesABlockedProducerLeavesQueuedTasksUnrunAndRefusesNewOnes) {
    auto pool = std::make_unique<ThreadPool>(1, 1);
    occupyWorker(*pool, 0);
    add(*pool, 1);
    ThreadPool* raw = pool.get();
    auto blocked = inBackground([raw] { add(*raw, 2); });
    EXPECT_FALSE(ready(blocked, 100));
    pool->destroyPool();
    bool woken = ready(blocked);
    bool addsReturn = ready(inBackground([raw] { for (int id = 3; id < 6; id++) add(*raw, id); }));
    openGate();
    if (!woken || !addsReturn) {
        pool.release();  // a stuck producer still uses it
        FAIL() << "addTask blocked on a stopped pool";
    }
    {
        std::lock_guard<std::mutex> guard(pool->queueMutex);
        EXPECT_EQ(pool->getTasks().size(), 1u) << "only task 1, queued before the stop";
    }
    ASSERT_TRUE(destroyedWithin(pool));  // no callback runs after this
    EXPECT_EQ(board.ranIds(), std::vector<int>{0});
}

// Many short-lived pools, destroyed with workers busy, idle, or already
// stopped; under the sanitizers this shows a worker touching a freed pool.
TEST_F(Pool, RepeatedConstructAndDestroyNeitherHangsNorOutlivesThePool) {
    quickRuns = 0;
    bool allEnded = ready(inBackground([] {
        for (int round = 0; round < 300; round++) {
            auto pool = std::make_unique<ThreadPool>(1 + round % 3, 4);
            int target = quickRuns + round % 6;
            for (int i = 0; i < round % 6; i++) add(*pool, i, quickWork);
            if (round % 3 == 0) pool->destroyPool();  // then destroyed with a task or two still running
            if (round % 3 == 1)                       // destroyed with every worker idle
                for (int spin = 0; spin < 1000 && quickRuns < target; spin++)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }), 25000);
    EXPECT_TRUE(allEnded);
    EXPECT_GT(quickRuns.load(), 0);
}

}  // namespace
