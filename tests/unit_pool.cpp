// The worker pool: order, the queue bound, the task copy a callback sees, and
// stopping and destroying a pool with busy and idle workers. Callbacks that
// must stay busy wait on a gate the test opens; every wait has a time-out.
#include "mythreadpool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using std::chrono::milliseconds;

// What the callbacks saw, shared with the test under one lock.
struct Board {
    std::mutex lock;
    std::condition_variable changed;
    bool gateOpen = false;
    int passes = 0;  // callbacks the closed gate still lets through
    int busy = 0;    // callbacks waiting at the gate
    std::vector<int> ranIds;
    std::vector<Task> copies;
    std::vector<void*> received;

    void reset() {
        std::lock_guard<std::mutex> guard(lock);
        gateOpen = false;
        passes = 0;
        busy = 0;
        ranIds.clear();
        copies.clear();
        received.clear();
    }
    void openGate() {
        std::lock_guard<std::mutex> guard(lock);
        gateOpen = true;
        changed.notify_all();
    }
    void letOneThrough() {
        std::lock_guard<std::mutex> guard(lock);
        passes++;
        changed.notify_all();
    }
    bool waitFor(std::function<bool()> done, int ms = 5000) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, milliseconds(ms), done);
    }
};
Board board;

void record(void* arg) {
    Task* task = static_cast<Task*>(arg);
    std::lock_guard<std::mutex> guard(board.lock);
    board.ranIds.push_back(task->taskId);
    board.copies.push_back(*task);
    board.received.push_back(arg);
    board.changed.notify_all();
}

// Stays busy until the gate opens (or five seconds pass), then records.
void waitAtGate(void* arg) {
    {
        std::unique_lock<std::mutex> guard(board.lock);
        board.busy++;
        board.changed.notify_all();
        board.changed.wait_for(guard, milliseconds(5000), [] { return board.gateOpen || board.passes > 0; });
        if (!board.gateOpen && board.passes > 0) board.passes--;
        board.busy--;
    }
    record(arg);
}

std::atomic<int> quickRuns{0};
void quickWork(void*) {
    quickRuns++;
    if (quickRuns % 7 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
}

Task makeTask(int id, void (*callback)(void*)) {
    Task task;
    memset(&task, 0, sizeof task);
    task.taskId = id;
    task.epollFd = 1000 + id;
    task.listenFd = 2000 + id;
    task.event.events = EPOLLIN | EPOLLET;
    task.event.data.u64 = 0x1122334400000000ull + static_cast<unsigned>(id);
    task.arg = reinterpret_cast<void*>(0xdead);
    task.callback = callback;
    return task;
}

// Runs fn on a thread of its own; false when it is still running after ms.
// A call that hangs is abandoned, so fn must not refer to the caller's stack.
bool finishesWithin(int ms, std::function<void()> fn) {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    std::thread([fn, done] {
        fn();
        done->set_value();
    }).detach();
    return finished.wait_for(milliseconds(ms)) == std::future_status::ready;
}

// Destroys the pool on another thread; false when that hangs, in which case
// the pool is left alive for whatever still uses it.
bool destroyedWithin(std::unique_ptr<ThreadPool>& pool, int ms = 5000) {
    ThreadPool* raw = pool.release();
    return finishesWithin(ms, [raw] { delete raw; });
}

// A producer on a thread of its own; the flag tells when addTask returned.
std::shared_ptr<std::atomic<bool>> addInBackground(ThreadPool* pool, int id) {
    auto returned = std::make_shared<std::atomic<bool>>(false);
    std::thread([pool, id, returned] {
        Task task = makeTask(id, record);
        pool->addTask(task);
        *returned = true;
        std::lock_guard<std::mutex> guard(board.lock);
        board.changed.notify_all();
    }).detach();
    return returned;
}

int threadCount() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

// The thread count once threads left over from earlier tests have gone.
int settledThreadCount() {
    int last = threadCount();
    for (int i = 0; i < 100; i++) {
        std::this_thread::sleep_for(milliseconds(20));
        int now = threadCount();
        if (now == last) return now;
        last = now;
    }
    return last;
}

bool threadCountBecomes(int n, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 5) {
        if (threadCount() == n) return true;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return false;
}

// Queues a gated task and waits until a worker holds it.
void occupyWorker(ThreadPool& pool, int id) {
    int before;
    {
        std::lock_guard<std::mutex> guard(board.lock);
        before = board.busy;
    }
    Task task = makeTask(id, waitAtGate);
    pool.addTask(task);
    ASSERT_TRUE(board.waitFor([&] { return board.busy == before + 1; }));
}

class Pool : public ::testing::Test {
protected:
    void SetUp() override { board.reset(); }
    void TearDown() override { board.openGate(); }
};

TEST_F(Pool, TakesTasksInQueueOrder) {
    auto pool = std::make_unique<ThreadPool>(1, 10);
    occupyWorker(*pool, 0);
    for (int id = 1; id <= 9; id++) {
        Task task = makeTask(id, record);
        pool->addTask(task);
    }
    board.openGate();
    EXPECT_TRUE(board.waitFor([] { return board.ranIds.size() == 10; }));
    EXPECT_TRUE(destroyedWithin(pool));
    std::vector<int> expected{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::lock_guard<std::mutex> guard(board.lock);
    EXPECT_EQ(board.ranIds, expected);
}

TEST_F(Pool, ProducerBlocksAtTheBoundUntilAWorkerTakesATask) {
    testing::internal::CaptureStdout();
    auto pool = std::make_unique<ThreadPool>(2, 10);
    occupyWorker(*pool, 100);
    occupyWorker(*pool, 101);
    for (int id = 0; id < 10; id++) {
        Task task = makeTask(id, waitAtGate);
        pool->addTask(task);
    }
    auto added = addInBackground(pool.get(), 10);
    std::this_thread::sleep_for(milliseconds(150));
    bool blocked = !*added;
    // One worker finishes and takes exactly one task, which holds it again.
    board.letOneThrough();
    bool producerDone = board.waitFor([&] { return added->load(); });
    board.openGate();
    bool allRan = board.waitFor([] { return board.ranIds.size() == 13; });
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

TEST_F(Pool, CallbackGetsItsOwnCopyOfTheTask) {
    auto pool = std::make_unique<ThreadPool>(1, 10);
    occupyWorker(*pool, 0);
    Task producerRecord = makeTask(7, record);
    pool->addTask(producerRecord);
    producerRecord = makeTask(8, record);  // refilled at once, as the server does
    pool->addTask(producerRecord);
    producerRecord = makeTask(99, waitAtGate);
    board.openGate();
    EXPECT_TRUE(board.waitFor([] { return board.copies.size() == 3; }));
    EXPECT_TRUE(destroyedWithin(pool));
    std::lock_guard<std::mutex> guard(board.lock);
    ASSERT_EQ(board.copies.size(), 3u);
    for (size_t i = 1; i < 3; i++) {
        Task expected = makeTask(static_cast<int>(6 + i), record);
        const Task& seen = board.copies[i];
        EXPECT_EQ(seen.taskId, expected.taskId);
        EXPECT_EQ(seen.epollFd, expected.epollFd);
        EXPECT_EQ(seen.listenFd, expected.listenFd);
        EXPECT_EQ(seen.event.events, expected.event.events);
        EXPECT_EQ(seen.event.data.u64, expected.event.data.u64);
        EXPECT_EQ(seen.callback, expected.callback);
        EXPECT_EQ(seen.arg, board.received[i]);
        EXPECT_NE(board.received[i], static_cast<void*>(&producerRecord));
    }
}

TEST_F(Pool, StartsItsWorkersAndStopsIdleOnes) {
    // ThreadSanitizer starts a thread of its own with the first thread made:
    // have that happen before the count is taken.
    std::thread([] {}).join();
    int baseline = settledThreadCount();
    auto pool = std::make_unique<ThreadPool>(3, 10);
    EXPECT_TRUE(threadCountBecomes(baseline + 3));
    pool->destroyPool();
    EXPECT_TRUE(threadCountBecomes(baseline)) << "idle workers did not end";
    EXPECT_TRUE(destroyedWithin(pool));
}

TEST_F(Pool, StopLeavesQueuedTasksUnrun) {
    auto pool = std::make_unique<ThreadPool>(1, 10);
    occupyWorker(*pool, 0);
    for (int id = 1; id <= 3; id++) {
        Task task = makeTask(id, record);
        pool->addTask(task);
    }
    pool->destroyPool();
    board.openGate();
    ASSERT_TRUE(destroyedWithin(pool));
    std::this_thread::sleep_for(milliseconds(50));
    std::lock_guard<std::mutex> guard(board.lock);
    EXPECT_EQ(board.ranIds, std::vector<int>{0});
}

TEST_F(Pool, AddTaskAfterStopQueuesNothing) {
    auto pool = std::make_unique<ThreadPool>(1, 1);
    pool->destroyPool();
    std::vector<std::shared_ptr<std::atomic<bool>>> producers;
    for (int id = 0; id < 3; id++) producers.push_back(addInBackground(pool.get(), id));
    bool allReturned = board.waitFor([&] {
        for (auto& returned : producers)
            if (!*returned) return false;
        return true;
    });
    if (!allReturned) {
        pool.release();
        FAIL() << "addTask blocked on a stopped pool";
    }
    {
        std::lock_guard<std::mutex> guard(pool->queueMutex);
        EXPECT_TRUE(pool->getTasks().empty());
    }
    std::this_thread::sleep_for(milliseconds(50));
    {
        std::lock_guard<std::mutex> guard(board.lock);
        EXPECT_TRUE(board.ranIds.empty());
    }
    EXPECT_TRUE(destroyedWithin(pool));
}

TEST_F(Pool, StopWakesAProducerBlockedAtTheBound) {
    auto pool = std::make_unique<ThreadPool>(1, 1);
    occupyWorker(*pool, 0);
    Task queued = makeTask(1, record);
    pool->addTask(queued);
    auto returned = addInBackground(pool.get(), 2);
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_FALSE(*returned);
    pool->destroyPool();
    bool woken = board.waitFor([&] { return returned->load(); });
    board.openGate();
    if (!woken) {
        pool.release();
        FAIL() << "destroyPool left the producer blocked";
    }
    EXPECT_TRUE(destroyedWithin(pool));
}

// Many short-lived pools, destroyed with workers busy, idle, or already
// stopped; run under the sanitizers this shows a worker touching a pool that
// is gone.
TEST_F(Pool, RepeatedConstructAndDestroyNeitherHangsNorOutlivesThePool) {
    quickRuns = 0;
    bool allEnded = finishesWithin(25000, [] {
        for (int round = 0; round < 300; round++) {
            // On the heap, so that a late worker touches freed memory.
            auto pool = std::make_unique<ThreadPool>(1 + round % 3, 4);
            int target = quickRuns + round % 6;
            for (int i = 0; i < round % 6; i++) {
                Task task = makeTask(i, quickWork);
                pool->addTask(task);
            }
            if (round % 3 == 0) pool->destroyPool();  // then destroyed with a task or two still running
            if (round % 3 == 1)                       // destroyed with every worker idle
                for (int spin = 0; spin < 1000 && quickRuns < target; spin++)
                    std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    EXPECT_TRUE(allEnded);
    EXPECT_GT(quickRuns.load(), 0);
}

}  // namespace
