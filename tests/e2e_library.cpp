// Readers of the real server's table through libkeyreg: whole records while
// the server replaces them, a slot that a dead server left half written, a
// table made anew, and who may read it; and the segments that the server
// refuses to write into.
#include "harness.h"
#include "keyreg/table.h"

#include <grp.h>
#include <sys/shm.h>
#include <sys/wait.h>

#include <atomic>
#include <thread>

namespace {

using harness::allowedIds;
using harness::kFailed;
using harness::kOk;

using Library = harness::ServerTest;

const uid_t kNobody = 65534;

// fn's result in a child process of uid and gid without other groups.
int runAs(uid_t uid, gid_t gid, const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) == 0 && setresgid(gid, gid, gid) == 0 && setresuid(uid, uid, uid) == 0 ? fn() : 255);
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A user makes (or finds) the segment with bytes and mode, writes
// dorvanek=EVILKEY into slot 0 as far as it fits and gives the segment to
// owner (unless -1): 0, or 1 when it may not write.
int squat(uid_t uid, size_t bytes, int mode, int owner = -1) {
    return runAs(uid, uid, [&] {
        int id = shmget(kTableIpcKey, bytes, IPC_CREAT | mode);
        void* base = id < 0 ? reinterpret_cast<void*>(-1) : shmat(id, nullptr, 0);
        if (base == reinterpret_cast<void*>(-1)) return 1;
        shareMemoryItem evil = harness::record(allowedIds()[0], "EVILKEY");
        memcpy(base, &evil, std::min(bytes, sizeof evil));
        struct shmid_ds info;
        if (owner >= 0 && shmctl(id, IPC_STAT, &info) == 0) info.shm_perm.uid = static_cast<uid_t>(owner);
        return owner < 0 || shmctl(id, IPC_SET, &info) == 0 ? 0 : 2;
    });
}

// "GID MODE" of the table's segment.
std::string tableAccess() {
    struct shmid_ds info = {};
    shmctl(shmget(kTableIpcKey, 0, 0), IPC_STAT, &info);
    char text[32];
    snprintf(text, sizeof text, "%u %04o", info.shm_perm.gid, info.shm_perm.mode & 0777);
    return text;
}

std::string keyInSlot0() {
    std::vector<shareMemoryItem> table = harness::readTable();
    return table.empty() ? "<no table>" : table[0].key;
}

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

// The server writes only into a segment that its own user made, that nobody
// else may write and that holds the records. Without a state file it refuses
// any other at start (77), naming owner and mode, and leaves it alone; one
// made after the start gets "communicate failed". With one, it removes it and
// rebuilds the table from the file. Its own read-only segment it sets right.
TEST_F(Library, TheServerWritesOnlyIntoASegmentItCouldHaveMade) {
    const std::string id = allowedIds()[0], state = dir + "/keys.state";
    server.args = {"--state", state};
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(id, "GOODKEY"), kOk);
    server.stop();
    const struct {
        const char* name;
        uid_t maker;
        int owner;  // given to, unless -1
        size_t bytes;
        int mode;
        bool state, late;
        int status;
        const char* said;
        const char* key;  // in slot 0 at the end
    } rows[] = {
        {"another user's", kNobody, -1, 22000, 0666, false, false, 77, "owner uid 65534 (nobody), creator uid 65534 (nobody), mode 0666", "EVILKEY"},
        {"another user's, given to root", kNobody, 0, kTableBytes, 0644, false, false, 77, "owner uid 0 (root), creator uid 65534", "EVILKEY"},
        {"root's, given to another user", 0, kNobody, kTableBytes, 0644, false, false, 77, "owner uid 65534", "EVILKEY"},
        {"root's, writable by others", 0, -1, kTableBytes, 0622, false, false, 77, "mode 0622", "EVILKEY"},
        {"root's, of one byte", 0, -1, 1, 0644, false, false, 77, "mode 0644, 1 bytes", "<no table>"},
        {"another user's, made after the start", kNobody, -1, 22000, 0666, false, true, 0, "\"communicate failed\"", "EVILKEY"},
        {"another user's, with --state", kNobody, -1, 22000, 0666, true, false, 0, "Removed", "GOODKEY"},
        {"root's, of one byte, with --state", 0, -1, 1, 0644, true, false, 0, "Removed", "GOODKEY"},
        {"root's, read-only", 0, -1, kTableBytes, 0444, false, false, 0, "", "NEWKEY"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        harness::removeTable();
        ASSERT_EQ(row.late ? 0 : squat(row.maker, row.bytes, row.mode, row.owner), 0);
        server.args = row.state ? std::vector<std::string>{"--state", state} : std::vector<std::string>{};
        ASSERT_TRUE(server.start(dir));
        ASSERT_EQ(row.status != 0 ? server.waitExit(10000) : server.waitReady() ? 0 : -1, row.status) << server.log();
        ASSERT_EQ(row.late ? squat(row.maker, row.bytes, row.mode) : 0, 0);
        if (row.status == 0 && !row.state) {
            EXPECT_EQ(registerOnce(id, "NEWKEY"), row.late ? kFailed : kOk);
        }
        EXPECT_NE(server.log().find(row.said), std::string::npos) << server.log();
        EXPECT_EQ(server.log().find("ipcrm -M 291") != std::string::npos, row.status != 0 || row.late);
        EXPECT_EQ(keyInSlot0(), row.key);
        if (row.status == 0 && !row.late) {
            EXPECT_EQ(tableAccess(), "0 0755");
            EXPECT_EQ(squat(kNobody, kTableRecordsBytes, 0666), 1) << "the table is still open to others";
        }
        server.stop();
    }
}

// A handle opened before the table was made anew (ipcrm -M 291, a restart)
// reads the new table, and no table while there is none.
TEST_F(Library, AnOpenHandleFollowsATableMadeAnew) {
    const char* id = allowedIds()[0].c_str();
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(id, "old"), kOk);
    keyreg_table* t = keyreg_table_open();
    ASSERT_NE(t, nullptr);
    keyreg_record out;
    server.stop();
    harness::removeTable();
    EXPECT_TRUE(harness::waitUntil([&] { return keyreg_table_get(t, id, &out) == -1 && errno == ENOENT; }));
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(id, "new"), kOk);
    EXPECT_TRUE(harness::waitUntil([&] { return keyreg_table_get(t, id, &out) == 1 && out.key == std::string("new"); }));
    keyreg_table_close(t);
}

// --readers: its group (here a bare gid, with no entry in /etc/group) and the
// server's own user may read the table, nobody else, whether the server made
// it or set right at start one made earlier. No such group: status 78.
TEST_F(Library, OnlyTheReadersGroupMayReadTheTable) {
    server.args = {"--readers", "no-such-group"};
    ASSERT_TRUE(server.start(dir));
    EXPECT_EQ(server.waitExit(10000), 78);
    EXPECT_NE(server.log().find("no-such-group: no such group"), std::string::npos) << server.log();
    const gid_t readers = 4242;
    auto readKey = [] {
        keyreg_table* t = keyreg_table_open();
        keyreg_record out;
        return t == nullptr ? errno : keyreg_table_get(t, allowedIds()[0].c_str(), &out) == 1 ? 0 : 254;
    };
    for (bool madeEarlier : {false, true}) {
        SCOPED_TRACE(madeEarlier ? "made earlier" : "made by the server");
        harness::removeTable();
        ASSERT_GE(madeEarlier ? shmget(kTableIpcKey, kTableBytes, IPC_CREAT | 0755) : 0, 0);
        server.args = {"--readers", std::to_string(readers)};
        ASSERT_NO_FATAL_FAILURE(startServer());
        EXPECT_EQ(tableAccess(), madeEarlier ? "4242 0750" : "0 0000") << "not set right at start";
        ASSERT_EQ(registerOnce(allowedIds()[0], "s3cret"), kOk);
        EXPECT_EQ(tableAccess(), "4242 0750");
        EXPECT_EQ(runAs(65533, readers, readKey), 0);
        EXPECT_EQ(runAs(kNobody, kNobody, readKey), EACCES);
        server.stop();
    }
}

}  // namespace
