// The shared key table on a segment of its own: every test uses a private IPC
// key, never the server's, and removes its segment afterwards.
#include "Util.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const size_t kRecordBytes = sizeof(shareMemoryItem);
const size_t kTableBytes = kTableSlots * kRecordBytes;

shareMemoryItem record(const std::string& userid, const std::string& key, int id = 0) {
    shareMemoryItem item(-1);
    item.id = id;
    item.useridLen = static_cast<int32_t>(userid.size());
    memcpy(item.userid, userid.data(), userid.size());
    item.keyLen = static_cast<int32_t>(key.size());
    memcpy(item.key, key.data(), key.size());
    return item;
}

bool sameBytes(const shareMemoryItem& a, const shareMemoryItem& b) { return memcmp(&a, &b, kRecordBytes) == 0; }

bool isPristineEmpty(const shareMemoryItem& item) {
    shareMemoryItem empty(-1);
    empty.useridLen = 0;
    empty.keyLen = 0;
    return sameBytes(item, empty);
}

std::string userName(int i) { return "user-" + std::to_string(i); }

// Waits for a forked child, at most a few seconds; its exit status, or -1.
int waitChild(pid_t pid) {
    for (int i = 0; i < 500; i++) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (r < 0) return -1;
        usleep(10000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

class KeyTable : public ::testing::Test {
protected:
    void SetUp() override { key_ = unusedKey(); }

    void TearDown() override {
        for (shareMemoryHandle* handle : handles_) shmdt(handle->items);
        for (auto& handle : owned_) handle.reset();
        int id = shmget(key_, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }

    // A key of this process that names no segment yet.
    static int unusedKey() {
        static int counter = 0;
        for (;;) {
            int key = 0x4b000000 + (static_cast<int>(getpid()) % 0x10000) * 0x100 + (counter++ % 0x100);
            if (shmget(key, 0, 0) < 0 && errno == ENOENT) return key;
        }
    }

    shareMemoryHandle& open(int count = kTableSlots) {
        owned_.push_back(std::make_unique<shareMemoryHandle>(count, key_));
        handles_.push_back(owned_.back().get());
        return *owned_.back();
    }

    // A segment made behind the table's back, as another program might.
    void* createRawSegment(size_t bytes) {
        int id = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
        EXPECT_GE(id, 0) << strerror(errno);
        void* addr = shmat(id, nullptr, 0);
        EXPECT_NE(addr, reinterpret_cast<void*>(-1)) << strerror(errno);
        return addr;
    }

    void fill(shareMemoryHandle& table, int count) {
        for (int i = 0; i < count; i++) {
            shareMemoryItem item = record(userName(i), "key-" + std::to_string(i));
            ASSERT_EQ(table.addItem(item), 0) << i;
        }
    }

    int key_ = 0;
    std::vector<std::unique_ptr<shareMemoryHandle>> owned_;
    std::vector<shareMemoryHandle*> handles_;
};

TEST_F(KeyTable, FreshTableHoldsOnlyZeroedEmptySlots) {
    shareMemoryHandle& table = open();
    ASSERT_NE(table.items, nullptr);
    for (int i = 0; i < kTableSlots; i++) EXPECT_TRUE(isPristineEmpty(table.items[i])) << "slot " << i;
}

TEST_F(KeyTable, NewSegmentHasTableSizeAndOwnerOnlyWrite) {
    open();
    struct shmid_ds info;
    ASSERT_EQ(shmctl(shmget(key_, 0, 0), IPC_STAT, &info), 0);
    EXPECT_EQ(info.shm_segsz, kTableBytes);
    EXPECT_EQ(info.shm_perm.mode & 0777, 0755u);
}

TEST_F(KeyTable, RecordsFillSlotsInOrder) {
    shareMemoryHandle& table = open();
    shareMemoryItem first = record("first", "k1");
    shareMemoryItem second = record("second", "k2");
    ASSERT_EQ(table.addItem(first), 0);
    ASSERT_EQ(table.addItem(second), 0);
    EXPECT_TRUE(sameBytes(table.items[0], first));
    EXPECT_TRUE(sameBytes(table.items[1], second));
    EXPECT_TRUE(isPristineEmpty(table.items[2]));
}

TEST_F(KeyTable, StoredUserIsReplacedInItsOwnSlotEvenWithAnEarlierGap) {
    shareMemoryHandle& table = open();
    for (int i = 0; i < 6; i++) {
        shareMemoryItem item = record(userName(i), "old", i);
        ASSERT_EQ(table.addItem(item), 0);
    }
    ASSERT_EQ(table.removeItemById(2), 0);
    shareMemoryItem replacement = record(userName(5), "new", 5);
    ASSERT_EQ(table.addItem(replacement), 0);
    EXPECT_TRUE(sameBytes(table.items[5], replacement));
    EXPECT_EQ(table.items[2].id, -1);
    EXPECT_TRUE(isPristineEmpty(table.items[6]));
}

TEST_F(KeyTable, RemovedUserIsStoredAgainInTheFirstEmptySlot) {
    shareMemoryHandle& table = open();
    for (int i = 0; i < 3; i++) {
        shareMemoryItem item = record(userName(i), "k", i);
        ASSERT_EQ(table.addItem(item), 0);
    }
    ASSERT_EQ(table.removeItemById(0), 0);
    ASSERT_EQ(table.removeItemById(2), 0);
    shareMemoryItem again = record(userName(2), "back", 7);
    ASSERT_EQ(table.addItem(again), 0);
    EXPECT_TRUE(sameBytes(table.items[0], again));
    EXPECT_EQ(table.items[2].id, -1);
}

TEST_F(KeyTable, FullTableRefusesNewUserButReplacesStoredOne) {
    shareMemoryHandle& table = open();
    fill(table, kTableSlots);
    std::vector<char> before(kTableBytes);
    memcpy(before.data(), table.items, kTableBytes);

    shareMemoryItem stranger = record("stranger", "k");
    EXPECT_EQ(table.addItem(stranger), -1);
    EXPECT_EQ(memcmp(before.data(), table.items, kTableBytes), 0);

    shareMemoryItem update = record(userName(42), "fresh");
    EXPECT_EQ(table.addItem(update), 0);
    EXPECT_TRUE(sameBytes(table.items[42], update));
    EXPECT_EQ(memcmp(before.data(), table.items, 42 * kRecordBytes), 0);
}

TEST_F(KeyTable, RemoveEmptiesFirstMatchAndKeepsItsBytes) {
    shareMemoryHandle& table = open();
    fill(table, 3);
    shareMemoryItem second = table.items[1];

    EXPECT_EQ(table.removeItemById(0), 0);
    EXPECT_EQ(table.items[0].id, -1);
    EXPECT_EQ(table.items[1].id, 0);
    EXPECT_EQ(table.removeItemById(0), 0);
    second.id = -1;
    EXPECT_TRUE(sameBytes(table.items[1], second)) << "lengths and texts stay";
    EXPECT_EQ(table.removeItemById(7), -1);
}

TEST_F(KeyTable, RemovingIdMinusOneOnlyReportsAnEmptySlot) {
    shareMemoryHandle& table = open();
    fill(table, kTableSlots - 1);
    std::vector<char> before(kTableBytes);
    memcpy(before.data(), table.items, kTableBytes);
    EXPECT_EQ(table.removeItemById(-1), 0);
    EXPECT_EQ(memcmp(before.data(), table.items, kTableBytes), 0);

    fill(table, kTableSlots);
    EXPECT_EQ(table.removeItemById(-1), -1);
}

TEST_F(KeyTable, LookupByUseridFollowsTheEmptySlotRules) {
    shareMemoryHandle& table = open();
    fill(table, 2);
    ASSERT_EQ(table.removeItemById(0), 0);

    shareMemoryItem out(-1);
    table.getItemByUserid(userName(1), out);
    EXPECT_TRUE(sameBytes(out, table.items[1]));

    shareMemoryItem removed = record("sentinel", "s", 9);
    table.getItemByUserid(userName(0), removed);
    EXPECT_EQ(removed.id, -1) << "a removed user copies out its emptied slot";
    EXPECT_EQ(std::string(removed.userid), userName(0));

    shareMemoryItem untouched = record("sentinel", "s", 9);
    shareMemoryItem expected = untouched;
    table.getItemByUserid("nobody", untouched);
    table.getItemByUserid("user-", untouched);
    table.getItemByUserid(userName(1) + "x", untouched);
    EXPECT_TRUE(sameBytes(untouched, expected));

    shareMemoryItem blank = record("sentinel", "s", 9);
    table.getItemByUserid("", blank);
    EXPECT_TRUE(isPristineEmpty(blank)) << "an empty id matches a never-used slot";
}

TEST_F(KeyTable, LookupByIdCopiesFirstMatchOnly) {
    shareMemoryHandle& table = open();
    shareMemoryItem a = record("a", "ka", 3);
    shareMemoryItem b = record("b", "kb", 3);
    ASSERT_EQ(table.addItem(a), 0);
    ASSERT_EQ(table.addItem(b), 0);

    shareMemoryItem out(-1);
    table.getItemById(3, out);
    EXPECT_TRUE(sameBytes(out, a));

    shareMemoryItem untouched = record("sentinel", "s", 9);
    shareMemoryItem expected = untouched;
    table.getItemById(4, untouched);
    EXPECT_TRUE(sameBytes(untouched, expected));
}

TEST_F(KeyTable, SecondHandleOnTheSameKeyKeepsTheRecords) {
    shareMemoryHandle& first = open();
    fill(first, 3);
    shareMemoryHandle& second = open();
    EXPECT_NE(first.items, second.items);
    for (int i = 0; i < 3; i++) {
        EXPECT_TRUE(sameBytes(second.items[i], record(userName(i), "key-" + std::to_string(i)))) << i;
    }
    EXPECT_TRUE(isPristineEmpty(second.items[3]));
}

TEST_F(KeyTable, AnotherProcessSeesTheRecordsAndDoesNotResetThem) {
    shareMemoryHandle& table = open();
    fill(table, 4);
    shareMemoryItem expected = table.items[3];
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        shareMemoryHandle other(kTableSlots, key_);
        shareMemoryItem out(-1);
        other.getItemByUserid(userName(3), out);
        shareMemoryItem added = record("from-child", "c");
        bool ok = sameBytes(out, expected) && other.addItem(added) == 0;
        _exit(ok ? 0 : 1);
    }
    ASSERT_EQ(waitChild(pid), 0);
    EXPECT_TRUE(sameBytes(table.items[3], expected));
    EXPECT_EQ(std::string(table.items[4].userid), "from-child");
}

TEST_F(KeyTable, ExistingSegmentContentsSurviveAttach) {
    shareMemoryItem* raw = static_cast<shareMemoryItem*>(createRawSegment(kTableBytes));
    shareMemoryItem planted = record("planted", "p", 5);
    memcpy(&raw[7], &planted, kRecordBytes);
    shareMemoryHandle& table = open();
    EXPECT_TRUE(sameBytes(table.items[7], planted));
    EXPECT_EQ(table.items[0].id, 0) << "a zero-filled slot of a foreign segment is not rewritten";
    shmdt(raw);
}

TEST_F(KeyTable, LargerExistingSegmentIsAccepted) {
    shareMemoryItem* raw = static_cast<shareMemoryItem*>(createRawSegment(kTableBytes + 4096));
    for (int i = 0; i < kTableSlots; i++) raw[i].id = -1;
    shareMemoryHandle& table = open();
    shareMemoryItem item = record("a", "b");
    EXPECT_EQ(table.addItem(item), 0);
    EXPECT_TRUE(sameBytes(raw[0], item));
    shmdt(raw);
}

TEST_F(KeyTable, ShorterExistingSegmentIsRefused) {
    void* raw = createRawSegment(1000);
    EXPECT_EXIT(shareMemoryHandle(kTableSlots, key_), ::testing::ExitedWithCode(255), "share memory");
    shmdt(raw);
    int id = shmget(key_, 0, 0);
    ASSERT_GE(id, 0);
    ASSERT_EQ(shmctl(id, IPC_RMID, nullptr), 0);

    raw = createRawSegment(kTableBytes - 1);
    EXPECT_EXIT(shareMemoryHandle(kTableSlots, key_), ::testing::ExitedWithCode(255), "share memory");
    std::vector<char> zeros(kTableBytes - 1, 0);
    EXPECT_EQ(memcmp(raw, zeros.data(), zeros.size()), 0) << "the refused segment was written";
    shmdt(raw);
}

TEST_F(KeyTable, ConcurrentWritersKeepOneSlotPerUser) {
    shareMemoryHandle& table = open();
    std::vector<std::thread> writers;
    for (int t = 0; t < 6; t++) {
        writers.emplace_back([&table, t] {
            for (int i = 0; i < 200; i++) {
                shareMemoryItem mine = record(userName(t * 10 + i % 10), "k" + std::to_string(i));
                shareMemoryItem common = record("everyone", "t" + std::to_string(t));
                table.addItem(mine);
                table.addItem(common);
            }
        });
    }
    for (std::thread& w : writers) w.join();
    int occupied = 0;
    int common = 0;
    for (int i = 0; i < kTableSlots; i++) {
        if (table.items[i].id == -1) continue;
        occupied++;
        if (std::string(table.items[i].userid) == "everyone") common++;
    }
    EXPECT_EQ(common, 1);
    EXPECT_EQ(occupied, 61);
}

}  // namespace
