// The shared key table on a segment of its own: every test uses a private IPC
// key, never the server's, and removes its segment afterwards.
#include "Util.h"
#include "harness.h"

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const size_t kRecordBytes = sizeof(shareMemoryItem);
const size_t kTableBytes = kTableSlots * kRecordBytes;

using harness::record;

bool sameBytes(const shareMemoryItem& a, const shareMemoryItem& b) { return memcmp(&a, &b, kRecordBytes) == 0; }
bool isPristineEmpty(const shareMemoryItem& item) { return sameBytes(item, record("", "", -1)); }
std::string userName(int i) { return "user-" + std::to_string(i); }
int add(shareMemoryHandle& table, shareMemoryItem item) { return table.addItem(item); }

std::vector<char> bytesOf(const shareMemoryHandle& table) {
    const char* p = reinterpret_cast<const char*>(table.items);
    return std::vector<char>(p, p + kTableBytes);
}

class KeyTable : public ::testing::Test {
protected:
    void SetUp() override {
        // A key of this process that names no segment yet.
        static int counter = 0;
        do {
            key_ = 0x4b000000 + (static_cast<int>(getpid()) % 0x10000) * 0x100 + (counter++ % 0x100);
        } while (shmget(key_, 0, 0) >= 0 || errno != ENOENT);
    }

    void TearDown() override {
        if (table_) shmdt(table_->items);
        for (void* raw : raw_) shmdt(raw);
        int id = shmget(key_, 0, 0);
        if (id >= 0) shmctl(id, IPC_RMID, nullptr);
    }

    shareMemoryHandle& table() {
        if (!table_) table_.reset(new shareMemoryHandle(kTableSlots, key_));
        return *table_;
    }

    // A segment made behind the table's back, as another program might.
    shareMemoryItem* createRawSegment(size_t bytes) {
        int id = shmget(key_, bytes, IPC_CREAT | IPC_EXCL | 0600);
        EXPECT_GE(id, 0) << strerror(errno);
        raw_.push_back(shmat(id, nullptr, 0));
        EXPECT_NE(raw_.back(), reinterpret_cast<void*>(-1)) << strerror(errno);
        return static_cast<shareMemoryItem*>(raw_.back());
    }

    // Users 0 .. count-1 with the given id, or their own number for id -1.
    void fill(int count, int id = 0) {
        for (int i = 0; i < count; i++) {
            ASSERT_EQ(add(table(), record(userName(i), "key-" + std::to_string(i), id < 0 ? i : id)), 0) << i;
        }
    }

    int key_ = 0;
    std::unique_ptr<shareMemoryHandle> table_;
    std::vector<void*> raw_;
};

TEST_F(KeyTable, RecordsFillZeroedSlotsInOrder) {
    fill(2);
    EXPECT_TRUE(sameBytes(table().items[0], record(userName(0), "key-0")));
    EXPECT_TRUE(sameBytes(table().items[1], record(userName(1), "key-1")));
    for (int i = 2; i < kTableSlots; i++) EXPECT_TRUE(isPristineEmpty(table().items[i])) << "slot " << i;
}

// A stored user is matched by id text even when an empty slot comes first; a
// removed one is no longer matched and goes to the first empty slot.
TEST_F(KeyTable, StoredUserIsReplacedInPlaceAndRemovedOneTakesFirstEmptySlot) {
    fill(6, -1);
    ASSERT_EQ(table().removeItemById(2), 0);
    ASSERT_EQ(add(table(), record(userName(5), "new", 5)), 0);
    EXPECT_TRUE(sameBytes(table().items[5], record(userName(5), "new", 5)));
    EXPECT_EQ(table().items[2].id, -1);
    EXPECT_TRUE(isPristineEmpty(table().items[6]));

    ASSERT_EQ(table().removeItemById(4), 0);
    ASSERT_EQ(add(table(), record(userName(4), "back", 7)), 0);
    EXPECT_TRUE(sameBytes(table().items[2], record(userName(4), "back", 7)));
    EXPECT_EQ(table().items[4].id, -1);
}

TEST_F(KeyTable, FullTableRefusesNewUserButReplacesStoredOne) {
    fill(kTableSlots);
    std::vector<char> before = bytesOf(table());
    EXPECT_EQ(add(table(), record("stranger", "k")), -1);
    EXPECT_EQ(bytesOf(table()), before);
    EXPECT_EQ(add(table(), record(userName(42), "fresh")), 0);
    EXPECT_TRUE(sameBytes(table().items[42], record(userName(42), "fresh")));
    EXPECT_EQ(memcmp(before.data(), table().items, 42 * kRecordBytes), 0);
}

// Removing empties the first slot with that id and keeps the rest of its
// bytes; id -1 names an empty slot, so it succeeds only while one exists.
TEST_F(KeyTable, RemoveEmptiesFirstMatchOnly) {
    fill(3);
    shareMemoryItem second = table().items[1];
    EXPECT_EQ(table().removeItemById(0), 0);
    EXPECT_EQ(table().items[0].id, -1);
    EXPECT_EQ(table().items[1].id, 0);
    EXPECT_EQ(table().removeItemById(0), 0);
    second.id = -1;
    EXPECT_TRUE(sameBytes(table().items[1], second)) << "lengths and texts stay";
    EXPECT_EQ(table().removeItemById(7), -1);

    fill(kTableSlots - 1);
    std::vector<char> before = bytesOf(table());
    EXPECT_EQ(table().removeItemById(-1), 0);
    EXPECT_EQ(bytesOf(table()), before);
    fill(kTableSlots);
    EXPECT_EQ(table().removeItemById(-1), -1);
}

TEST_F(KeyTable, LookupsCopyFirstMatchAndFollowTheEmptySlotRules) {
    fill(3, 3);
    ASSERT_EQ(table().removeItemById(3), 0);
    const shareMemoryItem sentinel = record("sentinel", "s", 9);
    shareMemoryItem out = sentinel;
    table().getItemById(3, out);
    EXPECT_TRUE(sameBytes(out, table().items[1])) << "first match by id";
    table().getItemByUserid(userName(2), out);
    EXPECT_TRUE(sameBytes(out, table().items[2]));
    table().getItemByUserid(userName(0), out);
    EXPECT_TRUE(sameBytes(out, table().items[0])) << "a removed user copies out its emptied slot";

    out = sentinel;
    table().getItemById(4, out);
    for (const char* id : {"nobody", "user-", "user-1x"}) table().getItemByUserid(id, out);
    EXPECT_TRUE(sameBytes(out, sentinel)) << "no match leaves the output alone";
    table().getItemByUserid("", out);
    EXPECT_TRUE(isPristineEmpty(out)) << "an empty id matches a never-used slot";
}

TEST_F(KeyTable, AnotherProcessSeesTheRecordsAndDoesNotResetThem) {
    fill(4);
    shareMemoryItem expected = table().items[3];
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        alarm(10);
        shareMemoryHandle other(kTableSlots, key_);
        shareMemoryItem out(-1);
        other.getItemByUserid(userName(3), out);
        _exit(sameBytes(out, expected) && add(other, record("from-child", "c")) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(sameBytes(table().items[3], expected));
    EXPECT_TRUE(sameBytes(table().items[4], record("from-child", "c")));
}

// Even a zero-filled (id 0) slot of a foreign, larger segment is not rewritten.
TEST_F(KeyTable, ExistingSegmentContentsSurviveAttach) {
    shareMemoryItem* raw = createRawSegment(kTableBytes + 4096);
    raw[7] = record("planted", "p", 5);
    EXPECT_TRUE(sameBytes(table().items[7], record("planted", "p", 5)));
    EXPECT_EQ(table().items[0].id, 0);
}

TEST_F(KeyTable, ShorterExistingSegmentIsRefusedUnwritten) {
    for (size_t bytes : {size_t(1000), kTableBytes - 1}) {
        SCOPED_TRACE(bytes);
        void* raw = createRawSegment(bytes);
        EXPECT_EXIT(shareMemoryHandle(kTableSlots, key_), ::testing::ExitedWithCode(255), "share memory");
        std::vector<char> zeros(bytes, 0);
        EXPECT_EQ(memcmp(raw, zeros.data(), bytes), 0) << "the refused segment was written";
        ASSERT_EQ(shmctl(shmget(key_, 0, 0), IPC_RMID, nullptr), 0);
    }
}

}  // namespace
