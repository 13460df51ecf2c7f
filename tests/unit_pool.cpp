// The worker pool: its queue bound, stopping it, and the task copy a callback
// gets. Callbacks hold their worker at a gate the test opens.
#include "harness.h"

#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>

namespace {

struct Gate {
    std::mutex lock;
    std::condition_variable changed;
    int passes = 0;   // callbacks the gate still lets through
    int waiting = 0;  // callbacks held at it
    std::vector<Task> ran;
} gate;

void letThrough(int n) {
    std::lock_guard<std::mutex> guard(gate.lock);
    gate.passes += n;
    gate.changed.notify_all();
}

bool gateHolds(int n) {
    std::unique_lock<std::mutex> guard(gate.lock);
    return gate.changed.wait_for(guard, std::chrono::seconds(10), [n] { return gate.waiting == n; });
}

std::vector<int> ranIds() {
    std::lock_guard<std::mutex> guard(gate.lock);
    std::vector<int> ids;
    for (const Task& task : gate.ran) ids.push_back(task.taskId);
    return ids;
}

// The callback gets its own copy of the task, arg pointing at that copy.
void gated(void* arg) {
    Task* task = static_cast<Task*>(arg);
    EXPECT_EQ(task->arg, arg);
    std::unique_lock<std::mutex> guard(gate.lock);
    gate.waiting++;
    gate.changed.notify_all();
    gate.changed.wait_for(guard, std::chrono::seconds(10), [] { return gate.passes > 0; });
    gate.passes--;
    gate.waiting--;
    gate.ran.push_back(*task);
    gate.changed.notify_all();
}

// One task record, refilled for every task as the server's loop does.
Task record;

void add(ThreadPool& pool, int id) {
    record = Task{};
    record.taskId = id;
    record.epollFd = 1000 + id;
    record.arg = nullptr;
    record.callback = gated;
    pool.addTask(record);
}

size_t queued(ThreadPool& pool) {
    std::lock_guard<std::mutex> guard(pool.queueMutex);
    return pool.taskQueue.size();
}

// Adds the tasks on a thread of its own, which outlives the test if it hangs.
std::shared_future<void> addInBackground(ThreadPool* pool, std::vector<int> ids) {
    auto done = std::make_shared<std::promise<void>>();
    std::thread([=] {
        for (int id : ids) add(*pool, id);
        done->set_value();
    }).detach();
    return done->get_future().share();
}

bool finished(const std::shared_future<void>& f, int ms = 10000) {
    return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::ready;
}

// A producer that stays blocked still uses the pool: on failure it is left.
void destroy(std::unique_ptr<ThreadPool>& pool, bool producersReturned) {
    letThrough(1 << 20);
    if (!producersReturned) pool.release();
}

// Bound 3, the one worker held: three tasks queue, the fourth waits until
// the worker takes one. The producer goes on within its time-out; that the
// fourth stays out meanwhile is looked at only once the first three queued.
TEST(Pool, ProducerWaitsAtTheBoundAndTasksRunInOrderOnTheirOwnCopies) {
    auto pool = std::make_unique<ThreadPool>(1, 3);
    add(*pool, 0);
    ASSERT_TRUE(gateHolds(1));
    auto producer = addInBackground(pool.get(), {1, 2, 3, 4});
    EXPECT_TRUE(harness::waitUntil([&] { return queued(*pool) == 3; })) << "a producer waited below the bound";
    EXPECT_FALSE(finished(producer, 300)) << "a fourth task was queued past the bound";
    EXPECT_EQ(queued(*pool), 3u);
    letThrough(1);
    EXPECT_TRUE(finished(producer)) << "the producer stayed blocked after the worker took a task";
    letThrough(4);
    EXPECT_TRUE(harness::waitUntil([] { return ranIds().size() == 5; }));
    EXPECT_EQ(ranIds(), (std::vector<int>{0, 1, 2, 3, 4}));
    for (const Task& task : gate.ran) EXPECT_EQ(task.epollFd, 1000 + task.taskId) << task.taskId;
    destroy(pool, finished(producer, 0));
}

// Stopped with one task running, one queued and a producer blocked: the
// producer returns, nothing more is queued, and nothing more runs.
TEST(Pool, StoppedPoolReleasesProducersAndTakesNoMoreTasks) {
    auto pool = std::make_unique<ThreadPool>(1, 1);
    add(*pool, 0);
    ASSERT_TRUE(gateHolds(1));
    add(*pool, 1);
    auto blocked = addInBackground(pool.get(), {2});
    pool->destroyPool();
    bool released = finished(blocked);
    EXPECT_TRUE(released) << "a producer stayed blocked on a stopped pool";
    auto late = addInBackground(pool.get(), {3});
    bool lateReturned = finished(late);
    EXPECT_TRUE(lateReturned);
    EXPECT_EQ(queued(*pool), 1u) << "a stopped pool queued a task";
    destroy(pool, released && lateReturned);
    pool.reset();  // waits for the worker to leave
    EXPECT_EQ(ranIds(), std::vector<int>{0}) << "a stopped pool ran a task";
}

}  // namespace
