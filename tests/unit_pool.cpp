// The worker pool: its queue bound, stopping it, and the task copy a callback
// gets.
#include "harness.h"

#include <atomic>
#include <future>
#include <memory>
#include <mutex>

namespace {

// Callbacks hold their worker at a gate until the test lets them through.
std::atomic<int> passes{0}, waiting{0};
std::mutex ranLock;
std::vector<int> ranIds;

std::vector<int> ran() {
    std::lock_guard<std::mutex> guard(ranLock);
    return ranIds;
}

// The callback gets its own copy of the task, arg pointing at that copy.
void gated(void* arg) {
    Task* task = static_cast<Task*>(arg);
    EXPECT_EQ(task->arg, arg);
    EXPECT_EQ(task->epollFd, 1000 + task->taskId);
    waiting++;
    harness::waitUntil([] {
        int left = passes;
        return left > 0 && passes.compare_exchange_strong(left, left - 1);
    });
    waiting--;
    std::lock_guard<std::mutex> guard(ranLock);
    ranIds.push_back(task->taskId);
}

// One task record, refilled for every task as the server's loop does.
Task record;

void add(ThreadPool& pool, int id) {
    record = Task{};
    record.taskId = id;
    record.epollFd = 1000 + id;
    record.callback = gated;
    pool.addTask(record);
}

size_t queued(ThreadPool& pool) {
    std::lock_guard<std::mutex> guard(pool.queueMutex);
    return pool.taskQueue.size();
}

// Adds on a thread of its own; ready once the adds returned, within the time-out.
std::future<void> addInBackground(ThreadPool& pool, std::vector<int> ids) {
    auto done = std::make_shared<std::promise<void>>();
    std::thread([&pool, ids, done] {
        for (int id : ids) add(pool, id);
        done->set_value();
    }).detach();
    return done->get_future();
}

bool returns(std::future<void>& f, int ms = 10000) {
    return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

// Each test starts with its gate closed and nothing run: a process may run
// them all, one after the other.
class Pool : public ::testing::Test {
protected:
    void SetUp() override {
        passes = 0;
        waiting = 0;
        std::lock_guard<std::mutex> guard(ranLock);
        ranIds.clear();
    }
};

// Bound 3 with the one worker held: three tasks queue, and a fourth waits
// until the worker takes one.
TEST_F(Pool, ProducerWaitsAtTheBoundAndTasksRunInOrder) {
    auto pool = std::make_unique<ThreadPool>(1, 3);
    add(*pool, 0);
    ASSERT_TRUE(harness::waitUntil([] { return waiting == 1; }));
    auto producer = addInBackground(*pool, {1, 2, 3, 4});
    EXPECT_TRUE(harness::waitUntil([&] { return queued(*pool) >= 3; })) << "a producer waited below the bound";
    EXPECT_FALSE(returns(producer, 300)) << "a fourth task was queued past the bound";
    EXPECT_EQ(queued(*pool), 3u);
    passes++;
    bool released = returns(producer);
    EXPECT_TRUE(released) << "the producer stayed blocked after the worker took a task";
    passes += 1 << 20;
    EXPECT_TRUE(harness::waitUntil([] { return ran().size() == 5; }));
    EXPECT_EQ(ran(), (std::vector<int>{0, 1, 2, 3, 4}));
    if (!released) pool.release();  // the stuck producer still uses it
}

std::atomic<int> workersEnded{0};
void countWorkerEnd() { workersEnded++; }

// Stopped with one task running, one queued and a producer blocked: the
// producer returns, nothing more is queued or run, and the worker has run
// its exit hook by the time the pool is gone.
TEST_F(Pool, StoppedPoolReleasesProducersAndTakesNoMoreTasks) {
    workersEnded = 0;
    auto pool = std::make_unique<ThreadPool>(1, 1, countWorkerEnd);
    add(*pool, 0);
    ASSERT_TRUE(harness::waitUntil([] { return waiting == 1; }));
    add(*pool, 1);
    auto blocked = addInBackground(*pool, {2});
    EXPECT_FALSE(returns(blocked, 300)) << "a task was queued past the bound";
    pool->destroyPool();
    auto late = addInBackground(*pool, {3});
    bool released = returns(blocked) && returns(late);
    EXPECT_TRUE(released) << "a producer stayed blocked on a stopped pool";
    EXPECT_EQ(queued(*pool), 1u) << "a stopped pool queued a task";
    passes += 1 << 20;
    if (!released) pool.release();  // the stuck producer still uses it
    pool.reset();                   // waits for the worker to leave
    EXPECT_EQ(ran(), std::vector<int>{0}) << "a stopped pool ran a task";
    EXPECT_EQ(workersEnded, 1) << "the worker's exit hook";
}

}  // namespace
