// The key table and the message decoder, on the table's segment in the
// test's own IPC world, removed after every test.
#include "harness.h"
#include "keyreg/table.h"
#include "secretkey_union.h"
#include "table/table_reader.h"

#include <nlohmann/json.hpp>
#include <sys/shm.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace {

using harness::record;
using harness::sameRecord;

std::string userName(int i) { return "user-" + std::to_string(i); }

class Table : public ::testing::Test {
protected:
    // A handle of the test's own on a new segment, rather than the process's
    // one, so that one process can run every test.
    void SetUp() override {
        SKIP_UNLESS_PRIVATE_WORLD();
        harness::removeTable();
        handle = std::make_unique<shareMemoryHandle>(kTableSlots, kTableIpcKey);
    }
    void TearDown() override {
        if (handle) shmdt(handle->items);
        harness::removeTable();
    }

    shareMemoryHandle& table() { return *handle; }
    int add(const std::string& userid, const std::string& key, int id = 0) {
        shareMemoryItem item = record(userid, key, id);
        return table().addItem(item);
    }
    // The decoded text of a message, or "before" when the decoder left it alone.
    std::unique_ptr<shareMemoryHandle> handle;

    static std::string decoded(const std::string& text) {
        std::unique_ptr<Message> message(MessageFactory::createMessage(MessageFactory::MESSAGE_CODE));
        message->mesText = "before";
        std::vector<char> buf(text.begin(), text.end());
        buf.push_back('\0');
        message->deCodeMes(buf.data(), static_cast<int>(text.size()));
        return message->mesText;
    }
    static std::string message(const std::string& id, const std::string& mes) {
        return nlohmann::json{{"id", id}, {"mes", mes}}.dump();
    }
};

TEST_F(Table, RecordsKeepTheirSlotsAndRemovalEmptiesOne) {
    for (int i = 0; i < 6; i++) ASSERT_EQ(add(userName(i), "key", i), 0);
    shareMemoryItem byId(-1);
    table().getItemById(0, byId);
    EXPECT_TRUE(sameRecord(byId, table().items[0])) << "the look-up by id missed slot 0";
    ASSERT_EQ(table().removeItemById(2), 0);
    EXPECT_EQ(table().items[2].id, -1) << "removal removed nothing";
    ASSERT_EQ(add(userName(5), "new", 5), 0);
    EXPECT_TRUE(sameRecord(table().items[5], record(userName(5), "new", 5))) << "re-registration moved";
    EXPECT_EQ(table().items[2].id, -1);
    ASSERT_EQ(add(userName(50), "longer id", 50), 0);
    EXPECT_TRUE(sameRecord(table().items[2], record(userName(50), "longer id", 50))) << "a prefix took user-5's slot";
    EXPECT_TRUE(sameRecord(table().items[5], record(userName(5), "new", 5)));
}

TEST_F(Table, FullTableRefusesNewIdsAndStillReplaces) {
    for (int i = 0; i < kTableSlots; i++) ASSERT_EQ(add(userName(i), "key"), 0);
    std::vector<shareMemoryItem> before(table().items, table().items + kTableSlots);
    EXPECT_EQ(add("stranger", "k"), -1);
    EXPECT_EQ(memcmp(before.data(), table().items, before.size() * sizeof before[0]), 0);
    EXPECT_EQ(add(userName(42), "fresh"), 0);
    EXPECT_TRUE(sameRecord(table().items[42], record(userName(42), "fresh")));
}

// A writer thread replaces one record as fast as it can, alternating two keys
// of different lengths, while this thread looks it up both ways: every copy
// is one of the two records, and ThreadSanitizer sees no data race.
TEST_F(Table, ReadersInOtherThreadsGetWholeRecords) {
    shareMemoryItem a = record("racer", std::string(kMaxKeyBytes, 'A')), b = record("racer", "B");
    ASSERT_EQ(add("racer", "B"), 0);
    TableView view;
    view.items = table().items;
    view.sequences = table().sequences;
    view.slots = kTableSlots;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (long i = 0; !done; i++) table().addItem(i % 2 ? b : a);
    });
    long torn = 0, missing = 0, reads = 0;
    // Bounded in time too: a slow build (ThreadSanitizer) on a busy machine
    // reads far fewer, which still races the writer.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; reads < 100000 && std::chrono::steady_clock::now() < deadline; reads++) {
        shareMemoryItem found(-1), got(-1);
        if (findRecord(view, "racer", found) != Lookup::Found) missing++;
        table().getItemByUserid("racer", got);
        for (const shareMemoryItem& copy : {found, got})
            if (!sameRecord(copy, a) && !sameRecord(copy, b)) torn++;
    }
    done = true;
    writer.join();
    EXPECT_EQ(torn, 0) << "in " << reads << " reads";
    EXPECT_EQ(missing, 0) << "in " << reads << " reads";
    EXPECT_GT(reads, 1000);
}

// A writer that died mid-write leaves its slot's number odd: readers give up
// on that slot after a while, still find the records of the others, and the
// next attach empties it and names it.
TEST_F(Table, ASlotLeftHalfWrittenIsPassedOverThenRepaired) {
    ASSERT_EQ(add("stuck", "k"), 0);
    ASSERT_EQ(add("other", "k"), 0);
    table().sequences[0] |= 1;
    keyreg_table* reader = keyreg_table_open();
    ASSERT_NE(reader, nullptr);
    keyreg_record out;
    EXPECT_EQ(keyreg_table_get(reader, "stuck", &out), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(keyreg_table_get(reader, "other", &out), 1);
    testing::internal::CaptureStderr();
    shareMemoryHandle restarted(kTableSlots, kTableIpcKey);
    std::string said = testing::internal::GetCapturedStderr();
    EXPECT_EQ(restarted.repairedSlots, std::vector<int>{0});
    EXPECT_NE(said.find("slot 0 was left half written"), std::string::npos) << said;
    EXPECT_EQ(keyreg_table_get(reader, "stuck", &out), 0);
    keyreg_table_close(reader);
    shmdt(restarted.items);
}

// Registrations of different user ids at once, as the workers make them:
// the table's lock gives each a slot of its own, and all 100 fit.
TEST_F(Table, ConcurrentRegistrationsOfDifferentIdsEachGetASlot) {
    for (int round = 0; round < 20; round++) {
        while (table().removeItemById(0) == 0) {
        }
        std::atomic<int> refused{0};
        std::vector<std::thread> writers;
        for (int t = 0; t < 4; t++)
            writers.emplace_back([this, t, &refused] {
                for (int i = 0; i < kTableSlots / 4; i++) refused += add(userName(t * 100 + i), "k") != 0;
            });
        for (std::thread& w : writers) w.join();
        std::set<std::string> stored;
        for (int i = 0; i < kTableSlots; i++) stored.insert(table().items[i].userid);
        EXPECT_EQ(refused, 0) << "round " << round;
        EXPECT_EQ(stored.size(), static_cast<size_t>(kTableSlots)) << "round " << round << ": a slot taken twice";
    }
}

TEST_F(Table, DecoderLeavesUnknownUsersAlone) {
    ASSERT_EQ(add("sender", "s3cret"), 0);
    // Whole ids only: neither a prefix nor another case finds the record.
    for (const char* id : {"nobody", "sende", "SENDER", ""}) EXPECT_EQ(decoded(message(id, "abcdefgh")), "before") << id;
}

TEST_F(Table, DecoderReportsANumberOverflowAsAParseError) {
    ASSERT_EQ(add("sender", "s3cret"), 0);
    EXPECT_THROW(decoded(R"({"id":"sender","mes":"","n":1e400})"), nlohmann::json::parse_error);
}

// The last partial block is decoded from zero-padded blocks and cut to the
// length of "mes".
TEST_F(Table, DecoderCutsTheLastBlockToTheMessageLength) {
    const std::string key = "odd-key";
    ASSERT_EQ(add("keeper", key), 0);
    std::mt19937 rng(13);
    std::string mes, plain;
    do {
        mes.clear();
        for (int i = 0; i < 13; i++) mes += static_cast<char>(0x20 + rng() % 95);
        std::string padded = mes + std::string(3, '\0');
        plain.assign(padded.size(), '\0');
        SecretKeyUnion::getSingleTon()->desDecode(reinterpret_cast<unsigned char*>(&padded[0]),
                                                  reinterpret_cast<unsigned char*>(&plain[0]), key.c_str(), 16);
    } while (plain.find('\0') <= mes.size());  // a NUL would end the text before the cut shows
    EXPECT_EQ(decoded(message("keeper", mes)), plain.substr(0, mes.size()));
}

}  // namespace
