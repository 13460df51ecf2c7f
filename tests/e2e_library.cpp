// Readers of the real server's table through libkeyreg: whole records while
// the server replaces them, and a slot that a dead server left half written.
#include "harness.h"
#include "keyreg/table.h"

#include <sys/shm.h>

#include <atomic>
#include <thread>

namespace {

using harness::allowedIds;
using harness::kOk;

using Library = harness::ServerTest;

// Four connections re-register one user as fast as the server answers,
// alternating a key of 99 bytes and one of 37, while a reader process looks
// the user up through the shared library: no record mixes two registrations
// and none is missed. The reader also copies the record bare, as readers that
// follow only the layout do; how often that copy is torn is luck, and only
// reported.
TEST_F(Library, AReaderProcessGetsWholeRecordsWhileTheServerReplacesThem) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string& id = allowedIds()[0];
    const std::string keys[2] = {std::string(kMaxKeyBytes, 'A'), std::string(37, 'B')};
    const std::string blocks[2] = {request(id, keys[0]), request(id, keys[1])};
    ASSERT_EQ(registerOnce(id, keys[1]), kOk);
    std::atomic<bool> done{false};
    std::atomic<int> failed{0};
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; w++) {
        writers.emplace_back([&] {
            int fd = harness::connectTo();
            for (int i = 0; !done; i++) {
                if (!harness::sendAll(fd, blocks[i % 2]) || harness::readReply(fd) != kOk) {
                    failed++;
                    break;
                }
            }
            close(fd);
        });
    }
    // The reader aims at a million look-ups and 1,000 changes of the key, and
    // stops after 25 s whatever it saw; 300 changes are race enough on a
    // machine too busy for the writers to reach more.
    std::string out;
    int status = harness::runCommand({RACE_READER_PATH, id, keys[0], keys[1], "1000000", "1000", "25"}, &out);
    done = true;
    for (std::thread& writer : writers) writer.join();

    long reads = 0, torn = -1, missing = -1, errors = -1, changes = 0, bareTorn = -1;
    ASSERT_EQ(status, 0) << out;
    ASSERT_EQ(sscanf(out.c_str(), "reads=%ld torn=%ld missing=%ld errors=%ld changes=%ld bare_torn=%ld", &reads, &torn,
                     &missing, &errors, &changes, &bareTorn), 6) << out;
    printf("%s", out.c_str());
    RecordProperty("bare_torn", std::to_string(bareTorn));
    EXPECT_EQ(failed, 0) << server.log().substr(0, 2000);
    EXPECT_GE(reads, 1000000) << out;
    EXPECT_GE(changes, 300) << "the reader saw too few registrations to tell: " << out;
    EXPECT_EQ(torn, 0) << out;
    EXPECT_EQ(missing, 0) << out;
    EXPECT_EQ(errors, 0) << out;
}

// A server killed between the two steps of a write left slot 3 odd, its
// record half written: the next one empties it as it starts, before any
// registration, says so, and readers no longer wait for it.
TEST_F(Library, AStartingServerRepairsASlotLeftHalfWritten) {
    int shmId = shmget(kTableIpcKey, kTableBytes, IPC_CREAT | kTableMode);
    ASSERT_GE(shmId, 0);
    char* base = static_cast<char*>(shmat(shmId, nullptr, 0));
    ASSERT_NE(base, reinterpret_cast<char*>(-1));
    shareMemoryItem half = harness::record(allowedIds()[1], "half");
    memcpy(base + 3 * kRecordBytes, &half, sizeof half);
    uint64_t* sequence = reinterpret_cast<uint64_t*>(base + kTableRecordsBytes) + 3;
    *sequence = 7;
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_TRUE(harness::waitUntil([&] {
        return server.log().find("slot 3 was left half written by a writer that stopped: emptied") != std::string::npos;
    })) << server.log();
    EXPECT_EQ(*sequence % 2, 0u);
    keyreg_table* t = keyreg_table_open();
    keyreg_record out;
    EXPECT_EQ(keyreg_table_get(t, allowedIds()[1].c_str(), &out), 0);
    keyreg_table_close(t);
    shmdt(base);
}

}  // namespace
