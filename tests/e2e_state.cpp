// --state FILE with the real server: acknowledged keys survive a kill at any
// step of the file's writes and a reboot, a stop answers what it read, a
// second server changes nothing, a damaged file is refused by name, and a
// failed flush or a full disk gives no "ok" and nothing that comes back.
#include "harness.h"
#include "state/state_file.h"

#include <sys/mount.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace {

using harness::allowedIds;
using harness::kFailed;
using harness::kOk;

class State : public harness::ServerTest {
protected:
    void SetUp() override {
        ServerTest::SetUp();
        path = dir + "/keys.state";
        server.args = {"--state", path};
    }

    // A "reboot": the server gone, its segment with it.
    int stopAndReboot(int sig) {
        int status = server.stop(sig);
        harness::removeTable();
        return status;
    }

    std::string keyOf(const std::string& userid) {
        for (const shareMemoryItem& slot : harness::readTable())
            if (slot.id != -1 && userid == slot.userid) return slot.key;
        return "<none>";
    }

    // A file renamed over or removed that the server still holds open.
    bool holdsADeletedFile() {
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid) + "/fd"))
            if (std::filesystem::read_symlink(fd, ignored).string().find("(deleted)") != std::string::npos) return true;
        return false;
    }

    // Key "fill" for each user id but the first: blocks to send again and again.
    std::vector<std::string> fillBlocks() {
        std::vector<std::string> blocks;
        for (size_t i = 1; i < allowedIds().size(); i++) blocks.push_back(request(allowedIds()[i], "fill"));
        return blocks;
    }

    // n registrations over 16 connections at once: how many were answered "ok".
    size_t registerMany(const std::vector<std::string>& blocks, size_t n) {
        std::atomic<size_t> next{0}, ok{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 16; t++)
            threads.emplace_back([&] {
                int fd = harness::connectTo();
                for (size_t i; (i = next++) < n && harness::sendAll(fd, blocks[i % blocks.size()]) &&
                               harness::readReply(fd) == kOk;)
                    ok++;
                close(fd);
            });
        for (std::thread& t : threads) t.join();
        return ok;
    }

    std::string path;
};

// SIGTERM while a writer per user id registers as fast as it can on a slow
// disk: each request read (the log shows it decrypted) is answered whole, and
// each writer's last "ok" survives a reboot.
TEST_F(State, AStopAnswersWhatItReadAndKeepsEachOk) {
    STRACE_OR_SKIP(strace, "fdatasync:delay_enter=200000");
    ASSERT_NO_FATAL_FAILURE(startServer(strace));
    auto keyText = [](size_t w, int n) { return std::to_string(w) + "-" + std::to_string(n); };
    std::vector<std::vector<std::string>> blocks(allowedIds().size());  // made beforehand, to be sent at once
    for (size_t w = 0; w < blocks.size(); w++)
        for (int n = 0; n < 8; n++) blocks[w].push_back(request(allowedIds()[w], keyText(w, n)));
    std::vector<std::atomic<int>> acked(blocks.size());  // how many keys were answered "ok"
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (size_t w = 0; w < acked.size(); w++)
        threads.emplace_back([&, w] {
            int fd = harness::connectTo();
            std::string reply = kOk;
            for (size_t n = 0; n < blocks[w].size() && reply == kOk; n++) {
                reply = harness::sendAll(fd, blocks[w][n]) ? harness::readReply(fd) : "";
                acked[w] += reply == kOk;
            }
            wrong += !reply.empty() && reply != kOk;
            close(fd);
        });
    harness::waitUntil([&] { return std::all_of(acked.begin(), acked.end(), [](const auto& a) { return a >= 2; }); });
    EXPECT_EQ(stopAndReboot(SIGTERM), 0);
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong, 0) << "a reply that is neither \"ok\" nor none";
    const std::string log = server.log();
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t w = 0; w < acked.size(); w++) {
        EXPECT_EQ(log.find("\"" + keyText(w, acked[w]) + "\""), std::string::npos) << "read, but not answered";
        EXPECT_EQ(keyOf(allowedIds()[w]), keyText(w, acked[w] - 1));
    }
}

// A key stored without --state is kept when the server restarts with it, and
// the file takes it in; after a clean stop (Ctrl-C) and a reboot every record
// is back.
TEST_F(State, CleanStopAndRebootBringBackEveryRecord) {
    server.args.clear();
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(allowedIds()[4], "before the file"), kOk);
    server.stop();
    EXPECT_NE(access(path.c_str(), F_OK), 0) << "a file was written without --state";
    server.args = {"--state", path};
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t i = 0; i < 4; i++) ASSERT_EQ(registerOnce(allowedIds()[i], "key of " + allowedIds()[i]), kOk);
    EXPECT_EQ(stopAndReboot(SIGINT), 0) << server.log();
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_FALSE(holdsADeletedFile()) << "the file read at the start was kept open";
    EXPECT_EQ(keyOf(allowedIds()[4]), "before the file");
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(keyOf(allowedIds()[i]), "key of " + allowedIds()[i]);
}

// Refused before the port opens, naming the file, with the status that
// tells the operator (and systemd) whether the content is at fault; the
// table is not rebuilt. A check of the file finds the same status.
TEST_F(State, DamagedOrUnusableFileIsRefusedByName) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (const char* key : {"old", "new"})
        for (size_t i = 0; i < 2; i++) ASSERT_EQ(registerOnce(allowedIds()[i], key), kOk);
    stopAndReboot(SIGTERM);
    const std::string good = harness::readFile(path);
    const struct {
        const char* name;
        std::string bytes;  // written to path first
        std::string file;   // the file given to --state
        int status;
        off_t size;  // what the file is then made to measure, when not 0
    } rows[] = {
        {"cut in the middle", good.substr(0, good.size() / 2), path, 65, 0},
        {"one byte flipped", good.substr(0, 600) + char(good[600] ^ 0x20) + good.substr(601), path, 65, 0},
        {"a byte after its last entry", good + "x", path, 65, 0},
        {"far larger than memory", good, path, 65, off_t(1) << 40},
        {"no such directory", good, dir + "/missing/keys.state", 74, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        harness::writeFile(path, row.bytes);
        ASSERT_TRUE(row.size == 0 || truncate(path.c_str(), row.size) == 0);
        EXPECT_EQ(examineStateFile(row.file).status, row.status);
        server.args = {"--state", row.file};
        ASSERT_TRUE(server.start(dir));
        EXPECT_EQ(server.waitExit(10000), row.status);
        EXPECT_NE(server.log().find(row.file), std::string::npos) << server.log();
        EXPECT_TRUE(harness::readTable().empty()) << "a table was made from a damaged file";
    }
}

// Failed flushes: those registrations are refused, not stored, said once, and
// none comes back after a clean stop, table kept or gone. A burst (a batch's
// flush, its void's, the next batch's) ends in a kept registration. On a disk
// that stays broken the stop says whose registrations may still be loaded.
TEST_F(State, FailedFlushIsNoOk) {
    const struct {
        const char* name;
        std::vector<std::string> injections;
        int refused;  // registrations refused, of the first user ids
        bool reboot;
        const char* said;   // by the end
        const char* after;  // their keys after the restart
    } rows[] = {
        {"a burst", {"fdatasync:error=EIO:when=1..3"}, 2, true, "writing works again", "<none>"},
        {"a restart", {"fdatasync:error=EIO:when=1"}, 1, false, "", "<none>"},
        {"a reboot", {"fdatasync:error=EIO:when=1"}, 1, true, "", "<none>"},
        {"a disk that stays broken", {"fdatasync:error=EIO:when=1+", "pwrite64:error=EIO:when=2+"}, 1, true,
         "may still hold registrations of dorvanek", "refused"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        STRACE_OR_SKIP(strace, {row.injections});
        ASSERT_NO_FATAL_FAILURE(startServer(strace));
        for (int i = 0; i < row.refused; i++) {
            EXPECT_EQ(registerOnce(allowedIds()[i], "refused"), kFailed) << i;
            EXPECT_EQ(keyOf(allowedIds()[i]), "<none>") << i;
        }
        EXPECT_TRUE(row.refused < 2 || registerOnce(allowedIds()[4], "kept") == kOk);
        struct stat mended, next;  // once a rewrite mended the file, commits append to it again
        EXPECT_TRUE(row.refused < 2 || (stat(path.c_str(), &mended) == 0 && registerOnce(allowedIds()[4], "kept") == kOk &&
                                        stat(path.c_str(), &next) == 0 && mended.st_ino == next.st_ino));
        const std::string log = server.log();
        size_t said = log.find("Input/output error");
        EXPECT_TRUE(said != std::string::npos && log.find("Input/output error", said + 1) == std::string::npos) << log;
        EXPECT_EQ(row.reboot ? stopAndReboot(SIGTERM) : server.stop(SIGTERM), 0);
        EXPECT_NE(server.log().find(row.said), std::string::npos) << server.log();
        ASSERT_NO_FATAL_FAILURE(startServer());
        for (int i = 0; i < row.refused; i++) EXPECT_EQ(keyOf(allowedIds()[i]), row.after) << i;
        EXPECT_EQ(keyOf(allowedIds()[4]), row.refused > 1 ? "kept" : "<none>");
        stopAndReboot(SIGKILL);
        unlink(path.c_str());
    }
}

// A new user id finds the table full: it is refused, and the file takes none
// of it, so that the table is whole again after a reboot.
TEST_F(State, AFullTableRefusesANewIdAndTheFileKeepsNothingOfIt) {
    std::string ids;
    for (int i = 0; i <= kTableSlots; i++) ids += "user" + std::to_string(i) + "\n";
    harness::writeFile(dir + "/allow", ids);
    server.args.insert(server.args.end(), {"--allow-list", dir + "/allow"});
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (int i = 0; i < kTableSlots; i++) ASSERT_EQ(registerOnce("user" + std::to_string(i), "k"), kOk) << i;
    EXPECT_EQ(registerOnce("user" + std::to_string(kTableSlots), "k"), kFailed);
    stopAndReboot(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(server.log().find("no room"), std::string::npos) << server.log();
}

// A second server on the file, in a network of its own (its bind succeeds)
// or the same (it fails), changes neither the file, its folder nor the table;
// the first's next "ok" survives a kill and a reboot. A check names the holder.
TEST_F(State, ASecondServerChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerOnce(allowedIds()[0], "first"), kOk);
    StateCheck check = examineStateFile(path);
    EXPECT_TRUE(check.exists && check.status == 75 && check.holder == server.pid) << check.problem;
    const struct {
        const char* name;
        std::vector<std::string> prefix;
        int status;
        std::vector<std::string> said;
    } rows[] = {
        {"a network of its own", {"unshare", "--net", "--"}, 75, {path, "pid " + std::to_string(server.pid)}},
        {"the same network", {}, 255, {"bind error"}},
    };
    auto look = [&] {
        struct stat st;
        std::string seen = stat(path.c_str(), &st) == 0 ? std::to_string(st.st_ino) : "none";
        for (const auto& entry : std::filesystem::directory_iterator(dir)) seen += " " + entry.path().string();
        for (const shareMemoryItem& slot : harness::readTable()) seen.append(reinterpret_cast<const char*>(&slot), sizeof slot);
        return seen + harness::readFile(path);
    };
    harness::ServerProcess second;
    second.args = server.args;
    std::filesystem::create_directories(dir + "/second");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string before = look();
        ASSERT_TRUE(second.start(dir + "/second", row.prefix));
        EXPECT_EQ(second.waitExit(10000), row.status);
        for (const std::string& words : row.said) EXPECT_NE(second.log().find(words), std::string::npos) << second.log();
        EXPECT_TRUE(look() == before) << "changed by the second server";
        EXPECT_FALSE(holdsADeletedFile());
    }
    ASSERT_EQ(registerOnce(allowedIds()[0], "after"), kOk);
    stopAndReboot(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(startServer());
    EXPECT_EQ(keyOf(allowedIds()[0]), "after");
}

// The calls of a trace (strace -f -y) on the state folder, each as the
// injection that kills at it: strace counts each thread's calls apart.
std::vector<std::string> killsAtStateCalls(const std::string& trace, const std::string& folder) {
    std::map<std::string, int> seen;
    std::vector<std::string> kills;
    std::istringstream lines(trace);
    for (std::string line, tid, call; std::getline(lines, line);) {
        std::istringstream(line) >> tid >> call;
        if (call.find('(') == std::string::npos || call[0] == '<') continue;
        std::string name = call.substr(0, call.find('('));
        int n = ++seen[tid + name];
        if (line.find(folder + "/") != std::string::npos || line.find(folder + ">") != std::string::npos)
            kills.push_back(name + ":signal=KILL:when=" + std::to_string(n));
    }
    return kills;
}

// A SIGKILL before each call of the state file's write paths (so after the
// one before) and after the last: the first creation with the lock, the
// rewrite at start-up, and, once the log's room is used up, its rewrite and
// two commits. After a reboot the server starts, with every key answered "ok"
// and none that nobody sent.
TEST_F(State, ACrashAtAnyStepLosesNothingAcknowledged) {
    const std::string folder = dir + "/st";
    path = folder + "/keys.state";
    server.args = {"--state", path};
    const std::vector<std::string> fill = fillBlocks(), keys = {"k1", "k2"};
    const std::vector<std::string> blocks = {request(allowedIds()[0], keys[0]), request(allowedIds()[0], keys[1])};
    std::filesystem::create_directories(folder);
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_EQ(registerMany(fill, fill.size()), fill.size());
    stopAndReboot(SIGKILL);
    const std::string registered = harness::readFile(path);
    const struct {
        const char* name;
        bool registered;  // the folder holds a file with the fill keys first
        bool serving;     // traced from the start, or attached once the log is full
    } rows[] = {{"first creation", false, false}, {"start-up rewrite", true, false}, {"full log", false, true}};
    size_t points = 0;
    auto started = std::chrono::steady_clock::now();
    for (const auto& row : rows) {
        auto crash = [&](const std::string& kill) {
            SCOPED_TRACE(std::string(row.name) + (kill.empty() ? ", after the last call" : ", at " + kill));
            points++;
            harness::removeTree(folder);
            std::filesystem::create_directories(folder);
            if (row.registered) harness::writeFile(path, registered);
            std::vector<std::string> strace = {"strace", "-f", "-y", "-o", dir + "/trace", "-e", "trace=pwrite64,fsync,rename,"};
            strace.back() += row.serving ? "fdatasync" : "openat,fcntl";
            if (!kill.empty()) strace.insert(strace.end(), {"-e", "inject=" + kill});
            size_t acked = 0;
            harness::ServerProcess tracer;
            if (!row.serving) {
                strace.push_back("--");
                ASSERT_TRUE(server.start(dir, strace));
                EXPECT_NE(server.waitReady(), !kill.empty()) << "killed at none of the calls: " << server.log();
            } else {
                ASSERT_NO_FATAL_FAILURE(startServer());
                ASSERT_EQ(registerMany(fill, kStateLogRoom), kStateLogRoom);
                tracer.program = strace[0];
                tracer.args.assign(strace.begin() + 1, strace.end());
                tracer.args.insert(tracer.args.end(), {"-p", std::to_string(server.pid)});
                ASSERT_TRUE(tracer.start(dir));  // its log beside the server's
                ASSERT_TRUE(harness::waitUntil([&] { return tracer.log().find("attached") != std::string::npos; }));
                while (acked < blocks.size() && replyTo(blocks[acked]) == kOk) acked++;
                EXPECT_EQ(harness::waitUntil([&] { return !server.alive(); }, kill.empty() ? 0 : 10000), !kill.empty())
                    << "killed at none of the calls";
            }
            stopAndReboot(SIGKILL);
            tracer.waitExit(10000);
            ASSERT_NO_FATAL_FAILURE(startServer());
            // The last key answered "ok", or one sent after it.
            std::string got = keyOf(allowedIds()[0]);
            bool fine = acked == 0 && got == "<none>";
            for (size_t j = acked > 0 ? acked - 1 : 0; j < (row.serving ? keys.size() : 0); j++) fine = fine || got == keys[j];
            EXPECT_TRUE(fine) << allowedIds()[0] << " holds " << got << " after " << acked << " answered ok";
            for (size_t i = 1; i < allowedIds().size(); i++)
                EXPECT_EQ(keyOf(allowedIds()[i]), row.registered || row.serving ? "fill" : "<none>") << allowedIds()[i];
            stopAndReboot(SIGKILL);
        };
        crash("");
        for (const std::string& kill : killsAtStateCalls(harness::readFile(dir + "/trace"), folder)) crash(kill);
    }
    printf("%zu crash points in %.0f s\n", points, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

// The state folder on a small tmpfs filled up once the file is made: the log's
// room takes commits, the rewrite at its end finds no room, so registrations
// are refused, said once; once there is room they are served again, and every
// "ok" survives a reboot.
TEST_F(State, AFullDiskRefusesUntilThereIsRoomAgain) {
    const std::string folder = dir + "/st";
    std::filesystem::create_directories(folder);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", folder.c_str(), "tmpfs", 0, "size=1m") != 0)
        KEYREG_SKIP(std::string("cannot mount a tmpfs of its own: ") + strerror(errno));
    path = folder + "/keys.state";
    server.args = {"--state", path};
    ASSERT_NO_FATAL_FAILURE(startServer());
    ASSERT_NE(harness::runCommand({"dd", "if=/dev/zero", "of=" + folder + "/filler", "bs=4k"}), 0) << "filled no disk";
    ASSERT_EQ(registerMany(fillBlocks(), kStateLogRoom), kStateLogRoom);
    for (const char* key : {"refused", "refused again"}) EXPECT_EQ(registerOnce(allowedIds()[0], key), kFailed) << key;
    std::string log = server.log();
    size_t said = log.find("No space left on device");
    EXPECT_TRUE(said != std::string::npos && log.find("No space", said + 1) == std::string::npos) << log;
    unlink((folder + "/filler").c_str());
    EXPECT_EQ(registerOnce(allowedIds()[0], "kept"), kOk);
    stopAndReboot(SIGKILL);
    ASSERT_NO_FATAL_FAILURE(startServer());
    for (size_t i = 0; i < allowedIds().size(); i++) EXPECT_EQ(keyOf(allowedIds()[i]), i == 0 ? "kept" : "fill");
}

}  // namespace
